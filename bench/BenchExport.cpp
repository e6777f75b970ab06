#include "bench/BenchExport.h"
#include "bench/BenchSupport.h"

#include "base/Language.h"
#include "reports/ExportJob.h"
#include "reports/PdfReport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <ctime>

namespace bench {

namespace {

long StatusKb(const char* key) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Starts a new peak for VmHWM (Linux: writing 5 to clear_refs).
void ResetPeak() {
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

} // namespace

RowExportFigures RunRowExport(const QString& format, qint64 rows) {
    RowExportFigures fig;
    fig.rows = rows;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rows.") + format);

    QVector<ExportColumn> columns = {{QStringLiteral("Machine NO."), ColumnKind::Text},
                                     {QStringLiteral("Record No."), ColumnKind::RecordNo},
                                     {QStringLiteral("Date"), ColumnKind::Day},
                                     {QStringLiteral("Time"), ColumnKind::Hour},
                                     {QStringLiteral("Test Mode"), ColumnKind::Text},
                                     {QStringLiteral("Test Result"), ColumnKind::Result},
                                     {QStringLiteral("Unit"), ColumnKind::Text}};
    for (int f = 1; f <= 20; ++f)
        columns.append({QStringLiteral("Field %1").arg(f), ColumnKind::Text});
    columns.append({QStringLiteral("GPS"), ColumnKind::Text});

    ExportRequest request;
    request.path = path;
    request.format = ExportFormatOf(path);
    request.columns = columns;
    request.total = rows;
    // 997 different rows made beforehand, handed out in turn with their own record number:
    // what is timed is the export, not the making of texts.
    QVector<QStringList> pool;
    for (int i = 0; i < 997; ++i) {
        QStringList row = {QStringLiteral("000000000012"),
                           QString(),
                           QStringLiteral("2024-%1-%2")
                               .arg(1 + i % 12, 2, 10, QLatin1Char('0'))
                               .arg(1 + i % 28, 2, 10, QLatin1Char('0')),
                           QStringLiteral("%1:%2:%3")
                               .arg(i % 24, 2, 10, QLatin1Char('0'))
                               .arg(i % 60, 2, 10, QLatin1Char('0'))
                               .arg((i / 7) % 60, 2, 10, QLatin1Char('0')),
                           QStringLiteral("Auto"),
                           QString::number((i % 1000) / 1000.0, 'f', 3),
                           QStringLiteral("mg/L")};
        for (int f = 1; f <= 20; ++f)
            row.append(QStringLiteral("Value %1-%2").arg(f).arg(i));
        row.append(QStringLiteral("N 31.2304 E 121.4737"));
        pool.append(row);
    }
    request.rows = [rows, pool](const ExportRowSink& sink, QString*) {
        QStringList row;
        for (qint64 i = 0; i < rows; ++i) {
            row = pool[i % pool.size()];
            row[1] = QString::number(i + 1);
            if (!sink(row))
                return true;
        }
        return true;
    };

    fig.startKb = StatusKb("VmRSS:");
    ResetPeak();
    QElapsedTimer t;
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    t.start();
    const ExportResult result = RunExport(request);
    fig.ms = t.nsecsElapsed() / 1e6;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    fig.cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    fig.peakKb = StatusKb("VmHWM:");
    fig.fileBytes = QFileInfo(path).size();
    fig.ok = result.ok && result.rows == rows;
    if (!fig.ok)
        fig.problem = QStringLiteral("FAILED: %1").arg(result.error);
    // A plain check of what was written: CSV lines, or the workbook's archive signature.
    if (fig.ok && format == QLatin1String("csv")) {
        QFile f(path);
        qint64 lines = 0;
        if (f.open(QIODevice::ReadOnly))
            while (!f.atEnd())
                lines += f.read(1 << 20).count('\n');
        if (lines != rows + 1) {
            fig.ok = false;
            fig.problem = QStringLiteral("FAILED: %1 lines in the file").arg(lines);
        }
    } else if (fig.ok) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || !f.read(4).startsWith("PK\x03\x04")) {
            fig.ok = false;
            fig.problem = QStringLiteral("FAILED: not a workbook");
        }
    }
    return fig;
}

