#pragma once
// The history list's choices on the command line, shared by every command that reads the list
// (history, export):
//   (--device ID | --all-devices) [--start YYYY-MM-DD] [--end YYYY-MM-DD] [--search TEXT]
//   [--mode auto|manual|refuse|discontinued] [--min X] [--max Y] [--over-limit 1|2]
//   [--sort HEADING[:asc|:desc]]
#include "history/core/HistoryFilter.h"
#include "history/core/RecordSource.h"

#include <QString>
#include <QStringList>

struct HistoryArgs {
    HistoryFilter filter;
    QString sortHeading; // empty: the default order
    bool sortDescending = false;
};

// Takes the options above out of args (other words stay, in order). False with a message in
// error for a missing value, a bad date, mode or number, a minimum above the maximum, or
// neither/both of --device and --all-devices.
bool TakeHistoryArgs(QStringList& args, HistoryArgs& out, QString& error);

// The order --sort asked for among the list's headings: the heading as written, else one that
// differs only in case. False with a message naming the columns when there is none.
bool SortOf(const HistoryArgs& args, const QStringList& headings, HistorySort& sort,
            QString& error);

// The list the options choose, as a source gives it: its columns, their headings and the order
// --sort asked for.
struct HistoryListShape {
    QVector<HistoryColumn> columns;
    QStringList headings;
    HistorySort sort;
};
// False with a message when the source cannot give its columns, or (with *badSort set, a usage
// error) when --sort names no column.
bool ShapeOf(IRecordSource& source, const HistoryArgs& args, HistoryListShape& shape,
             QString& error, bool* badSort);
