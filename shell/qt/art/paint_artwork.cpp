// Paints Brevin's pictures and writes them as PNG files into the folder given on the command
// line. The PNGs are kept in the repository; run this only to change the artwork:
//   ninja -C build brevin_artwork
//   QT_QPA_PLATFORM=offscreen build/shell/qt/brevin_artwork shell/qt/art
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

const QColor kNavy(29, 53, 87);
const QColor kBlue(42, 111, 176);
const QColor kSky(120, 178, 224);
const QColor kPaper(253, 246, 227);
const QColor kOrange(244, 162, 89);
const QColor kInk(40, 44, 52);

QImage Blank(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// An envelope inside `r`: body, flap lines and, when `seal` is set, a round wax seal.
void Envelope(QPainter& p, const QRectF& r, const QColor& paper, const QColor& line, bool seal,
              qreal pen) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(line, pen, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(paper);
    p.drawRoundedRect(r, r.width() * 0.06, r.width() * 0.06);
    const QPointF apex(r.center().x(), r.top() + r.height() * 0.58);
    QPainterPath flap;
    flap.moveTo(r.topLeft() + QPointF(pen, pen));
    flap.lineTo(apex);
    flap.lineTo(r.topRight() + QPointF(-pen, pen));
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
    p.drawLine(r.bottomLeft() + QPointF(pen, -pen),
               QPointF(r.left() + r.width() * 0.38, r.top() + r.height() * 0.5));
    p.drawLine(r.bottomRight() + QPointF(-pen, -pen),
               QPointF(r.right() - r.width() * 0.38, r.top() + r.height() * 0.5));
    if (seal) {
        const qreal radius = r.height() * 0.16;
        p.setPen(QPen(kOrange.darker(130), pen * 0.7));
        p.setBrush(kOrange);
        p.drawEllipse(apex, radius, radius);
    }
    p.restore();
}

// The application icon: an envelope on a rounded blue square. The second image lifts the
// seal and lightens the square, so the tray shows the server breathing.
QImage AppIcon(int size, bool alternate) {
    QImage image = Blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0, alternate ? kSky : kBlue);
    fill.setColorAt(1, alternate ? kBlue : kNavy);
    p.setPen(QPen(kNavy, s / 32.0));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(s * 0.03, s * 0.03, s * 0.94, s * 0.94), s * 0.2, s * 0.2);
    Envelope(p, QRectF(s * 0.16, s * 0.27, s * 0.68, s * 0.46), kPaper, kNavy, alternate, s / 22.0);
    return image;
}

QImage Cover() {
    const int w = 175;
    const int h = 297;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, kNavy);
    sky.setColorAt(0.65, kBlue);
    sky.setColorAt(1, kSky);
    p.fillRect(image.rect(), sky);

    // A soft glow behind the envelope.
    QRadialGradient glow(QPointF(w / 2.0, 88), 80);
    glow.setColorAt(0, QColor(255, 255, 255, 70));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(w / 2.0, 88), 80, 80);

    // Flight lines behind the envelope.
    p.setPen(QPen(QColor(255, 255, 255, 120), 2, Qt::DashLine, Qt::RoundCap));
    p.drawLine(QPointF(14, 70), QPointF(36, 70));
    p.drawLine(QPointF(8, 86), QPointF(34, 86));
    p.drawLine(QPointF(16, 102), QPointF(36, 102));
    Envelope(p, QRectF(42, 52, 104, 70), kPaper, kNavy, true, 2.5);

    QFont title("DejaVu Sans", 25, QFont::Bold);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(title);
    p.setPen(QColor(0, 0, 0, 90));
    p.drawText(QRectF(1, 149, w, 40), Qt::AlignHCenter | Qt::AlignVCenter, "BREVIN");
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 147, w, 40), Qt::AlignHCenter | Qt::AlignVCenter, "BREVIN");

    QFont sub("DejaVu Sans", 8);
    p.setFont(sub);
    p.setPen(kPaper);
    p.drawText(QRectF(0, 186, w, 16), Qt::AlignHCenter | Qt::AlignVCenter, "Intranet Mail Server");

    // A small network: three desks joined to the server.
    const QPointF hub(w / 2.0, 232);
    const QPointF desks[] = {{30, 268}, {w / 2.0, 274}, {w - 30.0, 268}};
    p.setPen(QPen(kPaper, 1.5));
    for (const QPointF& d : desks) {
        p.drawLine(hub, d);
    }
    p.setPen(QPen(kNavy, 1.2));
    p.setBrush(kOrange);
    p.drawRoundedRect(QRectF(hub.x() - 11, hub.y() - 9, 22, 18), 3, 3);
    p.setBrush(kPaper);
    for (const QPointF& d : desks) {
        p.drawRoundedRect(QRectF(d.x() - 10, d.y() - 8, 20, 13), 2, 2);
        p.drawLine(QPointF(d.x() - 5, d.y() + 8), QPointF(d.x() + 5, d.y() + 8));
    }
    p.setPen(QPen(QColor(255, 255, 255, 160), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(3.5, 3.5, w - 7, h - 7));
    return image;
}

