#pragma once
// Rows written straight into a test database, the way a download stores them.
#include "base/Paths.h"
#include "store/SQLite.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QString>
#include <QStringList>

namespace historytest {

// A record of device `device` as the download stores it; fields k = 1..20 hold "F<k>-<no>",
// GPS "<no>.5 <no>.25", Path "\<device>\<no %05d>.jpg".
struct Record {
    Record(const QString& device, const QString& recordNo, const QString& date,
           const QString& time = QStringLiteral("08:00:00"),
           const QString& mode = QStringLiteral("Auto"),
           const QString& result = QStringLiteral("0.123"),
           const QString& unit = QStringLiteral("mg/L"), const QString& path = QString())
        : device(device), recordNo(recordNo), date(date), time(time), mode(mode), result(result),
          unit(unit), path(path) {}
    QString device;
    QString recordNo;
    QString date;
    QString time;
    QString mode;
    QString result;
    QString unit;
    QString path; // empty: the standard path; "-": an empty Path
};

inline QStringList Values(const Record& r) {
    QStringList v;
    v << r.device << r.recordNo << r.date << r.time << r.mode << r.result << r.unit;
    v << "R1"
      << "R2"
      << "R3"
      << "R4"
      << "1"
      << "0"
      << "R5"
      << "R6";
    for (int k = 1; k <= 20; ++k)
        v << QStringLiteral("F%1-%2").arg(k).arg(r.recordNo);
    v << QStringLiteral("%1.5 %1.25").arg(r.recordNo);
    const QString name = QStringLiteral("%1.jpg").arg(r.recordNo.toInt(), 5, 10, QLatin1Char('0'));
    QString path = r.path;
    if (path.isEmpty())
        path = QStringLiteral("\\%1\\%2").arg(r.device, name);
    else if (path == QLatin1String("-"))
        path.clear();
    v << path << name;
    return v;
}

// Opens (creating) the program's database with its tables.
class Db {
public:
    Db() {
        m_db.Open(GetDatabasePath());
        Schema::CreateTables(m_db);
    }
    SQLite::Database& db() { return m_db; }
    void Titles(const QString& device, const QStringList& titles) {
        m_db.ExecuteSQL(Statements::ReplaceTitleInfo(titles, 1, device));
    }
    void Add(const Record& r) { m_db.ExecuteSQL(Statements::InsertValueInfo(Values(r))); }
    void AddMany(const QString& device, int count, const QString& date) {
        m_db.ExecuteSQL("BEGIN");
        for (int n = 1; n <= count; ++n)
            Add({device, QString::number(n), date});
        m_db.ExecuteSQL("COMMIT");
    }

private:
    SQLite::Database m_db;
};

// Writes a picture of the given size under the picture folder at the stored Path.
inline bool WritePicture(const QString& storedPath, int w, int h, QColor color = Qt::blue) {
    QString rel = storedPath;
    rel.replace('\\', '/');
    const QString file = GetPicFolder() + rel;
    QDir().mkpath(QFileInfo(file).path());
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    return image.save(file, "JPG");
}

} // namespace historytest
