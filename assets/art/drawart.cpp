// Draws the program's artwork into assets/images, assets/icons and assets/failer.jpg.
// The PNG files it writes are kept in the repository; run this only to change the artwork:
//   g++ -std=c++20 -fPIC assets/art/drawart.cpp -o /tmp/drawart $(pkg-config --cflags --libs
//   Qt6Gui) QT_QPA_PLATFORM=offscreen /tmp/drawart assets
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>
#include <cstdio>

namespace {

QString g_out;

const QColor kNavy(0x0d, 0x3b, 0x66);
const QColor kNavyLight(0x16, 0x55, 0x8f);
const QColor kBlue(0x1e, 0x6f, 0xb8);
const QColor kTeal(0x1f, 0xb5, 0xc9);
const QColor kPale(240, 250, 255);

QImage NewImage(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void Save(const QImage& img, const QString& name, int quality = -1) {
    const QString path = g_out + "/" + name;
    if (!img.save(path, nullptr, quality))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QFont Font(const QString& family, int px, int weight = QFont::Normal) {
    QFont f;
    f.setFamilies({family, QStringLiteral("DejaVu Sans"), QStringLiteral("Droid Sans Fallback")});
    f.setPixelSize(px);
    f.setWeight(QFont::Weight(weight));
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

// The emblem: a round badge with a breath wave passing through a measuring ring.
void DrawEmblem(QPainter& p, const QRectF& r, const QColor& accent) {
    p.save();
    QRadialGradient glow(r.center(), r.width() / 2);
    glow.setColorAt(0.0, QColor(255, 255, 255, 60));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(
        r.adjusted(-r.width() * 0.15, -r.height() * 0.15, r.width() * 0.15, r.height() * 0.15));
    QPen ring(QColor(255, 255, 255, 235), r.width() * 0.07);
    ring.setCapStyle(Qt::RoundCap);
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    p.drawArc(r, 60 * 16, 300 * 16);
    QPen wave(accent, r.width() * 0.08);
    wave.setCapStyle(Qt::RoundCap);
    wave.setJoinStyle(Qt::RoundJoin);
    p.setPen(wave);
    QPainterPath path;
    const double cy = r.center().y();
    const double a = r.height() * 0.22;
    path.moveTo(r.left() + r.width() * 0.18, cy);
    path.cubicTo(r.left() + r.width() * 0.35, cy - a, r.left() + r.width() * 0.45, cy - a,
                 r.center().x(), cy);
    path.cubicTo(r.left() + r.width() * 0.55, cy + a, r.left() + r.width() * 0.68, cy + a,
                 r.right() + r.width() * 0.12, cy - a * 1.2);
    p.drawPath(path);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double dot = r.width() * 0.09;
    p.drawEllipse(QPointF(r.right() + r.width() * 0.12, cy - a * 1.2), dot, dot);
    p.restore();
}

// Backgrounds: 1024 x 768, stretched over the main window. The window is 639 x 448 dialog
// units: the title strip ends at unit 63 (the page area), the status line starts at unit 432.
void DrawBackground(const QString& name, const QString& subtitle, const QString& badge,
                    const QColor& accent) {
    const int W = 1024, H = 768;
    auto X = [](double dlu) { return dlu * 1024.0 / 639.0; };
    auto Y = [](double dlu) { return dlu * 768.0 / 448.0; };
    QImage img = NewImage(W, H);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Window body.
    QLinearGradient body(0, 0, 0, H);
    body.setColorAt(0, QColor(0xe6, 0xef, 0xf8));
    body.setColorAt(1, QColor(0xd9, 0xe6, 0xf2));
    p.fillRect(img.rect(), body);

    // Title strip.
    const double stripBottom = Y(60);
    QLinearGradient strip(0, 0, 0, stripBottom);
    strip.setColorAt(0, QColor(0x0a, 0x30, 0x55));
    strip.setColorAt(0.55, kNavy);
    strip.setColorAt(1, kNavyLight);
    p.fillRect(QRectF(0, 0, W, stripBottom), strip);

    // Soft diagonal light bands across the strip.
    p.save();
    p.setClipRect(QRectF(0, 0, W, stripBottom));
    for (int i = 0; i < 3; ++i) {
        QPainterPath band;
        const double x0 = 380 + i * 150;
        band.moveTo(x0, 0);
        band.lineTo(x0 + 90, 0);
        band.lineTo(x0 + 10, stripBottom);
        band.lineTo(x0 - 80, stripBottom);
        band.closeSubpath();
        p.fillPath(band, QColor(255, 255, 255, 6 + i * 3));
    }
    // Faint breath waves behind the brand.
    for (int i = 0; i < 4; ++i) {
        QPainterPath wave;
        const double base = stripBottom * (0.55 + i * 0.1);
        wave.moveTo(300, base);
        for (double x = 300; x <= W; x += 8)
            wave.lineTo(x, base + qSin((x + i * 40) / 55.0) * (6 + i * 2) * ((x - 300) / 724.0));
        p.setPen(QPen(QColor(255, 255, 255, 18 + i * 6), 1.4));
        p.setBrush(Qt::NoBrush);
        p.drawPath(wave);
    }
    p.restore();

    // Accent line under the strip.
    QLinearGradient line(0, 0, W, 0);
    line.setColorAt(0, accent);
    line.setColorAt(0.6, kBlue);
    line.setColorAt(1, kNavyLight);
    p.fillRect(QRectF(0, stripBottom, W, 4), line);

    // Separator after the page buttons (which end at unit 158).
    p.setPen(QPen(QColor(255, 255, 255, 50), 1));
    p.drawLine(QPointF(X(163), Y(16)), QPointF(X(163), Y(50)));

    // Brand at the right of the strip, clear of the minimise and close buttons (top right):
    // emblem, word mark (with an optional model badge) and the subtitle, right-aligned.
    const QFont wordFont = Font("Nimbus Sans", 40, QFont::Bold);
    const QFont badgeFont = Font("Nimbus Sans", 17, QFont::Bold);
    const QFont subFont = Font("Nimbus Sans", 17);
    const double wordWidth = QFontMetricsF(wordFont).horizontalAdvance("BRTX");
    const double badgeWidth =
        badge.isEmpty() ? 0 : QFontMetricsF(badgeFont).horizontalAdvance(badge) + 18;
    const double subWidth = QFontMetricsF(subFont).horizontalAdvance(subtitle);
    const double textWidth = qMax(wordWidth + (badge.isEmpty() ? 0 : 12 + badgeWidth), subWidth);
    const double left = W - 36 - textWidth - 26 - 62;
    const QRectF emblem(left, Y(19), 62, 62);
    DrawEmblem(p, emblem, accent);
    p.setPen(Qt::white);
    p.setFont(wordFont);
    const QRectF wordRect(emblem.right() + 26, Y(15), textWidth + 4, 50);
    p.drawText(wordRect, Qt::AlignLeft | Qt::AlignVCenter, "BRTX");
    if (!badge.isEmpty()) {
        p.setFont(badgeFont);
        const QRectF b(wordRect.left() + wordWidth + 12, wordRect.center().y() - 12, badgeWidth,
                       26);
        p.setPen(Qt::NoPen);
        p.setBrush(accent);
        p.drawRoundedRect(b, 6, 6);
        p.setPen(Qt::white);
        p.drawText(b, Qt::AlignCenter, badge);
    }
    p.setPen(QColor(0xbf, 0xd9, 0xf0));
    p.setFont(subFont);
    p.drawText(QRectF(wordRect.left() + 2, wordRect.bottom() - 2, subWidth + 4, 28),
               Qt::AlignLeft | Qt::AlignVCenter, subtitle);

    // Page area frame (the page hosts cover its inside).
    const QRectF page(X(7), Y(63), X(625), Y(369));
    p.setPen(QPen(QColor(0xa7, 0xc1, 0xda), 1));
    p.setBrush(QColor(0xf4, 0xf8, 0xfc));
    p.drawRoundedRect(page.adjusted(-2, -2, 2, 2), 3, 3);

    // Status line.
    const double statusTop = Y(432) + 1;
    p.fillRect(QRectF(0, statusTop, W, H - statusTop), kPale);
    p.setPen(QPen(QColor(0xb5, 0xcc, 0xe0), 1));
    p.drawLine(QPointF(0, statusTop), QPointF(W, statusTop));
    p.end();
    Save(img, "images/" + name);
}

// A rounded tile with a gradient, the base of the page-button icons.
void DrawTile(QPainter& p, const QRectF& r, const QColor& top, const QColor& bottom) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(QColor(255, 255, 255, 90), 1.5));
    p.setBrush(g);
    p.drawRoundedRect(r, r.width() * 0.22, r.width() * 0.22);
    // Gloss on the upper half.
    QPainterPath gloss;
    gloss.addRoundedRect(r.adjusted(3, 3, -3, -r.height() * 0.5), r.width() * 0.18,
                         r.width() * 0.18);
    p.fillPath(gloss, QColor(255, 255, 255, 36));
}

void DrawHomeIcon() {
    QImage img = NewImage(64, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawTile(p, QRectF(2, 2, 60, 60), QColor(0x3a, 0xa8, 0xf0), QColor(0x14, 0x6c, 0xc0));
    QPainterPath roof;
    roof.moveTo(14, 33);
    roof.lineTo(32, 16);
    roof.lineTo(50, 33);
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(roof);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath house;
    house.moveTo(19, 31);
    house.lineTo(32, 20);
    house.lineTo(45, 31);
    house.lineTo(45, 49);
    house.lineTo(19, 49);
    house.closeSubpath();
    p.drawPath(house);
    p.setBrush(QColor(0x14, 0x6c, 0xc0));
    p.drawRoundedRect(QRectF(28, 36, 8, 13), 2, 2);
    p.end();
    Save(img, "images/home.png");
}

void DrawHistoryIcon() {
    QImage img = NewImage(64, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawTile(p, QRectF(2, 2, 60, 60), QColor(0xff, 0xb7, 0x40), QColor(0xe0, 0x78, 0x10));
    // A record sheet with lines, and a clock over its corner.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(14, 12, 28, 38), 3, 3);
    p.setBrush(QColor(0xe0, 0x78, 0x10));
    for (int i = 0; i < 4; ++i)
        p.drawRoundedRect(QRectF(19, 19 + i * 7, i == 3 ? 10 : 18, 3), 1.5, 1.5);
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(0xe0, 0x78, 0x10), 2.5));
    p.drawEllipse(QPointF(42, 42), 12, 12);
    p.setPen(QPen(QColor(0xc0, 0x5a, 0x00), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(42, 42), QPointF(42, 35));
    p.drawLine(QPointF(42, 42), QPointF(47, 45));
    p.end();
    Save(img, "images/history.png");
}

void DrawExitIcon() {
    QImage img = NewImage(64, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawTile(p, QRectF(2, 2, 60, 60), QColor(0xf2, 0x6d, 0x6d), QColor(0xc0, 0x2b, 0x33));
    QPen pen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(17, 18, 30, 30), 120 * 16, 300 * 16);
    p.drawLine(QPointF(32, 14), QPointF(32, 31));
    p.end();
    Save(img, "images/exit.png");
}

void DrawInstrumentsIcon() {
    QImage img = NewImage(64, 64);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawTile(p, QRectF(2, 2, 60, 60), QColor(0x3c, 0xc8, 0x9a), QColor(0x14, 0x8a, 0x6a));
    // A dial with its needle inside the tolerance band, and a tick below it.
    p.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(13, 14, 38, 38), 20 * 16, 140 * 16);
    p.setPen(QPen(QColor(0xff, 0xe0, 0x70), 4.5, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(13, 14, 38, 38), 70 * 16, 40 * 16);
    p.setPen(QPen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 33), QPointF(36, 17));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(32, 33), 3.5, 3.5);
    QPainterPath tick;
    tick.moveTo(22, 44);
    tick.lineTo(29, 50);
    tick.lineTo(43, 38);
    p.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
    p.end();
    Save(img, "images/instruments.png");
}

// Minimise and close: drawn at twice the button size for sharp scaling.
void DrawCaptionButton(const QString& name, bool close, int state) {
    const int w = close ? 52 : 44, h = 36;
    QImage img = NewImage(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill(255, 255, 255, 0);
    if (state == 1)
        fill = close ? QColor(0xe0, 0x3b, 0x3b) : QColor(255, 255, 255, 50);
    if (state == 2)
        fill = close ? QColor(0xa8, 0x1e, 0x26) : QColor(255, 255, 255, 90);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(1, 1, w - 2, h - 2), 6, 6);
    QPen glyph(Qt::white, 4.4, Qt::SolidLine, Qt::RoundCap);
    p.setPen(glyph);
    const QPointF c(w / 2.0, h / 2.0);
    if (close) {
        p.drawLine(c + QPointF(-9.5, -9.5), c + QPointF(9.5, 9.5));
        p.drawLine(c + QPointF(-9.5, 9.5), c + QPointF(9.5, -9.5));
    } else {
        p.drawLine(c + QPointF(-11, 7), c + QPointF(11, 7));
    }
    p.end();
    Save(img, "images/" + name);
}

// Tab skin: 80 x 28 items; the style sheet cuts them at 6 pixels (2 at the bottom).
void DrawTab(bool selected) {
    const int w = 80, h = 28;
    QImage img = NewImage(w, h);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.moveTo(0.5, h);
    shape.lineTo(0.5, 6);
    shape.quadTo(0.5, 0.5, 6, 0.5);
    shape.lineTo(w - 6, 0.5);
    shape.quadTo(w - 0.5, 0.5, w - 0.5, 6);
    shape.lineTo(w - 0.5, h);
    QLinearGradient g(0, 0, 0, h);
    if (selected) {
        g.setColorAt(0, Qt::white);
        g.setColorAt(1, QColor(0xf7, 0xfb, 0xfe));
    } else {
        g.setColorAt(0, QColor(0xe4, 0xee, 0xf7));
        g.setColorAt(1, QColor(0xd0, 0xdf, 0xed));
    }
    p.setPen(QPen(QColor(0x9d, 0xbb, 0xd8), 1));
    p.setBrush(g);
    p.drawPath(shape);
    if (selected) {
        QPainterPath top;
        top.moveTo(1, 6);
        top.quadTo(1, 1, 6, 1);
        top.lineTo(w - 6, 1);
        top.quadTo(w - 1, 1, w - 1, 6);
        top.lineTo(w - 1, 4);
        top.lineTo(1, 4);
        p.setPen(Qt::NoPen);
        p.fillRect(QRectF(3, 1, w - 6, 3), kBlue);
    }
    p.end();
    Save(img, selected ? "images/tab_selected.png" : "images/tab.png");
}

// Small arrows for drop-down and spin boxes.
void DrawArrow(const QString& name, bool down, const QColor& color) {
    QImage img = NewImage(20, 12);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    QPainterPath a;
    if (down) {
        a.moveTo(4, 3);
        a.lineTo(10, 9);
        a.lineTo(16, 3);
    } else {
        a.moveTo(4, 9);
        a.lineTo(10, 3);
        a.lineTo(16, 9);
    }
    p.drawPath(a);
    p.end();
    Save(img, "images/" + name);
}

// The program's icon, drawn on a 256 x 256 grid scaled to size (icons/io.github.brtx.Brtx.svg
// is the same drawing for the scalable size).
QImage AppIcon(int size) {
    QImage img = NewImage(size, size);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    QLinearGradient g(0, 0, 0, 256);
    g.setColorAt(0, kBlue);
    g.setColorAt(1, kNavy);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);
    DrawEmblem(p, QRectF(50, 58, 140, 140), kTeal);
    p.end();
    return img;
}

