#pragma once

#include <QFont>
#include <QRect>

class QDialog;
class QWidget;

namespace brevin {

/// Light grey (192, 192, 192) with black text for every dialog and message box made from now
/// on.
void SetDialogColours();

/// The dialogs' font: "MS Sans Serif" at 8 points, or the nearest sans-serif face.
QFont DialogFont();

/// Dialog units to pixels: a horizontal unit is a quarter of the font's average character
/// width, a vertical unit an eighth of its height, so layouts keep their proportions with any
/// font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    [[nodiscard]] int X(int units) const { return units * m_baseX / 4; }
    [[nodiscard]] int Y(int units) const { return units * m_baseY / 8; }
    [[nodiscard]] QRect Rect(int x, int y, int w, int h) const { return {X(x), Y(y), X(w), Y(h)}; }

private:
    int m_baseX;
    int m_baseY;
};

/// Gives `dialog` its font, caption, close box and fixed client size in dialog units.
DialogUnits PrepareDialog(QDialog& dialog, const QString& caption, int width, int height);

/// Places `control` at a rectangle given in dialog units.
void Place(QWidget& control, const DialogUnits& units, int x, int y, int w, int h);

} // namespace brevin
