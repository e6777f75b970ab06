#include "history/page/HistoryModel.h"

#include "history/core/CalibrationStates.h"

#include <QColor>
#include <QSize>

#include <climits>

CHistoryModel::CHistoryModel(QObject* parent, CLanguage texts)
    : QAbstractTableModel(parent), m_texts(std::move(texts)),
      m_calibrationHeading(CCalibrationStates::Heading(m_texts)),
      m_unknownText(CCalibrationStates::UnknownText(m_texts)) {}

CHistoryModel::~CHistoryModel() {
    StopChecks();
    for (const QPointer<QThread>& thread : std::as_const(m_checkThreads))
        if (thread)
            thread->wait();
}

void CHistoryModel::StopChecks() {
    m_stopChecks->store(true);
    m_stopChecks = std::make_shared<std::atomic<bool>>(false);
    m_central.clear();
}

void CHistoryModel::SetCentralCheck(CentralCheck check) {
    StopChecks();
    m_centralCheck = std::move(check);
    m_checking.clear();
    ++m_generation;
    if (rowCount() > 0)
        emit headerDataChanged(Qt::Vertical, 0, rowCount() - 1);
}

std::optional<Seal::Status> CHistoryModel::CentralStatus(int row) const {
    const HistoryRow* r = Row(row);
    if (!m_centralCheck || !r)
        return std::nullopt;
    return m_central.value(r->machineNo)
        .value(Seal::RecordKey(r->machineNo, r->recordNo, r->date, r->time));
}

void CHistoryModel::CentralChecked(quint64 generation, const QString& machineNo,
                                   const QHash<QString, Seal::Status>& states) {
    if (generation != m_generation)
        return;
    m_checking.remove(machineNo);
    m_central.insert(machineNo, states);
    if (rowCount() > 0)
        emit headerDataChanged(Qt::Vertical, 0, rowCount() - 1);
}

void CHistoryModel::CheckDevice(const QString& machineNo) const {
    if (m_checking.contains(machineNo))
        return;
    m_checking.insert(machineNo);
    auto* self = const_cast<CHistoryModel*>(this);
    const QString path = m_seals.DatabasePath();
    const quint64 generation = m_generation;
    QThread* thread = nullptr;
    if (m_centralCheck) {
        // The central store's verification, never this desk's seals, for a central row.
        thread = QThread::create(
            [self, check = m_centralCheck, stop = m_stopChecks, machineNo, generation] {
                QHash<QString, Seal::Status> states = check(machineNo, stop.get());
                if (stop->load())
                    return;
                QMetaObject::invokeMethod(
                    self,
                    [self, machineNo, generation, states = std::move(states)] {
                        self->CentralChecked(generation, machineNo, states);
                    },
                    Qt::QueuedConnection);
            });
    } else
        thread = QThread::create([self, path, machineNo, generation] {
            Seal::VerifyResult result = CSealMarks::CheckDevice(path, machineNo);
            QMetaObject::invokeMethod(
                self,
                [self, machineNo, generation, result = std::move(result)] {
                    self->DeviceChecked(generation, machineNo, result);
                },
                Qt::QueuedConnection);
        });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_checkThreads.removeAll(QPointer<QThread>());
    m_checkThreads.append(thread);
    thread->start();
}

void CHistoryModel::DeviceChecked(quint64 generation, const QString& machineNo,
                                  const Seal::VerifyResult& result) {
    if (generation != m_generation)
        return; // a check for an earlier query
    m_checking.remove(machineNo);
    m_seals.SetDevice(machineNo, result);
    if (rowCount() > 0)
        emit headerDataChanged(Qt::Vertical, 0, rowCount() - 1);
}

void CHistoryModel::SetHeadings(const QStringList& headings) {
    beginResetModel();
    StopChecks();
    m_headings = headings;
    m_checking.clear();
    m_count = 0;
    m_blocks.clear();
    m_asked.clear();
    ++m_generation;
    endResetModel();
}

void CHistoryModel::SetResult(qint64 count, const QVector<HistoryRow>& firstRows) {
    beginResetModel();
    m_seals.Clear();
    StopChecks();
    m_checking.clear();
    m_count = count;
    m_blocks.clear();
    m_asked.clear();
    ++m_generation;
    if (!firstRows.isEmpty())
        m_blocks.insert(0, firstRows.mid(0, kBlockRows));
    endResetModel();
}

void CHistoryModel::SetCount(qint64 count) {
    const int now = rowCount();
    const int then = int(qMin<qint64>(count, INT_MAX));
    if (then > now) {
        beginInsertRows(QModelIndex(), now, then - 1);
        m_count = count;
        endInsertRows();
    } else if (then < now) {
        beginRemoveRows(QModelIndex(), then, now - 1);
        m_count = count;
        endRemoveRows();
    }
}

void CHistoryModel::ClearRows() {
    SetResult(0, {});
}

void CHistoryModel::SetBlock(quint64 generation, int block, const QVector<HistoryRow>& rows) {
    if (generation != m_generation)
        return;
    m_asked.remove(block);
    m_blocks.insert(block, rows);
    DropFarBlocks(block);
    const int first = block * kBlockRows;
    const int last = qMin(rowCount() - 1, first + int(rows.size()) - 1);
    if (last >= first)
        emit dataChanged(index(first, 0), index(last, columnCount() - 1));
}

