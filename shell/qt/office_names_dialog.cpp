#include "shell/qt/office_names_dialog.h"

#include "shell/qt/dialog_look.h"
#include "shell/qt/message_box.h"
#include "store/recipients.h"
#include "store/users.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace brevin {

namespace {

void Label(QDialog& dialog, const DialogUnits& units, const QString& text, int x, int y, int w) {
    auto* label = new QLabel(text, &dialog);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Place(*label, units, x, y, w, 8);
}

QPushButton* Button(QDialog& dialog, const DialogUnits& units, const char* name,
                    const QString& text, int x, int y) {
    auto* button = new QPushButton(text, &dialog);
    button->setObjectName(QString::fromLatin1(name));
    Place(*button, units, x, y, 50, 14);
    return button;
}

QComboBox* Box(QDialog& dialog, const DialogUnits& units, const char* name, int x, int y, int w) {
    auto* box = new QComboBox(&dialog);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(units.X(x), units.Y(y), units.X(w),
                     std::max(box->sizeHint().height(), units.Y(12)));
    return box;
}

std::string Typed(const QString& text) {
    return NormaliseUserName(text.trimmed().toStdString());
}

} // namespace

OfficeNamesDialog::OfficeNamesDialog(UserDirectory& users, QWidget* parent)
    : QDialog(parent), m_users(users) {
    const DialogUnits units =
        PrepareDialog(*this, QStringLiteral("Aliases, lists and quotas"), 250, 128);
    m_name = Box(*this, units, "name", 66, 7, 178);
    m_name->setEditable(true);
    m_members = new QLineEdit(this);
    m_members->setObjectName(QStringLiteral("members"));
    m_members->setPlaceholderText(QStringLiteral("a user, or the members of a list"));
    Place(*m_members, units, 66, 24, 178, 14);
    m_isList = new QCheckBox(QStringLiteral("Distribution list"), this);
    m_isList->setObjectName(QStringLiteral("isList"));
    Place(*m_isList, units, 66, 41, 100, 12);
    m_save = Button(*this, units, "save", QStringLiteral("Save"), 66, 56);
    m_remove = Button(*this, units, "remove", QStringLiteral("Remove"), 120, 56);
    m_quotaUser = Box(*this, units, "quotaUser", 66, 82, 80);
    m_quota = new QLineEdit(this);
    m_quota->setObjectName(QStringLiteral("quota"));
    m_quota->setPlaceholderText(QStringLiteral("none"));
    Place(*m_quota, units, 150, 82, 40, 14);
    m_setQuota = Button(*this, units, "setQuota", QStringLiteral("Set quota"), 194, 82);
    m_close = Button(*this, units, "close", QStringLiteral("Close"), 194, 108);
    m_close->setDefault(true);
    Label(*this, units, QStringLiteral("Name"), 15, 10, 46);
    Label(*this, units, QStringLiteral("Stands for"), 15, 26, 46);
    Label(*this, units, QStringLiteral("Quota of"), 15, 84, 46);
    auto* mib = new QLabel(QStringLiteral("MiB"), this);
    Place(*mib, units, 150, 98, 40, 8);

    connect(m_name, &QComboBox::activated, this, &OfficeNamesDialog::nameChosen);
    connect(m_save, &QPushButton::clicked, this, &OfficeNamesDialog::save);
    connect(m_remove, &QPushButton::clicked, this, &OfficeNamesDialog::remove);
    connect(m_quotaUser, &QComboBox::activated, this, &OfficeNamesDialog::quotaUserChosen);
    connect(m_setQuota, &QPushButton::clicked, this, &OfficeNamesDialog::saveQuota);
    connect(m_close, &QPushButton::clicked, this, &OfficeNamesDialog::accept);
    FillNames();
}

void OfficeNamesDialog::FillNames() {
    const Recipients recipients(m_users);
    const QString typed = m_name->currentText();
    m_name->clear();
    for (const auto& [name, user] : recipients.Aliases()) {
        m_name->addItem(QString::fromStdString(name));
    }
    for (const std::string& name : recipients.Lists()) {
        m_name->addItem(QString::fromStdString(name));
    }
    m_name->setCurrentText(typed);
    const QString quotaUser = m_quotaUser->currentText();
    m_quotaUser->clear();
    m_quotaUser->addItem(QStringLiteral("*"));
    for (const std::string& name : m_users.Names()) {
        m_quotaUser->addItem(QString::fromStdString(name));
    }
    m_quotaUser->setCurrentText(quotaUser.isEmpty() ? QStringLiteral("*") : quotaUser);
    nameChosen();
    quotaUserChosen();
}

void OfficeNamesDialog::nameChosen() {
    Recipients recipients(m_users);
    const std::string name = Typed(m_name->currentText());
    QStringList members;
    switch (recipients.KindOf(name)) {
    case NameKind::Alias:
        members << QString::fromStdString(recipients.SenderOf(name));
        m_isList->setChecked(false);
        break;
    case NameKind::List:
        for (const std::string& member : recipients.Members(name)) {
            members << QString::fromStdString(member);
        }
        m_isList->setChecked(true);
        break;
    default:
        break;
    }
    m_members->setText(members.join(' '));
}

void OfficeNamesDialog::save() {
    Recipients recipients(m_users);
    const std::string name = Typed(m_name->currentText());
    std::vector<std::string> members;
    for (const QString& member : m_members->text().split(
             QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts)) {
        members.push_back(Typed(member));
    }
    std::string error;
    bool saved = false;
    if (m_isList->isChecked()) {
        saved = recipients.SetList(name, members, error);
    } else if (members.size() != 1) {
        error = "an alias stands for one user";
    } else {
        saved = recipients.SetAlias(name, members.front(), error);
    }
    if (!saved) {
        ShowMessageBox(this, QString::fromStdString(error));
        return;
    }
    FillNames();
}

void OfficeNamesDialog::remove() {
    Recipients recipients(m_users);
    std::string error;
    if (!recipients.Remove(Typed(m_name->currentText()), error)) {
        ShowMessageBox(this, QString::fromStdString(error));
        return;
    }
    m_name->setCurrentText(QString());
    FillNames();
}

void OfficeNamesDialog::quotaUserChosen() {
    const std::string user = m_quotaUser->currentText().toStdString();
    m_quota->clear();
    for (const auto& [name, mib] : Recipients(m_users).Quotas()) {
        if (name == user) {
            m_quota->setText(QString::number(mib));
        }
    }
}

void OfficeNamesDialog::saveQuota() {
    const std::string user = m_quotaUser->currentText().toStdString();
    std::optional<std::uint64_t> mib;
    if (const QString typed = m_quota->text().trimmed(); !typed.isEmpty()) {
        bool number = false;
        mib = typed.toULongLong(&number);
        if (!number) {
            ShowMessageBox(this, QStringLiteral("MIB must be a whole number of MiB"));
            return;
        }
    }
    std::string error;
    if (!Recipients(m_users).SetQuota(user, mib, error)) {
        ShowMessageBox(this, QString::fromStdString(error));
    }
}

} // namespace brevin
