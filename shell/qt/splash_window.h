#pragma once

#include <QPixmap>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <chrono>

namespace brevin {

/// Where the splash stands: centred in the available screen area, the halves truncated.
QRect SplashGeometry(const QRect& available);

/// The cover picture shown for five seconds at start, frameless and above every window. It
/// deletes itself when it closes.
class SplashWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 175;
    static constexpr int kHeight = 299;
    static constexpr std::chrono::milliseconds kShowTime{5000};

    explicit SplashWindow(const QRect& available);

    /// Shows the splash, paints it at once and starts its timer.
    void Start();
    /// The time is up: close (and so delete) the window.
    void finish();

    [[nodiscard]] const QTimer& Timer() const { return m_timer; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_cover;
    QTimer m_timer;
};

} // namespace brevin
