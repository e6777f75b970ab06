// Value meter: needle rule, texts, geometry, cached face, and what actually lands on screen.
#include "common/TestSupport.h"

#include "base/Language.h"
#include "controls/Meter.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>

namespace {

QImage Render(CMeter& meter) {
    QImage image(meter.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    meter.render(&image);
    // Keep a picture of the rendering when asked to (for looking at it).
    const QByteArray dir = qgetenv("BRTX_SHOT_DIR");
    if (!dir.isEmpty())
        image.save(QDir(QString::fromLocal8Bit(dir))
                       .filePath(QStringLiteral("meter-%1x%2-%3.png")
                                     .arg(meter.width())
                                     .arg(meter.height())
                                     .arg(meter.Value())));
    return image;
}

// True when the pixel is close to the colour (the needle is drawn antialiased).
bool Near(const QColor& a, const QColor& b, int tolerance = 40) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QPoint At(const CMeter& meter, double angleDeg, double partOfR) {
    const double a = angleDeg * 3.14159265358979323846 / 180.0;
    const double d = meter.Radius() * partOfR;
    return QPoint(int(std::lround(meter.Centre().x() + d * std::cos(a))),
                  int(std::lround(meter.Centre().y() - d * std::sin(a))));
}

} // namespace

TEST(Meter, NeedleAngleFollowsValueWithinTheScale) {
    brtxtest::TempHome home;
    CMeter meter;
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 225.0); // initial value 0 = minimum

    meter.SetValue(1000.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), -45.0);
    meter.SetValue(500.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 90.0);
    meter.SetValue(250.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 157.5);

    // Out of range: held at the ends of the scale.
    meter.SetValue(-5.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 225.0);
    meter.SetValue(1e9);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), -45.0);
    meter.SetValue(std::nan(""));
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 225.0);

    // Another range and scale.
    meter.SetRange(-50.0, 50.0);
    meter.SetAngleRange(180, 360);
    meter.SetValue(0.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 90.0);
    meter.SetValue(-100.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 180.0);
    meter.SetValue(100.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 0.0);

    // An empty range does not divide by zero.
    meter.SetRange(5.0, 5.0);
    EXPECT_DOUBLE_EQ(meter.NeedleAngle(), 180.0);
}

TEST(Meter, InitialPropertiesAndTexts) {
    brtxtest::TempHome home;
    CMeter meter;
    EXPECT_EQ(meter.Caption(), QStringLiteral("BrAC")); // the text of "KelValue"
    EXPECT_EQ(meter.ValueText(), QStringLiteral("0.0"));
    EXPECT_EQ(meter.Minimum(), 0.0);
    EXPECT_EQ(meter.Maximum(), 1000.0);
    EXPECT_EQ(meter.StartAngle(), 225);
    EXPECT_EQ(meter.EndAngle(), 315);
    EXPECT_EQ(meter.MajorTicks(), 10);
    EXPECT_EQ(meter.MinorTicks(), 5);
    EXPECT_EQ(meter.ColorTick(), 0x000000FFu);
    EXPECT_EQ(meter.DrawFlag(), 0);
    EXPECT_EQ(meter.BandColor(0), 0x0000FFFFu);
    EXPECT_EQ(meter.BandColor(4), 0x005D5CFFu);
    EXPECT_EQ(meter.BandColor(5), 0u);

    meter.SetDecimals(3);
    meter.SetValue(12.34567);
    EXPECT_EQ(meter.ValueText(), QStringLiteral("12.346"));
    meter.SetDecimals(0);
    EXPECT_EQ(meter.ValueText(), QStringLiteral("12"));

    // 0x00BBGGRR
    EXPECT_EQ(CMeter::FromColorRef(0x00EBFFFF), QColor(255, 255, 235));
    EXPECT_EQ(CMeter::FromColorRef(0x0022B7FF), QColor(255, 183, 34));
}

