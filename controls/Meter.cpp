#include "controls/Meter.h"

#include "base/Language.h"

#include <QConicalGradient>
#include <QFont>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QResizeEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A point at the given angle (degrees, counter-clockwise from 3 o'clock) and distance from
// the centre, in widget coordinates (y grows downwards).
QPointF Polar(const QPointF& centre, double angleDeg, double radius) {
    const double a = angleDeg * kPi / 180.0;
    return {centre.x() + radius * std::cos(a), centre.y() - radius * std::sin(a)};
}

// Proportions of the face, as parts of r.
constexpr double kBezelInner = 0.965; // the dial inside the bezel ring
constexpr double kBandOuter = 0.93;
constexpr double kBandInner = 0.85;
constexpr double kMajorInner = 0.76;
constexpr double kMinorInner = 0.81;
constexpr double kNumbers = 0.63;
constexpr double kNeedleTip = 0.95;

// The order in which the five band colours follow each other from the low to the high end
// of the scale: green, yellow, orange, salmon, red with the initial colours.
constexpr int kBandOrder[CMeter::kBandCount] = {1, 0, 3, 4, 2};

const QColor kDialText(0xE6, 0xEC, 0xF3);
const QColor kValueText(0xFF, 0xD8, 0x5A);

} // namespace

CMeter::CMeter(QWidget* parent, const CLanguage* texts)
    : QWidget(parent), m_strCaption((texts ? *texts : CLanguage()).GetText("KelValue")) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

QColor CMeter::FromColorRef(unsigned int colorRef) {
    return QColor(int(colorRef & 0xFF), int((colorRef >> 8) & 0xFF), int((colorRef >> 16) & 0xFF));
}

void CMeter::SetValue(double value) {
    m_dCurrentValue = value;
    update();
}

void CMeter::SetRange(double minimum, double maximum) {
    m_dMinValue = minimum;
    m_dMaxValue = maximum;
    Rebuild();
}

void CMeter::SetAngleRange(int startAngle, int endAngle) {
    m_nStartAngleDeg = startAngle;
    m_nEndAngleDeg = endAngle;
    Rebuild();
}

void CMeter::SetTicks(int majorCount, int minorPerMajor) {
    m_nTicks = std::max(0, majorCount);
    m_nSubTicks = std::max(0, minorPerMajor);
    Rebuild();
}

void CMeter::SetDecimals(int decimals) {
    m_nValueDecimals = std::clamp(decimals, 0, 15);
    update();
}

void CMeter::SetColorTick(unsigned int colorRef) {
    m_colorNeedle = colorRef;
    update();
}

void CMeter::SetDrawFlag(int flag) {
    m_nDrawFlag = flag;
    update();
}

void CMeter::SetBandColor(int band, unsigned int colorRef) {
    if (band < 0 || band >= kBandCount)
        return;
    m_colorBands[band] = colorRef;
    Rebuild();
}

unsigned int CMeter::BandColor(int band) const {
    return band >= 0 && band < kBandCount ? m_colorBands[band] : 0;
}

double CMeter::FullScale(const QString& unit, int* decimals) {
    struct Scale {
        const char* unit;
        double full;
        int decimals;
    };
    // Breath and blood alcohol in the units instruments report them in, each full scale well
    // above any reading a living person gives.
    static const Scale scales[] = {
        {"mg/l", 2.0, 3},     {"mg/100ml", 400.0, 0}, {"g/l", 4.0, 2}, {"\u2030", 4.0, 2},
        {"permille", 4.0, 2}, {"%bac", 0.4, 3},       {"%", 0.4, 3},   {"bac", 0.4, 3},
    };
    QString key = unit.trimmed().toLower();
    key.remove(QLatin1Char(' '));
    for (const Scale& s : scales) {
        if (key == QString::fromUtf8(s.unit)) {
            if (decimals)
                *decimals = s.decimals;
            return s.full;
        }
    }
    if (decimals)
        *decimals = 1;
    return 1000.0;
}

void CMeter::ShowReading(const QString& result, const QString& unit) {
    int decimals = 1;
    const double full = FullScale(unit, &decimals);
    if (m_dMinValue != 0.0 || m_dMaxValue != full) // the face is drawn again only for a new scale
        SetRange(0.0, full);
    m_nValueDecimals = decimals;
    bool ok = false;
    const double value = result.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        m_strValueText = QString::fromUtf8("\u2014");
        SetValue(m_dMinValue);
        return;
    }
    m_strValueText = unit.trimmed().isEmpty()
                         ? result.trimmed()
                         : result.trimmed() + QLatin1Char(' ') + unit.trimmed();
    SetValue(std::clamp(value, m_dMinValue, m_dMaxValue));
}

