#pragma once
// One export of the history list: the rows handed in list order to the format's writer,
// which writes a temporary file beside the target; only a complete file is renamed into
// place, so a failed or cancelled export leaves nothing behind and an existing file of
// that name stays as it was until the new one is whole.
//
// RunExport does the work on the calling thread: the page calls it on its list's worker
// thread (CRecordWorker), brtx-cli directly.
#include "reports/RowWriters.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>

// Takes one row; false stops the rows (the export was cancelled or a write failed).
using ExportRowSink = std::function<bool(const QStringList& values)>;
// Hands every row to the sink in list order. False with a text in *error when the rows
// could not be read; a sink that stopped them is not an error.
using ExportRowSource = std::function<bool(const ExportRowSink& sink, QString* error)>;

struct ExportRequest {
    QString path; // the file to make
    ExportFormat format = ExportFormat::None;
    QVector<ExportColumn> columns;
    ExportRowSource rows;
    qint64 total = -1; // the rows expected, for the progress (-1: not known)
};

struct ExportResult {
    bool ok = false;
    bool cancelled = false;
    qint64 rows = 0; // rows written
    QString path;    // the file made (or that would have been made)
    QString error;   // why it failed
};

// progress(done, total) is called now and then (about ten times a second at most).
ExportResult RunExport(const ExportRequest& request,
                       const std::function<void(qint64 done, qint64 total)>& progress = {},
                       const std::atomic<bool>* cancel = nullptr);

// An unused name for the temporary file of path, in path's folder (the file is made empty
// so that nobody else takes the name). Empty with *error when the folder cannot be written.
QString MakeExportTempFile(const QString& path, QString* error);
// Renames the complete temporary file over path (atomically replacing a file there).
bool PlaceExportFile(const QString& tempPath, const QString& path, QString* error);
