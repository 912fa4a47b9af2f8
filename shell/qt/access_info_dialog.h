#pragma once

#include <QDialog>
#include <QString>

class QLabel;

namespace brevin {

struct HostAddress;

/// Which server address to enter in the mail clients: the address found at start-up, and
/// the host's name looked up anew.
class AccessInfoDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AccessInfoDialog(const HostAddress& host, QWidget* parent = nullptr);

    [[nodiscard]] QLabel* Address() const { return m_address; }
    [[nodiscard]] QLabel* HostName() const { return m_hostName; }

private:
    QLabel* m_address;
    QLabel* m_hostName;
};

} // namespace brevin