void CMeter::ShowNothing() {
    if (m_dMinValue != 0.0 || m_dMaxValue != 1000.0)
        SetRange(0.0, 1000.0);
    m_nValueDecimals = 1;
    m_strValueText.clear();
    SetValue(0.0);
}

void CMeter::SetCaption(const QString& caption) {
    m_strCaption = caption;
    update();
}

void CMeter::Rebuild() {
    m_face = QPixmap();
    update();
}

int CMeter::Radius() const {
    return std::max(width(), height()) * 9 / 21;
}

QPoint CMeter::Centre() const {
    return {width() / 2, height() / 2 + Radius() / 10};
}

double CMeter::AngleOf(double value) const {
    const double sweep = m_nStartAngleDeg + 360 - m_nEndAngleDeg;
    const double span = m_dMaxValue - m_dMinValue;
    if (span == 0.0)
        return m_nStartAngleDeg;
    return m_nStartAngleDeg - sweep * (value - m_dMinValue) / span;
}

double CMeter::NeedleAngle() const {
    double a = AngleOf(m_dCurrentValue);
    const double low = m_nEndAngleDeg - 360;
    const double high = m_nStartAngleDeg;
    if (std::isnan(a))
        a = high;
    return std::clamp(a, std::min(low, high), std::max(low, high));
}

QString CMeter::ValueText() const {
    if (!m_strValueText.isEmpty())
        return m_strValueText;
    return QString::asprintf("%.*lf", m_nValueDecimals, m_dCurrentValue);
}

void CMeter::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Rebuild();
}

void CMeter::paintEvent(QPaintEvent*) {
    if (width() <= 0 || height() <= 0)
        return;
    const qreal ratio = devicePixelRatioF();
    // A face drawn for another size is stale (a hidden control gets its resize event late).
    if (!m_face.isNull() && m_face.deviceIndependentSize().toSize() != size())
        m_face = QPixmap();
    if (m_face.isNull()) {
        m_face = QPixmap(size() * ratio);
        m_face.setDevicePixelRatio(ratio);
        m_face.fill(Qt::transparent);
        QPainter facePainter(&m_face);
        facePainter.setRenderHint(QPainter::Antialiasing);
        facePainter.setRenderHint(QPainter::TextAntialiasing);
        DrawFace(facePainter);
        ++m_nFaceBuilds;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_face);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    DrawNeedle(painter);
    DrawHub(painter);
    DrawTexts(painter);
}

