#include "export/ExportTestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

namespace exporttest {

QByteArray run(const QString& program, const QStringList& args, bool* ok, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program, args);
    const bool finished = p.waitForFinished(timeoutMs);
    if (ok)
        *ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

QJsonDocument readWithXlrd(const QString& path, int maxRows) {
    static const char* script = R"(
import json, sys, xlrd
book = xlrd.open_workbook(sys.argv[1])
limit = int(sys.argv[2])
out = []
for sh in book.sheets():
    rows = [[str(c.value) for c in sh.row(r)] for r in range(sh.nrows)
            if limit < 0 or r < limit or r == sh.nrows - 1]
    out.append({"name": sh.name, "nrows": sh.nrows, "ncols": sh.ncols, "rows": rows})
sys.stdout.write(json.dumps(out))
)";
    bool ok = false;
    const QByteArray json =
        run(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromLatin1(script), path, QString::number(maxRows)},
            &ok, 120000);
    if (!ok)
        return QJsonDocument();
    return QJsonDocument::fromJson(json);
}

namespace {

QVector<QStringList> rowsOf(const QByteArray& json) {
    QVector<QStringList> rows;
    for (const QJsonValue& r : QJsonDocument::fromJson(json).array()) {
        QStringList cells;
        for (const QJsonValue& c : r.toArray())
            cells.append(c.toString());
        rows.append(cells);
    }
    return rows;
}

const char* const kCsvScript = R"(
import csv, json, sys
with open(sys.argv[1], encoding='utf-8-sig', newline='') as f:
    sys.stdout.write(json.dumps(list(csv.reader(f))))
)";

} // namespace

QVector<QStringList> readWithSsconvert(const QString& path) {
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("out.csv"));
    bool ok = false;
    run(QStringLiteral("ssconvert"),
        {QStringLiteral("--export-type=Gnumeric_stf:stf_csv"), path, csv}, &ok);
    if (!ok)
        return {};
    const QByteArray json = run(QStringLiteral("/usr/bin/python3"),
                                {QStringLiteral("-c"), QString::fromLatin1(kCsvScript), csv}, &ok);
    return rowsOf(json);
}

QJsonDocument readWithOpenpyxl(const QString& path, int maxRows) {
    static const char* script = R"(
import datetime, json, sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1], read_only=False)
limit = int(sys.argv[2])
sh = book.worksheets[0]
def cell(c):
    v = c.value
    if v is None: return ["", ""]
    if isinstance(v, bool): return ["b", str(v)]
    if isinstance(v, (int, float)): return ["n", repr(float(v))]
    if isinstance(v, datetime.datetime):
        if v.year == 1899 or (v.hour, v.minute, v.second) != (0, 0, 0):
            return ["t", v.strftime("%H:%M:%S")]
        return ["d", v.strftime("%Y-%m-%d")]
    if isinstance(v, datetime.date): return ["d", v.strftime("%Y-%m-%d")]
    if isinstance(v, datetime.time): return ["t", v.strftime("%H:%M:%S")]
    return ["s", v]
rows = []
n = sh.max_row
for i, row in enumerate(sh.iter_rows(), start=1):
    if limit < 0 or i <= limit or i == n:
        rows.append([cell(c) for c in row])
widths = [sh.column_dimensions[openpyxl.utils.get_column_letter(i)].width
          for i in range(1, sh.max_column + 1)]
out = {"sheet": sh.title, "freeze": sh.freeze_panes, "filter": sh.auto_filter.ref,
       "bold": all(c.font.b for c in sh[1]), "widths": widths, "nrows": n, "rows": rows}
sys.stdout.write(json.dumps(out))
)";
    bool ok = false;
    const QByteArray json =
        run(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"), QString::fromLatin1(script), path, QString::number(maxRows)},
            &ok, 600000);
    return ok ? QJsonDocument::fromJson(json) : QJsonDocument();
}

QVector<QStringList> readCsvWithPython(const QString& path) {
    bool ok = false;
    const QByteArray json = run(QStringLiteral("/usr/bin/python3"),
                                {QStringLiteral("-c"), QString::fromLatin1(kCsvScript), path}, &ok);
    return ok ? rowsOf(json) : QVector<QStringList>();
}

QVector<QStringList> readWithSoffice(const QString& path, bool* available) {
    *available = QFile::exists(QStringLiteral("/usr/bin/soffice"));
    if (!*available)
        return {};
    QTemporaryDir dir;
    bool ok = false;
    // UTF-8 (76), comma, quote: the CSV filter's options.
    QStringList args = {QStringLiteral("-env:UserInstallation=file://") +
                            dir.filePath(QStringLiteral("profile")),
                        QStringLiteral("--headless")};
    // A CSV file is read as UTF-8 with commas and quotes.
    if (path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        args << QStringLiteral("--infilter=CSV:44,34,76");
    run(QStringLiteral("/usr/bin/soffice"),
        args + QStringList{QStringLiteral("--convert-to"),
                           QStringLiteral("csv:Text - txt - csv (StarCalc):44,34,76"),
                           QStringLiteral("--outdir"), dir.path(), path},
        &ok, 120000);
    const QString csv = dir.filePath(QFileInfo(path).completeBaseName() + QStringLiteral(".csv"));
    return ok ? readCsvWithPython(csv) : QVector<QStringList>();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace exporttest
