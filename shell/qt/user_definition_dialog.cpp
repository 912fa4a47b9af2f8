#include "shell/qt/user_definition_dialog.h"

#include "shell/qt/dialog_look.h"
#include "shell/qt/message_box.h"
#include "shell/qt/new_user_dialog.h"
#include "store/profile_file.h"
#include "store/registry.h"
#include "store/string_list.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <sys/stat.h>

namespace brevin {

namespace {

QLabel* Label(QDialog& dialog, const DialogUnits& units, const QString& text, int x, int y, int w,
              int h) {
    auto* label = new QLabel(text, &dialog);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Place(*label, units, x, y, w, h);
    return label;
}

QPushButton* Button(QDialog& dialog, const DialogUnits& units, const char* name,
                    const QString& text, int x, int y, int w, int h) {
    auto* button = new QPushButton(text, &dialog);
    button->setObjectName(QString::fromLatin1(name));
    Place(*button, units, x, y, w, h);
    return button;
}

QLineEdit* Field(QDialog& dialog, const DialogUnits& units, const char* name, int x, int y, int w,
                 int h) {
    auto* field = new QLineEdit(&dialog);
    field->setObjectName(QString::fromLatin1(name));
    Place(*field, units, x, y, w, h);
    return field;
}

// The user box keeps its entries sorted without regard to letter case, like a sorted list
// box; only a new user is put at the top, outside that order.
void AddSorted(QComboBox& box, const QString& name) {
    int at = 0;
    while (at < box.count() && box.itemText(at).compare(name, Qt::CaseInsensitive) <= 0) {
        ++at;
    }
    box.insertItem(at, name);
}

std::string Utf8(const QString& text) {
    return text.toStdString();
}

} // namespace

UserDefinitionDialog::UserDefinitionDialog(ProfileFile& profile, listas*& userList, QWidget* parent)
    : QDialog(parent), m_profile(profile), m_userList(userList) {
    const DialogUnits units = PrepareDialog(*this, QStringLiteral("User definition"), 250, 102);

    m_user = new QComboBox(this);
    m_user->setObjectName(QStringLiteral("user"));
    m_user->setGeometry(units.X(66), units.Y(7), units.X(178),
                        std::max(m_user->sizeHint().height(), units.Y(12)));
    m_folder = Field(*this, units, "folder", 66, 24, 125, 14);
    m_password = Field(*this, units, "password", 66, 41, 126, 14);
    m_update = Button(*this, units, "update", QStringLiteral("Update!"), 66, 60, 50, 14);
    m_newUser = Button(*this, units, "newUser", QStringLiteral("New user"), 7, 81, 50, 14);
    m_testFolder =
        Button(*this, units, "testFolder", QStringLiteral("test folder"), 193, 25, 50, 13);
    m_close = Button(*this, units, "close", QStringLiteral("Close"), 194, 81, 50, 14);
    m_close->setDefault(true);
    Label(*this, units, QStringLiteral("User"), 33, 10, 28, 8);
    Label(*this, units, QStringLiteral("Folder"), 15, 26, 46, 8);
    Label(*this, units, QStringLiteral("Password"), 15, 43, 46, 8);
    setTabOrder(m_user, m_folder);
    setTabOrder(m_folder, m_password);
    setTabOrder(m_password, m_update);
    setTabOrder(m_update, m_newUser);
    setTabOrder(m_newUser, m_testFolder);
    setTabOrder(m_testFolder, m_close);

    // `activated` comes from the administrator's choice only, as a selection change should;
    // the dialog's own selections call the handler themselves when they need it.
    connect(m_user, &QComboBox::activated, this, &UserDefinitionDialog::userChosen);
    const auto edited = [this] { m_update->setEnabled(true); };
    connect(m_folder, &QLineEdit::textChanged, this, edited);
    connect(m_password, &QLineEdit::textChanged, this, edited);
    connect(m_update, &QPushButton::clicked, this, &UserDefinitionDialog::save);
    connect(m_newUser, &QPushButton::clicked, this, &UserDefinitionDialog::addUser);
    connect(m_testFolder, &QPushButton::clicked, this, &UserDefinitionDialog::testFolder);
    connect(m_close, &QPushButton::clicked, this, &UserDefinitionDialog::accept);

    fillUsers();
}

void UserDefinitionDialog::fillUsers() {
    m_user->clear();
    for (const listas* node = m_userList; node != nullptr; node = node->Next()) {
        AddSorted(*m_user, QString::fromStdString(node->m_text));
    }
    m_user->setCurrentIndex(m_user->count() > 0 ? 0 : -1);
    userChosen();
    m_update->setEnabled(false);
    m_user->setFocus();
}

void UserDefinitionDialog::userChosen() {
    if (m_user->currentIndex() >= 0) {
        const std::string name = Utf8(m_user->currentText());
        // From the file, not from memory: `brevin user set` may have changed it meanwhile.
        m_folder->setText(QString::fromStdString(m_profile.Read("USERS", name, "")));
        m_password->setText(QString::fromStdString(m_profile.Read("PWD", name, "")));
    }
    m_update->setEnabled(false);
}

void UserDefinitionDialog::save() {
    if (m_user->currentIndex() < 0) {
        ShowMessageBox(this, QStringLiteral("NO UPDATE !!!"));
        return;
    }
    const UserRecord user{Utf8(m_user->currentText()), Utf8(m_folder->text()),
                          Utf8(m_password->text())};
    std::string error;
    if (!SetUser(m_profile, user, error)) {
        ShowMessageBox(this, QString::fromStdString(error));
        return;
    }
    m_update->setEnabled(false);
    m_testFolder->setEnabled(true);
}

void UserDefinitionDialog::addUser() {
    NewUserDialog ask(this);
    if (ask.exec() != QDialog::Accepted) {
        return;
    }
    if (!ask.Name()->text().isEmpty()) {
        const QString name = QString::fromStdString(NormaliseUserName(Utf8(ask.Name()->text())));
        const std::string problem = UserNameProblem(Utf8(name));
        if (!problem.empty()) {
            // The same refusal as `brevin user set` gives; "Update!" could not save it.
            ShowMessageBox(this, QString::fromStdString(problem));
        } else {
            m_user->insertItem(0, name);
            m_user->setCurrentIndex(0);
            m_update->setEnabled(true);
            m_testFolder->setEnabled(false);
            m_password->clear();
            m_folder->clear();
        }
    }
    // Closing rebuilds the list from the file, so it holds exactly the users saved by then.
    FreeList(m_userList);
}

void UserDefinitionDialog::testFolder() {
    const std::string root = ReadStoreRoot(m_profile);
    std::string name;
    std::string folder;
    if (m_user->currentIndex() >= 0) {
        name = Utf8(m_user->currentText());
        folder = m_profile.Read("USERS", name, "");
    }
    const std::string path = root + "/" + folder;
    if (FolderExists(path)) {
        ShowMessageBox(this, QStringLiteral("The folder exist"));
        return;
    }
    if (ShowMessageBox(this, QStringLiteral("The folder don't exist. Have to create?"),
                       QString::fromStdString(name), BoxButtons::YesNo,
                       BoxIcon::Stop) != BoxAnswer::Yes) {
        return;
    }
    // One level, private like every mailbox folder the server makes.
    if (::mkdir(path.c_str(), 0700) != 0) {
        ShowMessageBox(this, QStringLiteral("There was an error in dir creation!"),
                       QString::fromStdString(path));
        return;
    }
    ShowMessageBox(this, QStringLiteral("The folder exist"));
}

void UserDefinitionDialog::ReloadUserListIfEmpty() {
    if (m_userList == nullptr) {
        LoadUserList(m_profile, m_userList);
    }
}

void UserDefinitionDialog::accept() {
    ReloadUserListIfEmpty();
    QDialog::accept();
}

void UserDefinitionDialog::reject() {
    // Escape and the close box reload too, or the next opening would list no users.
    ReloadUserListIfEmpty();
    QDialog::reject();
}

} // namespace brevin
