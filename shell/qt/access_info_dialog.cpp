#include "shell/qt/access_info_dialog.h"

#include "base/host_name.h"
#include "engine/listeners.h"
#include "shell/qt/dialog_look.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

namespace brevin {

namespace {

QLabel* Text(QDialog& dialog, const DialogUnits& units, const QString& text, int x, int y, int w,
             int h) {
    auto* label = new QLabel(text, &dialog);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Place(*label, units, x, y, w, h);
    return label;
}

QLabel* SunkenField(QDialog& dialog, const DialogUnits& units, const char* name,
                    const QString& text, int x, int y, int w, int h) {
    QLabel* field = Text(dialog, units, text, x, y, w, h);
    field->setObjectName(QString::fromLatin1(name));
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    field->setTextInteractionFlags(Qt::TextSelectableByMouse);
    field->setMinimumHeight(field->fontMetrics().height() + 4);
    return field;
}

} // namespace

AccessInfoDialog::AccessInfoDialog(const HostAddress& host, const QString& fingerprint,
                                   const QString& ports, QWidget* parent)
    : QDialog(parent) {
    const DialogUnits units =
        PrepareDialog(*this, QStringLiteral("To reach  BREVIN server..."), 192, 184);

    Text(*this, units,
         QStringLiteral("To access this BREVIN Mail Server \nfrom a networked computer, please "
                        "set \nin the mail client program :"),
         7, 7, 178, 25);
    Text(*this, units, QStringLiteral("SMTP and POP3 Server:"), 22, 34, 142, 9);
    QStringList reachable; // one address, or each interface's with 0.0.0.0
    for (const std::string& address : host.reachable) {
        reachable << QString::fromStdString(address);
    }
    m_address =
        SunkenField(*this, units, "address", reachable.join(QStringLiteral(", ")), 37, 46, 140, 11);
    Text(*this, units, QStringLiteral("or"), 49, 58, 8, 9);
    m_hostName = SunkenField(*this, units, "hostName",
                             QString::fromStdString(OfficialHostName()).left(199), 37, 71, 140, 11);

    // Sending needs the user's name and password on the submission ports.
    Text(*this, units, QStringLiteral("Ports (send with your name and password):"), 22, 86, 163, 9);
    SunkenField(*this, units, "ports", ports, 22, 97, 163, 11)->setWordWrap(true);

    Text(*this, units, QStringLiteral("TLS fingerprint (SHA-256):"), 22, 112, 142, 9);
    // Wrapped anywhere, so the whole fingerprint shows and copies as the one line clients want.
    m_fingerprint = new QPlainTextEdit(
        fingerprint.isEmpty() ? QStringLiteral("TLS is off: the server runs without encryption")
                              : fingerprint,
        this);
    m_fingerprint->setObjectName(QStringLiteral("tlsFingerprint"));
    m_fingerprint->setReadOnly(true);
    m_fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                           Qt::TextSelectableByKeyboard);
    m_fingerprint->setWordWrapMode(QTextOption::WrapAnywhere);
    m_fingerprint->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_fingerprint->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_fingerprint->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_fingerprint->setBackgroundRole(QPalette::Window);
    Place(*m_fingerprint, units, 22, 123, 163, 30);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    Place(*ok, units, 120, 160, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace brevin
