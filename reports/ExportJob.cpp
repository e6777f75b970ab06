#include "reports/ExportJob.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

QString MakeExportTempFile(const QString& path, QString* error) {
    const QFileInfo target(path);
    const QString folder = target.absolutePath();
    if (!QFileInfo(folder).isDir()) {
        if (error)
            *error = QStringLiteral("the folder %1 does not exist").arg(folder);
        return QString();
    }
    // Hidden, ending in the format's extension (the .xls writer needs it), with an
    // unpredictable part, and private to the user (exports hold personal data);
    // PlaceExportFile gives an existing file's mode back.
    QTemporaryFile file(QStringLiteral("%1/.%2.partXXXXXX.%3")
                            .arg(folder, target.completeBaseName(), target.suffix()));
    file.setAutoRemove(false);
    if (!file.open()) {
        if (error)
            *error = QStringLiteral("cannot write in %1: %2").arg(folder, file.errorString());
        return QString();
    }
    return file.fileName();
}

bool PlaceExportFile(const QString& tempPath, const QString& path, QString* error) {
    // A new export stays 0600 (whatever a writer did to the temporary file); a file replaced
    // keeps its mode, so an export never opens a file wider than its owner had it.
    struct stat existing;
    const bool replaces =
        ::stat(QFile::encodeName(path).constData(), &existing) == 0 && S_ISREG(existing.st_mode);
    ::chmod(QFile::encodeName(tempPath).constData(), replaces ? existing.st_mode & 07777 : 0600);
    if (::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(path).constData()) == 0)
        return true;
    if (error)
        *error = QStringLiteral("cannot rename the finished file to %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

ExportResult RunExport(const ExportRequest& request,
                       const std::function<void(qint64, qint64)>& progress,
                       const std::atomic<bool>* cancel) {
    ExportResult result;
    result.path = QFileInfo(request.path).absoluteFilePath();
    if (request.format == ExportFormat::None || !request.rows) {
        result.error = QStringLiteral("the file name must end in .xls, .xlsx or .csv");
        return result;
    }
    if (QFileInfo(result.path).isDir()) {
        result.error = QStringLiteral("%1 is a folder").arg(result.path);
        return result;
    }
    const QString temp = MakeExportTempFile(result.path, &result.error);
    if (temp.isEmpty())
        return result;

    bool ok = false;
    {
        std::unique_ptr<IRowWriter> writer = MakeRowWriter(request.format, temp);
        ok = writer->Begin(request.columns);
        QElapsedTimer clock;
        clock.start();
        qint64 lastReport = -1000;
        QString readError;
        if (ok) {
            if (progress)
                progress(0, request.total);
            const bool read = request.rows(
                [&](const QStringList& values) {
                    if (cancel && cancel->load(std::memory_order_relaxed)) {
                        result.cancelled = true;
                        return false;
                    }
                    if (!writer->Row(values)) {
                        ok = false;
                        return false;
                    }
                    ++result.rows;
                    if (progress && (result.rows & 255) == 0 &&
                        clock.elapsed() - lastReport >= 100) {
                        lastReport = clock.elapsed();
                        progress(result.rows, request.total);
                    }
                    return true;
                },
                &readError);
            if (!read && cancel && cancel->load()) {
                result.cancelled = true; // the source stopped reading when asked to
            } else if (!read) {
                ok = false;
                if (result.error.isEmpty())
                    result.error = readError.isEmpty()
                                       ? QStringLiteral("the rows could not be read")
                                       : readError;
            }
        }
        if (ok && !result.cancelled) {
            if (progress)
                progress(result.rows, request.total);
            ok = writer->Finish();
        }
        if (!ok && result.error.isEmpty())
            result.error = writer->Error();
    }
    if (result.cancelled) {
        ok = false;
        result.error = QStringLiteral("cancelled");
    }
    if (ok)
        ok = PlaceExportFile(temp, result.path, &result.error);
    if (!ok) {
        QFile::remove(temp);
        if (result.error.isEmpty())
            result.error = QStringLiteral("the file could not be written");
    }
    result.ok = ok;
    return result;
}
