#pragma once

#include <QAbstractScrollArea>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <vector>

namespace brevin {

/// Where the background picture is copied to fill `client`: row by row, each row starting
/// at the first position not right of 0 reached from the previous row's end in steps of the
/// picture's width plus 15, so the rows are staggered. `scrollPos` moves everything down 20
/// pixels a step.
std::vector<QPoint> TileBackground(const QRect& client, const QSize& picture, int scrollPos = 0);

/// The main window's background: FONDO, tiled. It draws nothing else.
class BackgroundView final : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit BackgroundView(QWidget* parent = nullptr);

    [[nodiscard]] const QPixmap& Background() const { return m_background; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_background;
};

} // namespace brevin
