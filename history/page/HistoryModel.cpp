#include "history/page/HistoryModel.h"

#include <QSize>
#include <QThreadPool>

#include <utility>

namespace {

// Freeing a long result takes a while (one block per cell text), and the user waits for
// none of it: rows the list no longer shows are released on a pool thread. Their texts are
// shared by atomic reference counts only, so dropping them there is safe.
void ReleaseLater(QVector<QStringList>&& rows) {
    if (rows.size() < 1000)
        return; // quick enough here
    QThreadPool::globalInstance()->start([old = std::move(rows)]() mutable { old.clear(); });
}

} // namespace

CHistoryModel::CHistoryModel(QObject* parent) : QAbstractTableModel(parent) {}

void CHistoryModel::SetHeadings(const QStringList& headings) {
    beginResetModel();
    m_headings = headings;
    QVector<QStringList> old = std::exchange(m_rows, {});
    endResetModel();
    ReleaseLater(std::move(old));
}

void CHistoryModel::SetRows(const QVector<QStringList>& rows) {
    beginResetModel();
    m_seals.Clear();
    QVector<QStringList> old = std::exchange(m_rows, rows); // shared, not copied
    endResetModel();
    ReleaseLater(std::move(old));
}

void CHistoryModel::ClearRows() {
    beginResetModel();
    QVector<QStringList> old = std::exchange(m_rows, {});
    endResetModel();
    ReleaseLater(std::move(old));
}

QString CHistoryModel::Cell(int row, int column) const {
    if (row < 0 || row >= m_rows.size() || column < 0 || column >= m_headings.size())
        return QString();
    const QStringList& cells = m_rows[row];
    return column < cells.size() ? cells[column] : QString();
}

int CHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CHistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headings.size());
}

QVariant CHistoryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return QVariant();
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return Cell(index.row(), index.column());
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return QVariant();
}

QVariant CHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (section < 0 || section >= m_rows.size())
            return QVariant();
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            const Seal::Status status = m_seals.StatusOf(Cell(section, 0), Cell(section, 1),
                                                         Cell(section, 2), Cell(section, 3));
            return role == Qt::DisplayRole ? CSealMarks::MarkOf(status.state)
                                           : CSealMarks::TipOf(status);
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
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return QVariant();
}
