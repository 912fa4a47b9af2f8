#include "shell/qt/background_view.h"

#include <QPainter>
#include <QScrollBar>

namespace brevin {

std::vector<QPoint> TileBackground(const QRect& client, const QSize& picture, int scrollPos) {
    std::vector<QPoint> tiles;
    const int w = picture.width();
    const int h = picture.height();
    if (w <= 0 || h <= 0) {
        return tiles;
    }
    const QRect area = client.translated(0, 20 * scrollPos);
    int x = 0; // carries over from row to row
    for (int y = area.top(); y < area.top() + area.height(); y += h) {
        while (x > 0) {
            x -= w + 15;
        }
        while (x < area.left() + area.width()) {
            tiles.emplace_back(x, y);
            x += w;
        }
    }
    return tiles;
}

BackgroundView::BackgroundView(QWidget* parent)
    : QAbstractScrollArea(parent), m_background(QStringLiteral(":/res/FONDO")) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setRange(0, 0);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAutoFillBackground(false);
}

void BackgroundView::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(viewport());
    for (const QPoint& at :
         TileBackground(viewport()->rect(), m_background.size(), verticalScrollBar()->value())) {
        painter.drawPixmap(at, m_background);
    }
}

} // namespace brevin
