#pragma once

#include "autoconfig/client_documents.h"

#include <QDialog>
#include <QImage>
#include <QString>

class QLabel;
class QPlainTextEdit;

namespace brevin {

struct HostAddress;

/// Which server address to enter in the mail clients: the address found at start-up, and
/// the host's name looked up anew; and the certificate's SHA-256 fingerprint to pin, or that
/// the server runs without encryption when `fingerprint` is empty; and the ports that listen.
/// With `clients`, also what to type in a mail client per protocol, a QR code of the settings
/// page's address (when it is served), and a button that saves the certificate to trust.
class AccessInfoDialog final : public QDialog {
    Q_OBJECT
public:
    AccessInfoDialog(const HostAddress& host, const QString& fingerprint, const QString& ports = {},
                     QWidget* parent = nullptr, const ClientSettings& clients = {});

    /// `text` as a QR code, black on white with its quiet zone, `scale` pixels a module; a
    /// null image when it cannot be encoded.
    static QImage QrCode(const QString& text, int scale);

    [[nodiscard]] QLabel* Address() const { return m_address; }
    [[nodiscard]] QLabel* HostName() const { return m_hostName; }
    [[nodiscard]] QPlainTextEdit* Fingerprint() const { return m_fingerprint; }

private:
    void SaveCertificate();

    std::string m_certificate; // PEM
    QLabel* m_address;
    QLabel* m_hostName;
    QPlainTextEdit* m_fingerprint;
};

} // namespace brevin
