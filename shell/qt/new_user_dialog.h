#pragma once

#include <QDialog>

class QLineEdit;

namespace brevin {

class UserDefinitionDialog;

/// Asks for a new user's name; letters become lower case as they are typed. OK writes the
/// name into the owner's `m_newName`.
class NewUserDialog final : public QDialog {
    Q_OBJECT
public:
    enum { IDC_NAME = 1005 };

    explicit NewUserDialog(UserDefinitionDialog& owner);

    void OnOK();

    [[nodiscard]] QLineEdit* Name() const { return m_name; }

private:
    UserDefinitionDialog& m_owner;
    QLineEdit* m_name;
};

} // namespace brevin
