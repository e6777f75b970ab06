#pragma once
// A database of its own on the throw-away PostgreSQL server of the test run, and local
// program folders filled with records for the central-store tests.
#include "central/PgConnection.h"

#include <QString>
#include <QStringList>

#include <ostream>

// Readable texts in test failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace brtxtest {

// The server of the run: the cluster the ctest fixture started, or the one the PG*
// variables name (pg_virtualenv). Every test gets a fresh database, dropped afterwards.
class PgTestDb {
public:
    PgTestDb();
    ~PgTestDb();
    bool Ok() const { return m_ok; }
    QString Why() const { return m_why; }
    QString Conninfo() const; // of the test's own database
    // The server's address as keyword=value text without a database (for variants).
    QString BaseConninfo() const { return m_base; }
    Central::PgConnection& Db() { return m_db; } // connected to the test's database
    // The first cell of a query (empty text when it fails).
    QString Value(const QString& sql);

private:
    QString m_base;
    QString m_name;
    bool m_ok = false;
    QString m_why;
    Central::PgConnection m_db;
};

// Skips the test when no server is reachable, except under CI, where it fails.
#define BRTX_REQUIRE_PG(db)                                                                        \
    do {                                                                                           \
        if (!(db).Ok()) {                                                                          \
            if (qEnvironmentVariableIsSet("CI"))                                                   \
                FAIL() << "no PostgreSQL server: " << (db).Why().toStdString();                    \
            GTEST_SKIP() << "no PostgreSQL server reachable (" << (db).Why().toStdString()         \
                         << "); scripts/test.sh starts one";                                       \
        }                                                                                          \
    } while (0)

// Fills <home>/brtx.db with count records of device (record numbers first .. first+count-1),
// its twenty-title set, and with pictureBytes > 0 a photograph file per record under
// pic/<device>/. Record 1 of each device carries awkward texts (quote, backslash, tab,
// Chinese) and a NULL GPS.
void FillLocalStore(const QString& home, const QString& device, int count, int pictureBytes = 0,
                    int first = 1);
// Adds the integrity tables with one seal per record and three audit entries.
void AddSealsAndAudit(const QString& home);

// The SHA-256 of a file (to show a file was left unchanged).
QByteArray FileHash(const QString& path);

// Role and desk names are the cluster's: every desk of a run gets a name of its own.
QString UniqueName(const QString& base);

} // namespace brtxtest