TEST(Meter, GeometryAndCachedFace) {
    brtxtest::TempHome home;
    CMeter meter;
    meter.resize(210, 140);
    EXPECT_EQ(meter.Radius(), 90); // max(210, 140) * 9 / 21
    EXPECT_EQ(meter.Centre(), QPoint(105, 79));

    Render(meter);
    EXPECT_EQ(meter.FaceBuildCount(), 1);
    EXPECT_TRUE(meter.HasCachedFace());
    meter.SetValue(300.0); // the needle moves over the same face
    Render(meter);
    EXPECT_EQ(meter.FaceBuildCount(), 1);

    meter.resize(300, 300);
    EXPECT_FALSE(meter.HasCachedFace());
    EXPECT_EQ(meter.Radius(), 128);
    const QImage big = Render(meter);
    EXPECT_EQ(meter.FaceBuildCount(), 2);
    // The face was drawn at the new radius: the bezel reaches near the new edge.
    EXPECT_NE(big.pixelColor(At(meter, 90, 0.98)), QColor(Qt::white));

    meter.Rebuild();
    Render(meter);
    EXPECT_EQ(meter.FaceBuildCount(), 3);
}

TEST(Meter, RenderingShowsNeedleHubAndBands) {
    brtxtest::TempHome home;
    CMeter meter;
    meter.resize(240, 240);
    meter.SetColorTick(0x00EBFFFF);
    meter.SetDrawFlag(1);
    const QColor needle = CMeter::FromColorRef(0x00EBFFFF);

    QImage image = Render(meter);
    // Value 0: the needle points to 225 degrees (lower left), not to the right.
    EXPECT_TRUE(Near(image.pixelColor(At(meter, 225, 0.3)), needle));
    EXPECT_FALSE(Near(image.pixelColor(At(meter, -45, 0.3)), needle));
    // Hub: white in the middle.
    EXPECT_TRUE(Near(image.pixelColor(meter.Centre()), QColor(255, 255, 255), 40));
    // Bands: the low end is green, the high end red (with the initial colours).
    const QColor low = image.pixelColor(At(meter, 220, 0.89));
    const QColor high = image.pixelColor(At(meter, -40, 0.89));
    EXPECT_GT(low.green(), 150);
    EXPECT_LT(low.red(), 80);
    EXPECT_GT(high.red(), 150);
    EXPECT_LT(high.green(), 80);

    meter.SetValue(1000.0);
    image = Render(meter);
    EXPECT_TRUE(Near(image.pixelColor(At(meter, -45, 0.3)), needle));
    EXPECT_FALSE(Near(image.pixelColor(At(meter, 225, 0.3)), needle));

    // Without the drawing flag, no colour bands.
    meter.SetDrawFlag(0);
    meter.Rebuild();
    image = Render(meter);
    const QColor plain = image.pixelColor(At(meter, 220, 0.89));
    EXPECT_LT(plain.green(), 120);
}

TEST(Meter, ReadingFollowsTheUnit) {
    CMeter meter;
    meter.resize(190, 190);
    struct Case {
        const char* result;
        const char* unit;
        double full;
        double value;
        QString text;
    };
    const Case cases[] = {
        {"0.42", "mg/L", 2.0, 0.42, "0.42 mg/L"},
        {"80", "mg/100mL", 400.0, 80.0, "80 mg/100mL"},
        {"0.8", "g/L", 4.0, 0.8, "0.8 g/L"},
        {"1.1", "\u2030", 4.0, 1.1, QString::fromUtf8("1.1 \u2030")},
        {"0.08", "%BAC", 0.4, 0.08, "0.08 %BAC"},
        {"9", "mg/L", 2.0, 2.0, "9 mg/L"},                   // off the scale: pinned at its end
        {"-1", "mg/L", 2.0, 0.0, "-1 mg/L"},                 // below it: at its start
        {"", "mg/L", 2.0, 0.0, QString::fromUtf8("\u2014")}, // refused: no number
        {"12", "ppm", 1000.0, 12.0, "12 ppm"},
    };
    for (const Case& c : cases) {
        meter.ShowReading(QString::fromUtf8(c.result), QString::fromUtf8(c.unit));
        EXPECT_DOUBLE_EQ(meter.Maximum(), c.full) << c.unit;
        EXPECT_DOUBLE_EQ(meter.Value(), c.value) << c.result;
        EXPECT_EQ(meter.ValueText(), c.text);
    }
    // The face is drawn again only when the scale changes.
    meter.ShowReading("0.1", "mg/L");
    Render(meter);
    const int faces = meter.FaceBuildCount();
    meter.ShowReading("0.3", "mg/L");
    Render(meter);
    EXPECT_EQ(meter.FaceBuildCount(), faces);
    meter.ShowNothing();
    EXPECT_EQ(meter.ValueText(), "0.0");
    EXPECT_DOUBLE_EQ(meter.Maximum(), 1000.0);
}
