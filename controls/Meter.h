#pragma once
// A round dial gauge: a scale swept over 270 degrees with major and minor ticks, numbers and
// colour bands, a needle at the current value, a shaded hub, and below the centre a caption
// and the value as text.
//
// The face (everything but the needle, the hub and the texts) is drawn once into a cached
// pixmap and reused until the control is resized or Rebuild() is called.
//
// Colours are given as 0x00BBGGRR values.
#include <QColor>
#include <QPixmap>
#include <QPointF>
#include <QString>
#include <QWidget>

class CLanguage;

class CMeter : public QWidget {
    Q_OBJECT
public:
    static constexpr int kBandCount = 5;

    // The caption is the text of "KelValue" in texts (nullptr: the program folder's
    // Language.ini).
    explicit CMeter(QWidget* parent = nullptr, const CLanguage* texts = nullptr);

    // Current value; the needle and the value text follow it.
    void SetValue(double value);
    double Value() const { return m_dCurrentValue; }

    void SetRange(double minimum, double maximum);
    double Minimum() const { return m_dMinValue; }
    double Maximum() const { return m_dMaxValue; }

    // Start and end angle of the scale in degrees, counter-clockwise from 3 o'clock; the scale
    // runs clockwise from start to end.
    void SetAngleRange(int startAngle, int endAngle);
    int StartAngle() const { return m_nStartAngleDeg; }
    int EndAngle() const { return m_nEndAngleDeg; }

    void SetTicks(int majorCount, int minorPerMajor);
    int MajorTicks() const { return m_nTicks; }
    int MinorTicks() const { return m_nSubTicks; }

    void SetDecimals(int decimals);
    int Decimals() const { return m_nValueDecimals; }

    // Needle colour, the colour its pen and brush are drawn with.
    void SetColorTick(unsigned int colorRef);
    unsigned int ColorTick() const { return m_colorNeedle; }

    // Drawing flag: when set, the colour bands are laid along the scale.
    void SetDrawFlag(int flag);
    int DrawFlag() const { return m_nDrawFlag; }

    void SetBandColor(int band, unsigned int colorRef);
    unsigned int BandColor(int band) const;

    // A stored test result and its unit: the scale follows the unit (full scale 2 for mg/L,
    // 400 for mg/100mL, 4 for g/L and per mille, 0.4 for %BAC, 1000 for any other unit), the
    // needle the value (pinned at the scale's end beyond it), the text reads "<result> <unit>".
    // A result that is not a number puts the needle at the minimum and shows an em dash.
    void ShowReading(const QString& result, const QString& unit);
    // Nothing selected: 0.0 on the usual scale.
    void ShowNothing();
    // The full scale and shown decimals for a unit.
    static double FullScale(const QString& unit, int* decimals = nullptr);

    void SetCaption(const QString& caption);
    QString Caption() const { return m_strCaption; }

    // Drops the cached face and redraws.
    void Rebuild();

    // Geometry of the current size: radius r = max(w, h) * 9 / 21, centre in the middle of
    // the control, r / 10 below it.
    int Radius() const;
    QPoint Centre() const;
    // The needle's angle in degrees for the current value (counter-clockwise measure), held
    // between end - 360 and start.
    double NeedleAngle() const;
    // The value as shown: "%.*lf" with the decimals, or the text a reading that is not a
    // number shows.
    QString ValueText() const;
    // Size of the hub kept with the face.
    int HubSize() const { return m_nHubSize; }
    // How many times the face was drawn (the cache is rebuilt on resize and Rebuild()).
    int FaceBuildCount() const { return m_nFaceBuilds; }
    bool HasCachedFace() const {
        return !m_face.isNull() && m_face.deviceIndependentSize().toSize() == size();
    }

    static QColor FromColorRef(unsigned int colorRef);

    QSize sizeHint() const override { return {200, 200}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void DrawFace(QPainter& painter);
    void DrawNeedle(QPainter& painter);
    void DrawHub(QPainter& painter);
    void DrawTexts(QPainter& painter);
    // The scale angle (degrees) of a value, without clamping.
    double AngleOf(double value) const;

    double m_dCurrentValue = 0.0;
    double m_dMaxValue = 1000.0;
    double m_dMinValue = 0.0;
    int m_nStartAngleDeg = 225;
    int m_nEndAngleDeg = 315;
    int m_nTicks = 10;
    int m_nSubTicks = 5;
    int m_nValueDecimals = 1;
    unsigned int m_colorNeedle = 0x000000FF;
    int m_nDrawFlag = 0;
    unsigned int m_colorBands[kBandCount] = {0x0000FFFF, 0x0000FF00, 0x000000FF, 0x0022B7FF,
                                             0x005D5CFF};
    QString m_strCaption;
    QString m_strValueText;

    QPixmap m_face;
    int m_nHubSize = 0;
    int m_nFaceBuilds = 0;
};