QImage Fondo() {
    const int w = 200;
    const int h = 40;
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(222, 230, 238));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor faint(196, 210, 224);
    p.setPen(QPen(faint, 1.5, Qt::DotLine, Qt::RoundCap));
    p.drawLine(QPointF(48, 13), QPointF(120, 13));
    p.drawLine(QPointF(48, 27), QPointF(150, 27));
    Envelope(p, QRectF(14, 10, 26, 19), QColor(232, 238, 244), faint, false, 1.3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(236, 214, 192));
    p.drawEllipse(QPointF(168, 20), 3.5, 3.5);
    p.setBrush(faint);
    p.drawEllipse(QPointF(182, 20), 2.5, 2.5);
    return image;
}

// Three 32 x 32 pictures side by side: about, users, access.
QImage Toolbar() {
    QImage image = Blank(96, 32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // About: an "i" in a blue disc.
    p.setPen(QPen(kNavy, 1.5));
    p.setBrush(kBlue);
    p.drawEllipse(QPointF(16, 16), 13, 13);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 9.5), 2.4, 2.4);
    p.drawRoundedRect(QRectF(13.8, 13.5, 4.4, 11.5), 1.5, 1.5);

    // Users: two people, one behind the other.
    const auto person = [&p](qreal x, qreal y, const QColor& colour) {
        p.setPen(QPen(kNavy, 1.3));
        p.setBrush(colour);
        QPainterPath body;
        body.moveTo(x - 9, y + 17);
        body.cubicTo(x - 9, y + 7, x + 9, y + 7, x + 9, y + 17);
        body.closeSubpath();
        p.drawPath(body);
        p.drawEllipse(QPointF(x, y + 2), 5, 5);
    };
    person(32 + 20, 5, kOrange);
    person(32 + 12, 9, kBlue);

    // Access: a screen showing a letter, joined to the network.
    p.setPen(QPen(kNavy, 1.5));
    p.setBrush(QColor(210, 222, 236));
    p.drawRoundedRect(QRectF(64 + 3, 4, 24, 18), 2, 2);
    Envelope(p, QRectF(64 + 8, 8, 14, 10), kPaper, kNavy, false, 1.0);
    p.setPen(QPen(kNavy, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(64 + 15, 22), QPointF(64 + 15, 26));
    p.drawLine(QPointF(64 + 9, 27), QPointF(64 + 21, 27));
    p.setPen(QPen(kOrange, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(64 + 27, 13), QPointF(64 + 30, 13));
    p.drawLine(QPointF(64 + 30, 13), QPointF(64 + 30, 29));
    p.drawLine(QPointF(64 + 15, 29.5), QPointF(64 + 30, 29.5));
    return image;
}

bool Save(const QImage& image, const QDir& dir, const char* name) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = Save(Cover(), dir, "cover.png");
    ok = Save(Fondo(), dir, "fondo.png") && ok;
    ok = Save(Toolbar(), dir, "toolbar.png") && ok;
    ok = Save(AppIcon(32, false), dir, "brevico.png") && ok;
    ok = Save(AppIcon(32, true), dir, "brevic2.png") && ok;
    ok = Save(AppIcon(48, false), dir, "brevin-48.png") && ok;
    ok = Save(AppIcon(128, false), dir, "brevin-128.png") && ok;
    return ok ? 0 : 1;
}
