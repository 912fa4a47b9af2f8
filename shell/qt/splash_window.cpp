#include "shell/qt/splash_window.h"

#include <QPainter>

namespace brevin {

QRect SplashGeometry(const QRect& available) {
    return {available.x() + (available.width() - SplashWindow::kWidth) / 2,
            available.y() + (available.height() - SplashWindow::kHeight) / 2, SplashWindow::kWidth,
            SplashWindow::kHeight};
}

SplashWindow::SplashWindow(const QRect& available)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_cover(QStringLiteral(":/res/COVER")) {
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(SplashGeometry(available));
    m_timer.setSingleShot(true);
    m_timer.setInterval(kShowTime);
    connect(&m_timer, &QTimer::timeout, this, &SplashWindow::finish);
}

void SplashWindow::Start() {
    show();
    repaint();
    m_timer.start();
}

void SplashWindow::finish() {
    m_timer.stop();
    close();
}

void SplashWindow::paintEvent(QPaintEvent* /*event*/) {
    // A thin black border, and the picture inside it, clipped by the window.
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.drawPixmap(1, 1, m_cover);
    painter.setPen(Qt::black);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace brevin