CombinedPdfFigures RunCombinedPdf(const QString& programDir, const QString& converter, int records,
                                  int photoBytes) {
    CombinedPdfFigures fig;
    QTemporaryDir home;
    const HomeGuard useHome(home.path());
    for (const char* f : {"bootstrap.min.css", "report.css", "logo.png", "Language.ini"})
        QFile::copy(programDir + QLatin1Char('/') + QLatin1String(f),
                    home.filePath(QLatin1String(f)));
    QFile ini(home.filePath(QStringLiteral("Language.ini")));
    QByteArray text;
    if (ini.open(QIODevice::ReadOnly))
        text = ini.readAll();
    ini.close();
    text.replace("[Global]\n", "[Global]\nPdfConverter=" + converter.toUtf8() + "\n");
    if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        ini.write(text);
    ini.close();

    // A real JPEG padded to the photograph size (readers stop at its end marker).
    QFile jpeg(programDir + QStringLiteral("/failer.jpg"));
    QByteArray photo = jpeg.open(QIODevice::ReadOnly) ? jpeg.readAll() : QByteArray();
    if (photo.size() < photoBytes)
        photo.append(QByteArray(photoBytes - photo.size(), '\0'));
    QDir().mkpath(home.filePath(QStringLiteral("pic/000000000012")));
    QVector<ReportSource> sources;
    for (int r = 1; r <= records; ++r) {
        const QString name = QStringLiteral("%1.jpg").arg(r, 5, 10, QLatin1Char('0'));
        QFile p(home.filePath(QStringLiteral("pic/000000000012/") + name));
        if (p.open(QIODevice::WriteOnly))
            p.write(photo);
        ReportSource s;
        s.headings = QStringList{QStringLiteral("Machine NO."), QStringLiteral("Record No."),
                                 QStringLiteral("Date"),        QStringLiteral("Time"),
                                 QStringLiteral("Test Mode"),   QStringLiteral("Test Result"),
                                 QStringLiteral("Unit"),        QStringLiteral("Name"),
                                 QStringLiteral("Plate No.")};
        s.cells = QStringList{QStringLiteral("000000000012"), QString::number(r),
                              QStringLiteral("2024-03-05"),   QStringLiteral("08:00:00"),
                              QStringLiteral("Auto"),         QStringLiteral("0.050"),
                              QStringLiteral("mg/L"),         QStringLiteral("Driver %1").arg(r),
                              QStringLiteral("B-%1").arg(r)};
        s.picturePath = QStringLiteral("\\000000000012\\") + name;
        sources.append(s);
    }

    if (CPdfReport::ConverterProgram(CLanguage()).isEmpty()) {
        fig.problem = QStringLiteral("%1 not found").arg(converter);
    } else {
        CPdfReport report;
        report.SetOpenWhenDone(false);
        QElapsedTimer t;
        t.start();
        const bool ok =
            report.StartCombined(sources) == CPdfReport::Started && report.WaitFinished();
        fig.ms = t.nsecsElapsed() / 1e6;
        fig.fileBytes = QFileInfo(report.PdfPath()).size();
        QProcess info;
        info.start(QStringLiteral("pdfinfo"), {report.PdfPath()});
        info.waitForFinished(30000);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)"))
                .match(QString::fromUtf8(info.readAllStandardOutput()));
        fig.pages = m.hasMatch() ? m.captured(1).toInt() : 0;
        fig.ok = ok && fig.pages == records;
        if (!fig.ok)
            fig.problem = QStringLiteral("FAILED: %1 (%2 pages)")
                              .arg(ok ? QStringLiteral("page count") : report.ErrorText())
                              .arg(fig.pages);
    }
    return fig;
}

} // namespace bench
