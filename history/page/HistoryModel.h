#pragma once
// The table model behind the history page's record list: headings and display rows of the
// last column layout and query, shown as plain text.
#include "history/core/SealMarks.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <QVector>

class CHistoryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CHistoryModel(QObject* parent = nullptr);

    // New columns; the rows are dropped.
    void SetHeadings(const QStringList& headings);
    // New rows under the current headings (each row one cell per heading; missing cells are
    // empty).
    void SetRows(const QVector<QStringList>& rows);
    void ClearRows();

    const QStringList& Headings() const { return m_headings; }
    QString Cell(int row, int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The row header shows each listed record's seal mark (cells 0..3 are its key), checked
    // when the row is first shown.
    CSealMarks& SealMarks() { return m_seals; }

private:
    mutable CSealMarks m_seals;
    QStringList m_headings;
    QVector<QStringList> m_rows;
};
