#include "sim/lib/SimPhoto.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

namespace brtxsim {

namespace {

// Seven segments a..g (top, top right, bottom right, bottom, bottom left, top left, middle).
int SegmentMask(QChar c) {
    static const int digits[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    if (c >= '0' && c <= '9')
        return digits[c.unicode() - '0'];
    if (c == '-')
        return 0x40;
    return 0;
}

// Draws text of digits and '-' as seven-segment characters of height h at (x, y).
void DrawSegments(QPainter& p, const QString& text, int x, int y, int h) {
    const int w = h / 2;
    const int t = std::max(2, h / 10);
    for (QChar c : text) {
        const int m = SegmentMask(c);
        const QRect seg[7] = {
            {x + t, y, w - 2 * t, t},                     // a
            {x + w - t, y + t, t, h / 2 - t},             // b
            {x + w - t, y + h / 2 + t / 2, t, h / 2 - t}, // c
            {x + t, y + h - t, w - 2 * t, t},             // d
            {x, y + h / 2 + t / 2, t, h / 2 - t},         // e
            {x, y + t, t, h / 2 - t},                     // f
            {x + t, y + h / 2 - t / 2, w - 2 * t, t},     // g
        };
        for (int s = 0; s < 7; ++s)
            if (m & (1 << s))
                p.fillRect(seg[s], Qt::white);
        x += w + t * 2;
    }
}

QByteArray Encode(int n, const QDate& date, int width, int height, int quality) {
    QImage image(width, height, QImage::Format_RGB32);
    // A deterministic scene: a gradient, a few shapes and fine texture, so that the JPEG
    // encoder has real work to do.
    uint32_t seed = uint32_t(n) * 2654435761u + 12345u;
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int noise = int((seed >> 16) & 0x1F);
            line[x] = qRgb((x * 255 / width + n * 17 + noise) & 0xFF, (y * 255 / height) & 0xFF,
                           (96 + n * 29 + noise) & 0xFF);
        }
    }
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor::fromHsv((n * 37) % 360, 160, 200));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPoint(width * 3 / 4, height / 2), width / 6, height / 4);
    p.fillRect(QRect(0, 0, width, height / 3), QColor(0, 0, 0, 110));
    const int h = std::max(8, height / 8);
    DrawSegments(p, QString::number(n), h / 2, h / 3, h);
    DrawSegments(p, date.toString(QStringLiteral("yyyy-MM-dd")), h / 2, h * 3 / 2, h * 2 / 3);
    p.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

} // namespace

QByteArray MakePhoto(int n, const QDate& date, int bytes) {
    if (bytes <= 0)
        return QByteArray();
    int width = 320, height = 240, quality = 80;
    if (bytes < 4000) {
        width = 64;
        height = 48;
        quality = 50;
    } else if (bytes < 16000) {
        width = 160;
        height = 120;
        quality = 70;
    }
    QByteArray jpeg = Encode(n, date, width, height, quality);
    if (jpeg.size() < 2 || jpeg.size() >= bytes)
        return jpeg;
    // Pad to the wanted size with comment segments right after the start-of-image marker
    // (FF FE, 16-bit length including itself, text). A remainder too small for a segment
    // goes after the end-of-image marker, where decoders ignore it.
    qsizetype missing = bytes - jpeg.size();
    QByteArray pad;
    while (missing >= 4) {
        const int segment = int(std::min<qsizetype>(missing, 65535 + 2));
        int body = segment - 4;
        if (missing - segment > 0 && missing - segment < 4)
            body -= 4; // leave room for one more whole segment
        pad.append(char(0xFF));
        pad.append(char(0xFE));
        pad.append(char(((body + 2) >> 8) & 0xFF));
        pad.append(char((body + 2) & 0xFF));
        for (int i = 0; i < body; ++i)
            pad.append(char('a' + (i + n) % 26));
        missing -= body + 4;
    }
    jpeg.insert(2, pad);
    if (missing > 0)
        jpeg.append(QByteArray(missing, 0));
    return jpeg;
}

} // namespace brtxsim
