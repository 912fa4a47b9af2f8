#include "shell/qt/about_dialog.h"

#include "shell/qt/dialog_look.h"

#include <QLabel>
#include <QPushButton>

namespace brevin {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    const DialogUnits units = PrepareDialog(*this, QStringLiteral("About Brevin...."), 186, 130);

    auto* title = new QLabel(QStringLiteral("BREVIN Intranet Mail Server"), this);
    title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(*title, units, 7, 7, 172, 21);

    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("notice"));
    m_notice->setAlignment(Qt::AlignRight | Qt::AlignTop);
    m_notice->setWordWrap(true);
    m_notice->setText(
        QStringLiteral("Brevin %1\n\n"
                       "Receives mail from the computers of the local network over SMTP, "
                       "files it for the users defined here, and hands it out again over POP3.\n"
                       "Users, folders and passwords live in the profile file.")
            .arg(QStringLiteral(BREVIN_VERSION)));
    Place(*m_notice, units, 7, 31, 172, 70);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    Place(*ok, units, 129, 109, 50, 14);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    Place(*cancel, units, 77, 109, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

} // namespace brevin
