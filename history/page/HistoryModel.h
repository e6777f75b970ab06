#pragma once
// The table model behind the history page's record list. It holds only the rows around what
// the list shows: a block of rows that comes into view and is not held yet is asked for with
// NeedBlock(); the page reads it from the record source on its worker thread and hands it back
// with SetBlock(). Blocks far from the view are dropped again, so memory stays small however
// many rows the query gives. The row header shows each held record's seal mark, checked when
// the row is first shown.
#include "base/Language.h"
#include "history/core/Limits.h"
#include "history/core/RecordSource.h"
#include "history/core/SealMarks.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class CHistoryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kBlockRows = 200;
    static constexpr int kMaxBlocks = 40; // 8,000 rows held at most

    explicit CHistoryModel(QObject* parent = nullptr, CLanguage texts = CLanguage());
    ~CHistoryModel() override; // waits for a seal check still running

    // New columns; the rows are dropped.
    void SetHeadings(const QStringList& headings);
    // A new result: its row count and its first rows (the first block or less). A new
    // generation starts: blocks of an earlier result that still arrive are ignored.
    void SetResult(qint64 count, const QVector<HistoryRow>& firstRows);
    void ClearRows();
    // The result's full row count, once it is known (the rows held stay).
    void SetCount(qint64 count);
    // The rows of one block of the current result (generation as NeedBlock gave it).
    void SetBlock(quint64 generation, int block, const QVector<HistoryRow>& rows);
    // The read of a block was cut off (Cancel, or the source failed): its rows are asked for
    // again when they are next drawn.
    void BlockMissed(quint64 generation, int block);

    // The source's headings; the list shows the records' calibration state after them.
    const QStringList& Headings() const { return m_headings; }
    int CalibrationColumn() const { return int(m_headings.size()); }
    qint64 Count() const { return m_count; }
    quint64 Generation() const { return m_generation; }
    // The row when it is held, else nullptr.
    const HistoryRow* Row(int row) const;
    bool HasRow(int row) const { return Row(row) != nullptr; }
    // The cell text when the row is held (else empty).
    QString Cell(int row, int column) const;
    int HeldBlocks() const { return static_cast<int>(m_blocks.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Asks for the block of a row when it is neither held nor asked for.
    void Request(int row) const;
    CSealMarks& SealMarks() { return m_seals; }
    // The marks of a list read from the central store: check(device, stop) gives every record
    // key's state (Seal::RecordKey) of that device as the central store's verification finds
    // it; run on a helper thread, stop set when its answer is no longer wanted. An empty
    // function: this desk's seals mark the rows (the local list).
    using CentralCheck = std::function<QHash<QString, Seal::Status>(const QString& machineNo,
                                                                    const std::atomic<bool>* stop)>;
    void SetCentralCheck(CentralCheck check);
    // A central row's state as its mark shows it; unset for a local list. A row whose device's
    // check is not back yet counts as not confirmed (no seal).
    std::optional<Seal::Status> CentralStatus(int row) const;
    // Results at or over a legal limit get a colour and a tooltip naming the limit; the
    // columns of Test_Result and Test_Unit (-1: not shown, nothing is marked).
    void SetLimits(const CLimits& limits, int resultColumn, int unitColumn);
    // The limit (0: none, 1, 2) a held row's result reaches.
    int LimitLevel(int row) const;

signals:
    void NeedBlock(quint64 generation, int block, qint64 offset, int limit) const;

private:
    void DropFarBlocks(int keep);

    CLanguage m_texts; // the seal tips' and limit tips' texts
    QString m_calibrationHeading, m_unknownText;
    CLimits m_limits;
    int m_resultColumn = -1;
    int m_unitColumn = -1;
    mutable CSealMarks m_seals;
    // A device's seal check runs on a helper thread (a large device takes a second); its
    // marks show when it is back.
    void CheckDevice(const QString& machineNo) const;
    void DeviceChecked(quint64 generation, const QString& machineNo,
                       const Seal::VerifyResult& result);
    void CentralChecked(quint64 generation, const QString& machineNo,
                        const QHash<QString, Seal::Status>& states);
    // Ends the checks running for an earlier result or source.
    void StopChecks();
    CentralCheck m_centralCheck;
    QHash<QString, QHash<QString, Seal::Status>> m_central; // device -> key -> state
    std::shared_ptr<std::atomic<bool>> m_stopChecks = std::make_shared<std::atomic<bool>>(false);
    mutable QSet<QString> m_checking;
    mutable QList<QPointer<QThread>> m_checkThreads;
    QStringList m_headings;
    qint64 m_count = 0;
    quint64 m_generation = 0;
    QHash<int, QVector<HistoryRow>> m_blocks;
    mutable QSet<int> m_asked;
};
