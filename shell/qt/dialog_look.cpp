#include "shell/qt/dialog_look.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QPalette>

namespace brevin {

void SetDialogColours() {
    const QColor grey(192, 192, 192);
    QPalette palette = QApplication::palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, grey);
        palette.setColor(group, QPalette::Button, grey);
        palette.setColor(group, QPalette::WindowText, Qt::black);
        palette.setColor(group, QPalette::ButtonText, Qt::black);
        palette.setColor(group, QPalette::Text, Qt::black);
    }
    palette.setColor(QPalette::Disabled, QPalette::Window, grey);
    palette.setColor(QPalette::Disabled, QPalette::Button, grey);
    // QMessageBox derives from QDialog, so this one call covers the boxes too.
    QApplication::setPalette(palette, "QDialog");
}

QFont DialogFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int alphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (alphabet / 26 + 1) / 2;
    m_baseY = metrics.height();
    if (m_baseX < 1) {
        m_baseX = 1;
    }
    if (m_baseY < 1) {
        m_baseY = 1;
    }
}

DialogUnits PrepareDialog(QDialog& dialog, const QString& caption, int width, int height) {
    dialog.setFont(DialogFont());
    dialog.setWindowTitle(caption);
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    const DialogUnits units(dialog.font());
    dialog.setFixedSize(units.X(width), units.Y(height));
    return units;
}

void Place(QWidget& control, const DialogUnits& units, int x, int y, int w, int h) {
    control.setGeometry(units.Rect(x, y, w, h));
}

} // namespace brevin
