#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPlainTextEdit;

namespace brevin {

struct HostAddress;

/// Which server address to enter in the mail clients: the address found at start-up, and
/// the host's name looked up anew; and the certificate's SHA-256 fingerprint to pin, or that
/// the server runs without encryption when `fingerprint` is empty; and the ports that listen.
class AccessInfoDialog final : public QDialog {
    Q_OBJECT
public:
    AccessInfoDialog(const HostAddress& host, const QString& fingerprint, const QString& ports = {},
                     QWidget* parent = nullptr);

    [[nodiscard]] QLabel* Address() const { return m_address; }
    [[nodiscard]] QLabel* HostName() const { return m_hostName; }
    [[nodiscard]] QPlainTextEdit* Fingerprint() const { return m_fingerprint; }

private:
    QLabel* m_address;
    QLabel* m_hostName;
    QPlainTextEdit* m_fingerprint;
};

} // namespace brevin
