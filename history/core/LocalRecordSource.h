#pragma once
// The history list read from the local brtx.db and the pictures under pic/.
//
// Every call opens the database read-only (it never creates, writes or converts the file),
// runs one statement and closes it again, so each answer is one consistent snapshot even
// while a download writes into the file. Filtering, sorting and paging run in SQLite with
// bound parameters; the search text, the device number and the shown test-mode texts never
// become part of a statement's text.
//
// Sort keys: Record No and Test Result as numbers (a result that is not a number sorts
// before every number), Date and Time as stored ("yyyy-MM-dd", "HH:mm:ss": chronological),
// every other column by the user's locale collation. Ties keep the order the rows were
// stored in, so paging never shows a row twice. Without a sort: device number, then record
// number as a number, both descending (newest first; a record number that is not a number
// comes after the numbers).
#include "base/Language.h"
#include "history/core/RecordSource.h"
#include "history/core/Stats.h"

class CLocalRecordSource : public IRecordSource {
public:
    // dbPath empty: the program's database (GetDatabasePath()). texts: the Language.ini of the
    // headings and test-mode texts.
    explicit CLocalRecordSource(const QString& dbPath = QString(), CLanguage texts = CLanguage());
    ~CLocalRecordSource() override;

    QString DatabasePath() const;

    bool DeviceList(QStringList& devices, QString* error) override;
    bool Columns(const HistoryFilter& filter, QVector<HistoryColumn>& columns,
                 QString* error) override;
    bool Count(const HistoryFilter& filter, qint64& count, QString* error) override;
    bool Fetch(const HistoryFilter& filter, const HistorySort& sort, qint64 offset, int limit,
               QVector<HistoryRow>& rows, QString* error) override;
    bool Stream(const HistoryFilter& filter, const HistorySort& sort,
                const std::function<bool(const HistoryRow&)>& sink, QString* error) override;
    QByteArray Picture(const HistoryRow& row) override;
    // Statistics over the filter's records (see Stats.h), groups and units in order, read in
    // one pass in stored order and added up per group and unit (with medians, each group's
    // results are held). *noColumn is set when field:HEADING names no column of the list.
    bool Stats(const HistoryFilter& filter, const StatsRequest& request, QVector<StatsRow>& rows,
               QString* error, bool* noColumn = nullptr) override;
    // In one pass: each unit's count of every distinct result, binned once its highest result
    // gives the width.
    bool ResultBins(const HistoryFilter& filter, const CLimits& limits, const QString& wanted,
                    StatsBins& out, QString* error) override;
    void SetInterrupt(std::function<bool()> stop) override;
    std::shared_ptr<IRecordSource> Another() const override {
        return std::make_shared<CLocalRecordSource>(m_dbPath, m_texts);
    }

private:
    struct Layout;
    struct Statement;
    bool LoadLayout(const HistoryFilter& filter, Layout& layout, QString* error);
    bool BuildSelect(const HistoryFilter& filter, const HistorySort& sort, bool reversed,
                     Statement& st, Layout& layout, QString* error);
    bool Run(const HistoryFilter& filter, const HistorySort& sort, qint64 offset, qint64 limit,
             bool reversed, const std::function<bool(const HistoryRow&)>& sink, QString* error);

    QString m_dbPath;
    CLanguage m_texts;
    std::function<bool()> m_interrupt;
    // The last count and what it was for: Fetch reads far pages from the end.
    QString m_countKey;
    qint64 m_count = -1;
};
