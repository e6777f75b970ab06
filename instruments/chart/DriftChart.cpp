#include "instruments/chart/DriftChart.h"

#include "base/Language.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QFile>
#include <QFileInfo>
#include <QLineSeries>
#include <QPainter>
#include <QSaveFile>
#include <QScatterSeries>
#include <QSvgGenerator>
#include <QValueAxis>

#include <algorithm>
#include <memory>

namespace DriftChart {

namespace {

// A text of Language.ini, or the English fallback when the file lacks the key.
QString Text(const CLanguage& texts, const char* key, const char* fallback) {
    const QString t = texts.GetText(QLatin1String(key));
    return t.isEmpty() ? QLatin1String(fallback) : t;
}

} // namespace

QChart* Make(const InstrumentRegister::Drift& drift, const QString& device,
             const CLanguage& texts) {
    auto* chart = new QChart;
    chart->setTitle(Text(texts, "InstDriftTitle", "Accuracy checks against the target") +
                    QStringLiteral(" — ") + device);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundRoundness(0);
    if (drift.points.isEmpty()) {
        chart->setTitle(chart->title() + QStringLiteral("\n") +
                        Text(texts, "InstDriftNone", "No accuracy checks"));
        return chart;
    }
    auto* low = new QLineSeries;
    auto* high = new QLineSeries;
    auto* target = new QLineSeries;
    auto* pass = new QScatterSeries;
    auto* fail = new QScatterSeries;
    double lo = drift.points.first().low, hi = drift.points.first().high;
    for (const InstrumentRegister::DriftPoint& p : drift.points) {
        const qreal x = qreal(p.at.toMSecsSinceEpoch());
        low->append(x, p.low);
        high->append(x, p.high);
        target->append(x, p.target);
        (p.pass ? pass : fail)->append(x, p.value);
        lo = std::min({lo, p.low, p.value});
        hi = std::max({hi, p.high, p.value});
    }
    // One check in the chart still shows its band as a strip of some width.
    if (drift.points.size() == 1 || drift.points.first().at == drift.points.last().at) {
        const InstrumentRegister::DriftPoint& p = drift.points.first();
        for (QLineSeries* s : {low, high, target})
            s->clear();
        const qreal from = qreal(p.at.addDays(-1).toMSecsSinceEpoch());
        const qreal to = qreal(p.at.addDays(1).toMSecsSinceEpoch());
        low->append({QPointF(from, p.low), QPointF(to, p.low)});
        high->append({QPointF(from, p.high), QPointF(to, p.high)});
        target->append({QPointF(from, p.target), QPointF(to, p.target)});
    }
    auto* band = new QAreaSeries(high, low);
    // The area series draws between its two lines but does not own them.
    high->setParent(band);
    low->setParent(band);
    band->setName(Text(texts, "InstDriftBand", "Tolerance band"));
    band->setObjectName(QLatin1String(kBand));
    band->setColor(QColor(0x1e, 0x6f, 0xb8, 50));
    band->setBorderColor(QColor(0x1e, 0x6f, 0xb8, 120));
    target->setName(Text(texts, "InstDriftTarget", "Target"));
    target->setObjectName(QLatin1String(kTarget));
    target->setPen(QPen(QColor(0x0d, 0x3b, 0x66), 1.5, Qt::DashLine));
    pass->setName(Text(texts, "InstDriftPass", "Measured (pass)"));
    pass->setObjectName(QLatin1String(kPass));
    pass->setColor(QColor(0x1f, 0x9d, 0x55));
    pass->setMarkerSize(9);
    fail->setName(Text(texts, "InstDriftFail", "Measured (fail)"));
    fail->setObjectName(QLatin1String(kFail));
    fail->setColor(QColor(0xc0, 0x2b, 0x33));
    fail->setMarkerSize(9);
    chart->addSeries(band);
    chart->addSeries(target);
    chart->addSeries(pass);
    chart->addSeries(fail);

    auto* x = new QDateTimeAxis;
    x->setFormat(QStringLiteral("yyyy-MM-dd"));
    x->setTitleText(Text(texts, "InstDriftDate", "Date"));
    auto* y = new QValueAxis;
    const double margin = std::max((hi - lo) * 0.15, 0.001);
    y->setRange(lo - margin, hi + margin);
    y->setLabelFormat(QStringLiteral("%.3f"));
    y->setTitleText(drift.unit);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (QAbstractSeries* s : chart->series()) {
        s->attachAxis(x);
        s->attachAxis(y);
    }
    const QDateTime first = drift.points.first().at, last = drift.points.last().at;
    x->setRange(first.addDays(-2), (last > first ? last : first).addDays(2));
    x->setTickCount(6);
    return chart;
}

QString Save(const InstrumentRegister::Drift& drift, const QString& device, const CLanguage& texts,
             const QString& path, const QSize& size) {
    const bool svg = path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive);
    QChartView view(Make(drift, device, texts)); // the view owns the chart
    QChart* chart = view.chart();
    view.setRenderHint(QPainter::Antialiasing);
    view.setFrameShape(QFrame::NoFrame);
    view.resize(size);
    chart->resize(size);
    view.scene()->setSceneRect(QRectF(QPointF(0, 0), size));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    bool drawn = false;
    if (svg) {
        QSvgGenerator generator;
        generator.setOutputDevice(&file);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setTitle(chart->title());
        QPainter painter;
        if (painter.begin(&generator)) {
            view.render(&painter, QRectF(QPointF(0, 0), size), QRect(QPoint(0, 0), size));
            drawn = painter.end();
        }
    } else {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        view.render(&painter, QRectF(QPointF(0, 0), size), QRect(QPoint(0, 0), size));
        painter.end();
        drawn = image.save(&file, "PNG");
    }
    if (!drawn) {
        file.cancelWriting();
        return QStringLiteral("cannot draw the chart into %1").arg(path);
    }
    if (!file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return QString();
}

} // namespace DriftChart
