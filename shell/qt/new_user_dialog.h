#pragma once

#include <QDialog>

class QLineEdit;

namespace brevin {

/// Asks for a new user's name; letters become lower case as they are typed. The caller reads
/// the name once the dialog was accepted.
class NewUserDialog final : public QDialog {
    Q_OBJECT
public:
    explicit NewUserDialog(QWidget* parent = nullptr);

    [[nodiscard]] QLineEdit* Name() const { return m_name; }

private:
    QLineEdit* m_name;
};

} // namespace brevin
