#include "shell/qt/new_user_dialog.h"

#include "shell/qt/dialog_look.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

namespace brevin {

namespace {

// Every letter becomes lower case as it is typed or pasted.
class LowerCase final : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& /*pos*/) const override {
        input = input.toLower();
        return Acceptable;
    }
};

} // namespace

NewUserDialog::NewUserDialog(QWidget* parent) : QDialog(parent) {
    const DialogUnits units = PrepareDialog(*this, QStringLiteral("New User"), 185, 79);

    auto* label = new QLabel(QStringLiteral("Name:"), this);
    Place(*label, units, 7, 13, 64, 8);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setValidator(new LowerCase(m_name));
    Place(*m_name, units, 7, 23, 171, 12);
    m_name->setMinimumHeight(m_name->sizeHint().height());
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    Place(*ok, units, 128, 57, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    Place(*cancel, units, 77, 58, 50, 14);
    setTabOrder(m_name, ok);
    setTabOrder(ok, cancel);

    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_name->setFocus();
}

} // namespace brevin
