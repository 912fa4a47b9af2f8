#include "shell/qt/access_info_dialog.h"

#include "base/host_name.h"
#include "engine/listeners.h"
#include "shell/qt/dialog_look.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <memory>
#include <qrencode.h>

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

QImage AccessInfoDialog::QrCode(const QString& text, int scale) {
    const QByteArray bytes = text.toUtf8();
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (code == nullptr || scale < 1) {
        return {};
    }
    constexpr int kQuiet = 4; // modules of white around it, as readers expect
    const int side = (code->width + 2 * kQuiet) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if ((code->data[y * code->width + x] & 1) != 0) {
                painter.fillRect((x + kQuiet) * scale, (y + kQuiet) * scale, scale, scale,
                                 Qt::black);
            }
        }
    }
    return image;
}

void AccessInfoDialog::SaveCertificate() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save the certificate to trust"), QStringLiteral("brevin-ca.pem"),
        QStringLiteral("Certificates (*.pem *.crt)"));
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(m_certificate.data(), static_cast<qint64>(m_certificate.size()));
    }
}

AccessInfoDialog::AccessInfoDialog(const HostAddress& host, const QString& fingerprint,
                                   const QString& ports, QWidget* parent,
                                   const ClientSettings& clients)
    : QDialog(parent), m_certificate(clients.caCertificatePem) {
    const bool withPage = !clients.pageAddress.empty();
    const DialogUnits units =
        PrepareDialog(*this, QStringLiteral("To reach  BREVIN server..."), withPage ? 330 : 192,
                      clients.ports.empty() ? 184 : 250);

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

    int bottom = 160;
    if (!clients.ports.empty()) {
        // Per protocol what a mail client asks for; the login is the user's own name.
        QString rows = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"2\">"
                                      "<tr><th align=\"left\">Protocol</th><th align=\"left\">"
                                      "Server</th><th align=\"left\">Port</th><th align=\"left\">"
                                      "Encryption</th><th align=\"left\">Login</th></tr>");
        for (const ClientPort& port : clients.ports) {
            rows += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td>"
                                   "<td>your name</td></tr>")
                        .arg(QString::fromUtf8(
                                 ProtocolName(port.protocol).data(),
                                 static_cast<qsizetype>(ProtocolName(port.protocol).size())),
                             QString::fromStdString(clients.host).toHtmlEscaped())
                        .arg(port.port)
                        .arg(QString::fromUtf8(
                            EncryptionName(port.encryption).data(),
                            static_cast<qsizetype>(EncryptionName(port.encryption).size())));
        }
        rows += QStringLiteral("</table>");
        QLabel* table = Text(*this, units, rows, 22, 156, 190, 66);
        table->setObjectName(QStringLiteral("clientSettings"));
        table->setTextFormat(Qt::RichText);
        bottom = 228;
    }
    if (withPage) {
        QLabel* qr = Text(*this, units, {}, 205, 7, 118, 118);
        qr->setObjectName(QStringLiteral("qrCode"));
        qr->setAlignment(Qt::AlignCenter);
        const QImage image = QrCode(QString::fromStdString(clients.pageAddress), 4);
        qr->setPixmap(QPixmap::fromImage(image).scaled(qr->size(), Qt::KeepAspectRatio));
        qr->setToolTip(QString::fromStdString(clients.pageAddress));
        QLabel* page = Text(*this, units,
                            QStringLiteral("Settings page for phones:\n") +
                                QString::fromStdString(clients.pageAddress),
                            205, 128, 118, 20);
        page->setObjectName(QStringLiteral("pageAddress"));
        page->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    if (!m_certificate.empty()) {
        auto* save = new QPushButton(QStringLiteral("Save certificate..."), this);
        save->setObjectName(QStringLiteral("saveCertificate"));
        Place(*save, units, 22, bottom, 80, 14);
        connect(save, &QPushButton::clicked, this, &AccessInfoDialog::SaveCertificate);
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    Place(*ok, units, 120, bottom, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

} // namespace brevin
