#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace brevin {

class UserDirectory;

/// Aliases, distribution lists and quotas. Every value is read from the profile when shown,
/// and saved through the same calls as `brevin alias|group|quota`, so both refuse the same
/// things with the same reasons.
class OfficeNamesDialog final : public QDialog {
    Q_OBJECT
public:
    explicit OfficeNamesDialog(UserDirectory& users, QWidget* parent = nullptr);

    /// Shows what the chosen (or typed) name stands for.
    void nameChosen();
    /// "Save": the name as an alias of one user, or (with "Distribution list") a list of the
    /// members typed, separated by blanks or commas.
    void save();
    /// "Remove": forgets the alias or list.
    void remove();
    /// Shows the chosen user's quota.
    void quotaUserChosen();
    /// "Set quota": the MiB typed, or none when the field is empty.
    void saveQuota();

    [[nodiscard]] QComboBox* Name() const { return m_name; }
    [[nodiscard]] QLineEdit* Members() const { return m_members; }
    [[nodiscard]] QCheckBox* IsList() const { return m_isList; }
    [[nodiscard]] QPushButton* SaveButton() const { return m_save; }
    [[nodiscard]] QPushButton* RemoveButton() const { return m_remove; }
    [[nodiscard]] QComboBox* QuotaUser() const { return m_quotaUser; }
    [[nodiscard]] QLineEdit* QuotaMiB() const { return m_quota; }
    [[nodiscard]] QPushButton* QuotaButton() const { return m_setQuota; }

private:
    void FillNames();

    UserDirectory& m_users;
    QComboBox* m_name;
    QLineEdit* m_members;
    QCheckBox* m_isList;
    QPushButton* m_save;
    QPushButton* m_remove;
    QComboBox* m_quotaUser;
    QLineEdit* m_quota;
    QPushButton* m_setQuota;
    QPushButton* m_close;
};

} // namespace brevin
