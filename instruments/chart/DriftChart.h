#pragma once
// The drift chart of an instrument: each accuracy-check value against its target, with the
// tolerance band, over time. The Instruments page shows it and brtx-cli instrument chart
// writes it; both make it here, and write it as PNG or SVG here.
#include "instruments/Register.h"

#include <QSize>
#include <QString>

class CLanguage;
class QChart;

namespace DriftChart {

// Series names, so that tests and readers find them.
inline const char* const kBand = "band";     // area between the band's low and high edges
inline const char* const kTarget = "target"; // line through the targets
inline const char* const kPass = "pass";     // values of passing checks
inline const char* const kFail = "fail";     // values of failing checks

// A new chart (the caller owns it) of the drift; titled with the device number. An empty
// drift gives a chart saying there are no accuracy checks.
QChart* Make(const InstrumentRegister::Drift& drift, const QString& device, const CLanguage& texts);

// Writes the chart of the drift (as Make draws it) as a picture of the given size: SVG when
// path ends in .svg, else PNG. The file is written under a temporary name and renamed when
// whole. "" on success, else why not. Needs a QApplication (the chart is drawn by a view).
QString Save(const InstrumentRegister::Drift& drift, const QString& device, const CLanguage& texts,
             const QString& path, const QSize& size = QSize(1000, 600));

} // namespace DriftChart
