#pragma once
// What the history list shows: the device (or every device), the date range, the search text,
// the test mode, the result range and the order. Shared by the page, brtx-cli, the exports and
// every record source (the local database and the central store).
#include <QString>

#include <optional>

enum class TestModeFilter { Any, Auto, Manual, Refuse, Discontinued };

struct HistoryFilter {
    QString device;                                   // the device number; ignored when allDevices
    bool allDevices = false;                          // rows of every device
    QString startDate = QStringLiteral("0000-01-01"); // "yyyy-MM-dd", included
    QString endDate = QStringLiteral("9999-12-31");   // "yyyy-MM-dd", included
    QString search; // case-insensitive substring over every shown column; empty: none
    TestModeFilter mode = TestModeFilter::Any;
    // Test_Result taken as a number; a row whose result is not a number passes only when
    // both bounds are empty.
    std::optional<double> minResult;
    std::optional<double> maxResult;
    // 1 or 2: only results at or over that legal limit of their unit ([Global] Limits of the
    // record source's texts); 0: any.
    int overLimit = 0;

    // Narrower choices a chart's bar adds (the statistics tab); the list's own filter row
    // never sets them.
    QString unit;        // Test_Unit, trimmed, case ignored; empty: any
    double binWidth = 0; // > 0: only results in bin number `bin` of this width (see Stats.h)
    qint64 bin = 0;
    int hour = -1;                     // 0..23: only tests in that hour of the day
    int weekday = 0;                   // 1 Monday .. 7 Sunday: only tests on that weekday
    QString fieldHeading;              // with fieldValue: only rows whose column of that heading
    std::optional<QString> fieldValue; // shows exactly this text (a missing value reads "")
    bool HasChartChoice() const {
        return !unit.isEmpty() || binWidth > 0 || hour >= 0 || weekday > 0 || fieldValue;
    }
};

struct HistorySort {
    int column = -1; // index into the list's columns; -1: the default order (device, then
                     // record number as a number, both descending)
    bool descending = false;
    bool IsDefault() const { return column < 0; }
};