void CMeter::DrawFace(QPainter& painter) {
    const int r = Radius();
    const QPointF c = Centre();
    m_nHubSize = std::max(4, r / 6);
    if (r < 4)
        return;

    // Bezel: a metal ring lit from the upper left.
    QConicalGradient metal(c, 135);
    metal.setColorAt(0.0, QColor(0xF2, 0xF4, 0xF7));
    metal.setColorAt(0.25, QColor(0x8A, 0x93, 0x9E));
    metal.setColorAt(0.5, QColor(0x4A, 0x52, 0x5C));
    metal.setColorAt(0.75, QColor(0x9A, 0xA3, 0xAE));
    metal.setColorAt(1.0, QColor(0xF2, 0xF4, 0xF7));
    painter.setPen(QPen(QColor(0x30, 0x36, 0x3E), 1));
    painter.setBrush(metal);
    painter.drawEllipse(c, r, r);

    // Dial: dark, a little lighter in the middle.
    const double dial = r * kBezelInner;
    QRadialGradient face(c, dial, c - QPointF(0, dial * 0.3));
    face.setColorAt(0.0, QColor(0x3A, 0x45, 0x54));
    face.setColorAt(0.85, QColor(0x1A, 0x20, 0x29));
    face.setColorAt(1.0, QColor(0x10, 0x14, 0x1A));
    painter.setPen(QPen(QColor(0x0B, 0x0E, 0x12), 1.5));
    painter.setBrush(face);
    painter.drawEllipse(c, dial, dial);

    const double start = m_nStartAngleDeg;
    const double sweep = m_nStartAngleDeg + 360 - m_nEndAngleDeg; // clockwise, degrees

    // Colour bands along the scale.
    if (m_nDrawFlag) {
        const double mid = r * (kBandOuter + kBandInner) / 2;
        const double thick = r * (kBandOuter - kBandInner);
        const QRectF arc(c.x() - mid, c.y() - mid, 2 * mid, 2 * mid);
        for (int i = 0; i < kBandCount; ++i) {
            QColor color = FromColorRef(m_colorBands[kBandOrder[i]]);
            color.setAlpha(230);
            painter.setPen(QPen(color, thick, Qt::SolidLine, Qt::FlatCap));
            painter.setBrush(Qt::NoBrush);
            const double from = start - sweep * i / kBandCount;
            painter.drawArc(arc, int(std::lround(from * 16)),
                            -int(std::lround(sweep / kBandCount * 16)));
        }
    }

    // The scale arc along the inner edge of the bands.
    const double scale = r * kBandInner;
    painter.setPen(QPen(kDialText, std::max(1.0, r / 90.0)));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(c.x() - scale, c.y() - scale, 2 * scale, 2 * scale),
                    int(std::lround(start * 16)), -int(std::lround(sweep * 16)));

    // Ticks: major ones at each numbered step, minor ones between them.
    const int majors = std::max(1, m_nTicks);
    const int minors = std::max(1, m_nSubTicks);
    const double majorPen = std::max(1.5, r / 40.0);
    const double minorPen = std::max(1.0, r / 110.0);
    for (int i = 0; i <= majors * minors; ++i) {
        const double a = start - sweep * i / (majors * minors);
        const bool major = i % minors == 0;
        painter.setPen(QPen(kDialText, major ? majorPen : minorPen, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(Polar(c, a, scale), Polar(c, a, r * (major ? kMajorInner : kMinorInner)));
    }

    // Scale numbers.
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(std::max(6, r / 9));
    painter.setFont(font);
    painter.setPen(kDialText);
    const double step = (m_dMaxValue - m_dMinValue) / majors;
    for (int i = 0; i <= majors; ++i) {
        const double a = start - sweep * i / majors;
        const double value = m_dMinValue + step * i;
        const QString text = QString::number(value, 'g', 6);
        const QPointF at = Polar(c, a, r * kNumbers);
        const QRectF box(at.x() - r * 0.3, at.y() - r * 0.1, r * 0.6, r * 0.2);
        painter.drawText(box, Qt::AlignCenter, text);
    }
}

void CMeter::DrawNeedle(QPainter& painter) {
    const int r = Radius();
    if (r < 4)
        return;
    const QPointF c = Centre();
    const double a = NeedleAngle();
    const double halfWidth = std::max(2.0, r / 22.0);

    const QPointF tip = Polar(c, a, r * kNeedleTip);
    const QPointF tail = Polar(c, a + 180, r * 0.18);
    const QPointF left = Polar(c, a + 90, halfWidth);
    const QPointF right = Polar(c, a - 90, halfWidth);

    const QColor color = FromColorRef(m_colorNeedle);
    painter.setPen(QPen(color, 1));
    painter.setBrush(color);
    painter.drawPolygon(QPolygonF({tip, left, tail, right}));

    // The long edges, lit from above: which one is in shadow depends on the needle's side.
    const QColor dark = color.darker(220);
    const QColor light = color.lighter(130);
    const bool leftDark = a > 90;
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(leftDark ? dark : light, leftDark ? 2 : 1));
    painter.drawLine(left, tip);
    painter.setPen(QPen(leftDark ? light : dark, leftDark ? 1 : 2));
    painter.drawLine(right, tip);
}

void CMeter::DrawHub(QPainter& painter) {
    const int s = m_nHubSize;
    if (s <= 0)
        return;
    const QPointF c = Centre();
    // Concentric circles from the rim inwards, darker towards the rim.
    for (int i = s * 3 / 4; i >= 0; --i) {
        const int level = int(std::lround(255.0 - i * 255.0 * 4.0 / (3.0 * s)));
        const QColor grey(std::clamp(level, 0, 255), std::clamp(level, 0, 255),
                          std::clamp(level, 0, 255));
        painter.setPen(QPen(grey, 1));
        painter.setBrush(grey);
        painter.drawEllipse(c, i, i);
    }
}

void CMeter::DrawTexts(QPainter& painter) {
    const int r = Radius();
    if (r < 4)
        return;
    const QPointF c = Centre();
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(std::max(6, r / 5));
    font.setWeight(QFont::Normal);
    painter.setFont(font);
    painter.setBrush(Qt::NoBrush);

    // The texts stand in the open part of the dial below the ends of the scale.
    const double top = c.y() + r * 0.47;
    const QRectF caption(c.x() - r, top, 2.0 * r, r / 5.0 + 4);
    const QRectF value(c.x() - r, top + r / 5.0, 2.0 * r, r / 5.0 + 4);
    painter.setPen(kDialText);
    // A caption wider than the space between the ends of the scale is drawn smaller.
    const int room = r * 9 / 10;
    const int wide = painter.fontMetrics().horizontalAdvance(m_strCaption);
    if (wide > room) {
        QFont small = font;
        small.setPixelSize(std::max(6, font.pixelSize() * room / wide));
        painter.setFont(small);
    }
    painter.drawText(caption, Qt::AlignHCenter | Qt::AlignTop, m_strCaption);
    painter.setFont(font);
    painter.setPen(kValueText);
    painter.drawText(value, Qt::AlignHCenter | Qt::AlignTop, ValueText());
}