void DrawAppIcon() {
    Save(AppIcon(256), "images/brtx.png");
    // The desktop's icon theme sizes.
    for (int size : {48, 128, 256})
        Save(AppIcon(size), QStringLiteral("icons/io.github.brtx.Brtx-%1.png").arg(size));
}

// Shown in place of a picture that cannot be loaded.
void DrawFailer() {
    QImage img(640, 480, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 480);
    g.setColorAt(0, QColor(0xf1, 0xf4, 0xf8));
    g.setColorAt(1, QColor(0xdf, 0xe6, 0xee));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(QColor(0xc3, 0xcd, 0xd8), 2, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(20, 20, 600, 440), 14, 14);
    // A photograph symbol: frame, sun and hills, crossed out.
    const QRectF frame(240, 120, 160, 120);
    const QColor ink(0x8a, 0x99, 0xaa);
    p.setPen(QPen(ink, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawRoundedRect(frame, 12, 12);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(365, 155), 13, 13);
    QPainterPath hills;
    hills.moveTo(252, 228);
    hills.lineTo(300, 170);
    hills.lineTo(335, 208);
    hills.lineTo(355, 188);
    hills.lineTo(388, 228);
    hills.closeSubpath();
    p.drawPath(hills);
    p.setPen(QPen(QColor(0xf1, 0xf4, 0xf8), 16, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(228, 262), QPointF(412, 98));
    p.setPen(QPen(QColor(0xd0, 0x45, 0x45), 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(228, 262), QPointF(412, 98));
    p.setPen(QColor(0x4a, 0x5a, 0x6c));
    p.setFont(Font("Nimbus Sans", 30, QFont::Bold));
    p.drawText(QRectF(0, 290, 640, 44), Qt::AlignCenter, "Picture not available");
    p.setPen(QColor(0x6a, 0x7a, 0x8c));
    p.setFont(Font("Droid Sans Fallback", 26));
    p.drawText(QRectF(0, 338, 640, 40), Qt::AlignCenter, QString::fromUtf8("图片不可用"));
    p.end();
    Save(img, "failer.jpg", 92);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("assets");
    DrawBackground("background_en.png", "Breath Alcohol Test Data Manager", QString(), kTeal);
    DrawBackground("background_cn.png", QString::fromUtf8("呼气酒精测试数据管理系统"), QString(),
                   kTeal);
    DrawBackground("background_cn15.png", QString::fromUtf8("呼气酒精测试数据管理系统"),
                   QString::fromUtf8("15 型"), QColor(0x2e, 0xc2, 0x8a));
    DrawHomeIcon();
    DrawHistoryIcon();
    DrawExitIcon();
    DrawInstrumentsIcon();
    DrawCaptionButton("minimise.png", false, 0);
    DrawCaptionButton("minimise_hover.png", false, 1);
    DrawCaptionButton("minimise_pressed.png", false, 2);
    DrawCaptionButton("close.png", true, 0);
    DrawCaptionButton("close_hover.png", true, 1);
    DrawCaptionButton("close_pressed.png", true, 2);
    DrawTab(false);
    DrawTab(true);
    DrawArrow("arrow_down.png", true, QColor(0x2a, 0x5d, 0x8f));
    DrawArrow("arrow_up.png", false, QColor(0x2a, 0x5d, 0x8f));
    DrawArrow("arrow_down_disabled.png", true, QColor(0xa8, 0xb6, 0xc4));
    DrawArrow("arrow_up_disabled.png", false, QColor(0xa8, 0xb6, 0xc4));
    DrawAppIcon();
    DrawFailer();
    return 0;
}
