#pragma once
// Where the history list reads its records from: the local brtx.db (and pic/) or the central
// store. The page, brtx-cli and the exports only talk to this interface, so they do not know
// which store they read.
//
// Every call may run on a worker thread; an implementation opens what it needs itself and is
// used by one thread at a time. Failures return false and leave a readable text in *error.
#include "history/core/HistoryFilter.h"
#include "history/core/HistoryQuery.h"
#include "history/core/Stats.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <functional>
#include <memory>

// One row of the list: the shown cells in column order, and what identifies the record.
struct HistoryRow {
    QStringList cells;
    QString path;      // the stored picture Path ("" when none)
    QString machineNo; // the record's key (Machine_NO, Record_No, Date_Date, Time_Time)
    QString recordNo;
    QString date;
    QString time;
    int desks = 0; // central store: the desks holding an identical copy (0: a local record)
    // The record's calibration state as the list's last column shows it (CCalibrationStates);
    // "" from a store that does not hold the instruments' logs (shown as unknown).
    QString calibration;
};

class IRecordSource {
public:
    virtual ~IRecordSource() = default;

    // The device numbers that have records or field titles, sorted.
    virtual bool DeviceList(QStringList& devices, QString* error) = 0;
    // The column layout for the filter's device, or for every device (the fixed columns, the
    // union of the devices' field titles in first-seen order, GPS).
    virtual bool Columns(const HistoryFilter& filter, QVector<HistoryColumn>& columns,
                         QString* error) = 0;
    // The number of rows the filter gives.
    virtual bool Count(const HistoryFilter& filter, qint64& count, QString* error) = 0;
    // Rows offset .. offset + limit - 1 of the filtered, sorted list, cells in Columns() order.
    virtual bool Fetch(const HistoryFilter& filter, const HistorySort& sort, qint64 offset,
                       int limit, QVector<HistoryRow>& rows, QString* error) = 0;
    // Every row of the filtered, sorted list in order, handed to sink one at a time as it is
    // read (memory stays flat); sink returns false to stop early (Stream then returns true).
    virtual bool Stream(const HistoryFilter& filter, const HistorySort& sort,
                        const std::function<bool(const HistoryRow&)>& sink, QString* error) = 0;
    // Statistics over the filter's records (see Stats.h), computed by the store; *noColumn is
    // set when field:HEADING names no column. A store that cannot count says so and fails.
    virtual bool Stats(const HistoryFilter& filter, const StatsRequest& request,
                       QVector<StatsRow>& rows, QString* error, bool* noColumn = nullptr) {
        (void)filter;
        (void)request;
        rows.clear();
        if (noColumn)
            *noColumn = false;
        if (error)
            *error = QStringLiteral("statistics of this store are not available yet");
        return false;
    }
    // The distribution of one unit's results over the filter's records (see StatsBins): the
    // units and their highest results by one count, then the chosen unit's bins by another.
    // A store may do both in one pass; the bins are the same.
    virtual bool ResultBins(const HistoryFilter& filter, const CLimits& limits,
                            const QString& wanted, StatsBins& out, QString* error) {
        out = StatsBins();
        StatsRequest units;
        units.by = StatsBy::Mode;
        units.limits = limits;
        units.medians = false; // the counts and the highest result only
        QVector<StatsRow> rows;
        if (!Stats(filter, units, rows, error))
            return false;
        QMap<QString, QPair<qint64, double>> seen; // unit -> results, highest
        for (const StatsRow& row : rows)
            StatsNoteUnit(seen, row.unit, row.results, row.max);
        if (!StatsChooseUnit(seen, limits, wanted, out))
            return true;
        StatsRequest bins = units;
        bins.by = StatsBy::Bin;
        bins.binWidth = out.width;
        HistoryFilter narrowed = filter;
        narrowed.unit = out.unit;
        if (!Stats(narrowed, bins, rows, error))
            return false;
        for (const StatsRow& row : rows) {
            out.tests += row.tests;
            bool ok = false;
            const qint64 bin = row.group.toLongLong(&ok);
            if (ok)
                out.bins[bin] += row.tests;
        }
        return true;
    }
    // The bytes of a row's photograph; empty when it has none or it cannot be read.
    virtual QByteArray Picture(const HistoryRow& row) = 0;
    // From now on a long call asks stop() now and then and, when it returns true, ends early
    // and returns false (an answer nobody waits for any more need not be finished). An empty
    // function: calls always run to their end.
    virtual void SetInterrupt(std::function<bool()> stop) { (void)stop; }
    // From any thread: the call running now ends early (within a second) and every later one
    // fails at once; the source is done with. For sources whose calls wait on a server.
    virtual void Abort() {}
    // A source of the same records for another thread (an object is used by one thread at a
    // time).
    virtual std::shared_ptr<IRecordSource> Another() const = 0;
};
