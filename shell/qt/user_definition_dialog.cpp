#include "shell/qt/user_definition_dialog.h"

#include "shell/qt/dialog_look.h"
#include "shell/qt/message_box.h"
#include "shell/qt/new_user_dialog.h"
#include "store/users.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

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

// The profile holds only a hash of the password: the field shows it cannot be read back, and
// left empty it keeps the password.
QString Unchanged() {
    return QStringLiteral("unchanged");
}

} // namespace

UserDefinitionDialog::UserDefinitionDialog(UserDirectory& users, QWidget* parent)
    : QDialog(parent), m_users(users) {
    const DialogUnits units = PrepareDialog(*this, QStringLiteral("User definition"), 250, 102);

    m_user = new QComboBox(this);
    m_user->setObjectName(QStringLiteral("user"));
    m_user->setGeometry(units.X(66), units.Y(7), units.X(178),
                        std::max(m_user->sizeHint().height(), units.Y(12)));
    m_folder = Field(*this, units, "folder", 66, 24, 125, 14);
    m_password = Field(*this, units, "password", 66, 41, 126, 14);
    m_password->setPlaceholderText(Unchanged());
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

    FillUsers();
}

void UserDefinitionDialog::FillUsers() {
    m_user->clear();
    for (const std::string& name : m_users.Names()) {
        AddSorted(*m_user, QString::fromStdString(name));
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
        const UserRecord user = m_users.Find(name).value_or(UserRecord{});
        m_folder->setText(QString::fromStdString(user.folder));
        m_password->clear();
        m_password->setPlaceholderText(Unchanged());
    }
    m_newEntry = false;
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
    // An empty field keeps the password; an entry made with "New user" has none to keep, even
    // under the name of a user who exists, and is refused.
    const bool saved = user.password.empty() && !m_newEntry
                           ? m_users.SetFolder(user.name, user.folder, error)
                           : m_users.Set(user, error);
    if (!saved) {
        ShowMessageBox(this, QString::fromStdString(error));
        return;
    }
    m_password->clear();
    m_password->setPlaceholderText(Unchanged());
    m_newEntry = false;
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
            m_password->setPlaceholderText(QString()); // nothing to keep yet
            m_newEntry = true;
            m_folder->clear();
        }
    }
}

void UserDefinitionDialog::testFolder() {
    std::string name;
    std::string folder;
    if (m_user->currentIndex() >= 0) {
        name = Utf8(m_user->currentText());
        folder = m_users.Find(name).value_or(UserRecord{}).folder;
    }
    if (m_users.FolderExists(folder)) {
        ShowMessageBox(this, QStringLiteral("The folder exist"));
        return;
    }
    if (ShowMessageBox(this, QStringLiteral("The folder don't exist. Have to create?"),
                       QString::fromStdString(name), BoxButtons::YesNo,
                       BoxIcon::Stop) != BoxAnswer::Yes) {
        return;
    }
    if (std::string error; !m_users.CreateFolder(folder, error)) {
        ShowMessageBox(this, QStringLiteral("There was an error in dir creation!"),
                       QString::fromStdString(m_users.FolderPath(folder)));
        return;
    }
    ShowMessageBox(this, QStringLiteral("The folder exist"));
}

} // namespace brevin
