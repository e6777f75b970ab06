#include "export/ExportTestSupport.h"

#include <QFile>
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

QVector<QStringList> readWithSsconvert(const QString& path) {
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("out.csv"));
    bool ok = false;
    run(QStringLiteral("ssconvert"),
        {QStringLiteral("--export-type=Gnumeric_stf:stf_csv"), path, csv}, &ok);
    if (!ok)
        return {};
    static const char* script = R"(
import csv, json, sys
with open(sys.argv[1], encoding='utf-8', newline='') as f:
    sys.stdout.write(json.dumps(list(csv.reader(f))))
)";
    const QByteArray json = run(QStringLiteral("/usr/bin/python3"),
                                {QStringLiteral("-c"), QString::fromLatin1(script), csv}, &ok);
    QVector<QStringList> rows;
    for (const QJsonValue& r : QJsonDocument::fromJson(json).array()) {
        QStringList cells;
        for (const QJsonValue& c : r.toArray())
            cells.append(c.toString());
        rows.append(cells);
    }
    return rows;
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