void CHistoryModel::BlockMissed(quint64 generation, int block) {
    if (generation == m_generation)
        m_asked.remove(block);
}

void CHistoryModel::DropFarBlocks(int keep) {
    while (m_blocks.size() > kMaxBlocks) {
        int farthest = keep;
        for (auto it = m_blocks.cbegin(); it != m_blocks.cend(); ++it)
            if (qAbs(it.key() - keep) > qAbs(farthest - keep))
                farthest = it.key();
        if (farthest == keep)
            break;
        m_blocks.remove(farthest);
    }
}

const HistoryRow* CHistoryModel::Row(int row) const {
    if (row < 0 || row >= rowCount())
        return nullptr;
    const auto it = m_blocks.constFind(row / kBlockRows);
    if (it == m_blocks.constEnd())
        return nullptr;
    const int at = row % kBlockRows;
    return at < it->size() ? &(*it)[at] : nullptr;
}

void CHistoryModel::Request(int row) const {
    if (row < 0 || row >= rowCount())
        return;
    const int block = row / kBlockRows;
    if (m_blocks.contains(block) || m_asked.contains(block))
        return;
    m_asked.insert(block);
    emit NeedBlock(m_generation, block, qint64(block) * kBlockRows, kBlockRows);
}

QString CHistoryModel::Cell(int row, int column) const {
    const HistoryRow* r = Row(row);
    if (!r || column < 0)
        return QString();
    if (column == CalibrationColumn())
        return r->calibration.isEmpty() ? m_unknownText : r->calibration;
    return column < r->cells.size() ? r->cells[column] : QString();
}

int CHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(qMin<qint64>(m_count, INT_MAX));
}

int CHistoryModel::columnCount(const QModelIndex& parent) const {
    // No columns, no calibration column either.
    return parent.isValid() || m_headings.isEmpty() ? 0 : int(m_headings.size()) + 1;
}

QVariant CHistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        if (!Row(index.row())) {
            Request(index.row()); // shown empty until its block arrives
            return QString();
        }
        if (role == Qt::ToolTipRole && index.column() == m_resultColumn) {
            const int level = LimitLevel(index.row());
            if (level > 0)
                return Cell(index.row(), index.column()) + QLatin1Char('\n') +
                       OverLimitText(m_texts, *m_limits.For(Cell(index.row(), m_unitColumn)),
                                     level);
        }
        return Cell(index.row(), index.column());
    }
    if (role == Qt::BackgroundRole && index.column() == m_resultColumn) {
        // Amber at the first limit, red at the second.
        const int level = LimitLevel(index.row());
        if (level == 1)
            return QColor(0xFF, 0xD8, 0x8A);
        if (level == 2)
            return QColor(0xF4, 0x9A, 0x9A);
        return QVariant();
    }
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return QVariant();
}

QVariant CHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (section < 0 || section >= rowCount())
            return QVariant();
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            // Checked only once the row itself is held (it is in view).
            const HistoryRow* row = Row(section);
            if (!row)
                return QString();
            const auto central = m_central.constFind(row->machineNo);
            if (m_centralCheck ? central == m_central.cend() : !m_seals.HasDevice(row->machineNo)) {
                CheckDevice(row->machineNo);
                return QString(); // marked when the device's check is back
            }
            const Seal::Status status =
                m_centralCheck
                    ? central->value(
                          Seal::RecordKey(row->machineNo, row->recordNo, row->date, row->time))
                    : m_seals.StatusOf(row->machineNo, row->recordNo, row->date, row->time);
            if (role == Qt::DisplayRole)
                return CSealMarks::MarkOf(status.state);
            // A central row also tells how many desks hold an identical copy.
            QString tip = CSealMarks::TipOf(m_texts, status);
            if (row->desks > 0)
                tip += QLatin1Char('\n') +
                       m_texts.GetTextNumber(QStringLiteral("CentralDesks"), row->desks);
            return tip;
        }
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
        // A fixed size keeps the header from reading (and so checking) rows it does not show
        // when it measures itself.
        if (role == Qt::SizeHintRole)
            return QSize(24, 20);
        return QVariant();
    }
    if (role == Qt::DisplayRole && section >= 0 && section < m_headings.size())
        return m_headings[section];
    if (role == Qt::DisplayRole && section == CalibrationColumn() && !m_headings.isEmpty())
        return m_calibrationHeading;
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return QVariant();
}

void CHistoryModel::SetLimits(const CLimits& limits, int resultColumn, int unitColumn) {
    m_limits = limits;
    const bool shown = resultColumn >= 0 && unitColumn >= 0;
    m_resultColumn = shown ? resultColumn : -1;
    m_unitColumn = shown ? unitColumn : -1;
    if (rowCount() > 0 && m_resultColumn >= 0)
        emit dataChanged(index(0, m_resultColumn), index(rowCount() - 1, m_resultColumn));
}

int CHistoryModel::LimitLevel(int row) const {
    if (m_resultColumn < 0 || m_limits.IsEmpty() || !Row(row))
        return 0;
    return m_limits.Level(Cell(row, m_unitColumn), Cell(row, m_resultColumn));
}
