#pragma once
// The history list read from the central store: the same device list, columns, filters,
// order, lazy fetching and photographs as the local database gives, from PostgreSQL.
// The connection opens on first use and stays open; one thread at a time uses the object.
#include "base/Language.h"
#include "central/PgConnection.h"
#include "history/core/RecordSource.h"

class CCentralRecordSource : public IRecordSource {
public:
    // conninfo empty: CentralUrl(). picRoot: where photographs are looked for first (empty: the
    // program's pic folder), only right inside its folder of the record's device; one not
    // found there is fetched from the server.
    // texts: the Language.ini of the headings and test-mode texts (and of CentralUrl).
    explicit CCentralRecordSource(const QString& conninfo = QString(),
                                  const QString& picRoot = QString(),
                                  CLanguage texts = CLanguage());

    bool DeviceList(QStringList& devices, QString* error) override;
    bool Columns(const HistoryFilter& filter, QVector<HistoryColumn>& columns,
                 QString* error) override;
    bool Count(const HistoryFilter& filter, qint64& count, QString* error) override;
    bool Fetch(const HistoryFilter& filter, const HistorySort& sort, qint64 offset, int limit,
               QVector<HistoryRow>& rows, QString* error) override;
    bool Stream(const HistoryFilter& filter, const HistorySort& sort,
                const std::function<bool(const HistoryRow&)>& sink, QString* error) override;
    QByteArray Picture(const HistoryRow& row) override;
    // Statistics over the filter's records (see Stats.h), counted by the server as the local
    // database counts them.
    bool Stats(const HistoryFilter& filter, const StatsRequest& request, QVector<StatsRow>& rows,
               QString* error, bool* noColumn = nullptr) override;
    void SetInterrupt(std::function<bool()> stop) override { m_db.SetInterrupt(std::move(stop)); }
    void Abort() override { m_db.Abort(); }
    // Time-outs of the connection (default: 10 s to connect, 30 s a statement).
    void SetTimeouts(int connectSeconds, int statementMs) {
        m_db.SetTimeouts(connectSeconds, statementMs);
    }
    std::shared_ptr<IRecordSource> Another() const override {
        return std::make_shared<CCentralRecordSource>(m_conninfo, m_picRoot, m_texts);
    }

private:
    struct Layout; // the columns of a filter and the SQL that gives their cells
    bool Connect(QString* error);
    bool MakeLayout(const HistoryFilter& filter, Layout& layout, QString* error);
    // byKey: the one-copy term as a look-up of later copies, so that a statement over key
    // columns only reads no more than the key index.
    QString Where(const HistoryFilter& filter, const Layout& layout,
                  QVector<Central::PgParam>& params, bool cellsSelected = true,
                  bool byKey = false) const;
    QString OrderBy(const HistorySort& sort, const Layout& layout) const;
    bool SortsByKey(const HistorySort& sort, const Layout& layout) const;
    HistoryRow MakeRow(const Central::PgResult& r, int i, int cellCount) const;

    CLanguage m_texts;
    QString m_conninfo;
    QString m_picRoot;
    QString m_confProblem; // why central.conf was refused
    Central::PgConnection m_db;
    QString m_collate;      // " COLLATE ..." for language order and case folding
    bool m_empty = false;   // the server has no central tables yet: every list is empty
    bool m_flagged = false; // the server marks later copies (table version 4 on)
};
