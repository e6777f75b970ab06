#include "store/InstrumentTotals.h"

#include "store/Stmt.h"

namespace InstrumentTotals {

bool EnsureTable(SQLite::Database& db) {
    return db.ExecuteSQL(QStringLiteral("CREATE TABLE IF NOT EXISTS InstrumentTotal ("
                                        "DeviceID TEXT PRIMARY KEY, Total INTEGER NOT NULL)")) ==
           SQLITE_OK;
}

qint64 Last(SQLite::Database& db, const QString& device) {
    SQLite::Stmt stmt(db.Handle(), "SELECT Total FROM InstrumentTotal WHERE DeviceID = ?1");
    if (!stmt.ok())
        return -1;
    stmt.bind(1, device);
    return stmt.step() == SQLITE_ROW ? stmt.int64(0) : -1;
}

bool Store(SQLite::Database& db, const QString& device, quint32 total) {
    SQLite::Stmt stmt(db.Handle(),
                      "INSERT OR REPLACE INTO InstrumentTotal (DeviceID, Total) VALUES (?1, ?2)");
    if (!stmt.ok())
        return false;
    stmt.bind(1, device).bind(2, qint64(total));
    return stmt.step() == SQLITE_DONE;
}

} // namespace InstrumentTotals
