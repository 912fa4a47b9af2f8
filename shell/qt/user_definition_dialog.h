#pragma once

#include <QDialog>
#include <QString>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace brevin {

class UserDirectory;

/// Users, their mailbox folders and passwords. Reads every value from the profile when it
/// is needed and writes through the same call as `brevin user set`.
class UserDefinitionDialog final : public QDialog {
    Q_OBJECT
public:
    explicit UserDefinitionDialog(UserDirectory& users, QWidget* parent = nullptr);

    /// Shows the chosen user's folder as the profile holds it now; the password field stays
    /// empty ("unchanged").
    void userChosen();
    /// "Update!": saves the fields for the chosen user; an empty password field keeps the
    /// password.
    void save();
    /// "New user": asks for a name and puts it at the top, unsaved.
    void addUser();
    /// "test folder": says whether the saved folder exists and offers to create it.
    void testFolder();

    [[nodiscard]] QComboBox* User() const { return m_user; }
    [[nodiscard]] QLineEdit* Folder() const { return m_folder; }
    [[nodiscard]] QLineEdit* Password() const { return m_password; }
    [[nodiscard]] QPushButton* UpdateButton() const { return m_update; }
    [[nodiscard]] QPushButton* NewUserButton() const { return m_newUser; }
    [[nodiscard]] QPushButton* TestFolderButton() const { return m_testFolder; }
    [[nodiscard]] QPushButton* CloseButton() const { return m_close; }

private:
    void FillUsers();

    UserDirectory& m_users;
    QComboBox* m_user;
    QLineEdit* m_folder;
    QLineEdit* m_password;
    QPushButton* m_update;
    QPushButton* m_newUser;
    QPushButton* m_testFolder;
    QPushButton* m_close;
    bool m_newEntry = false; // the chosen entry came from "New user" and is not saved yet
};

} // namespace brevin
