#pragma once

#include <QDialog>

class QLabel;

namespace brevin {

/// Product, version and what the server does.
class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    [[nodiscard]] QLabel* Notice() const { return m_notice; }

private:
    QLabel* m_notice;
};

} // namespace brevin
