// The SQLite wrapper: opening, statements without result, queries as text tables.
#include "store/SQLite.h"

#include "app/base/Paths.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <chrono>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

using SQLite::Database;
using SQLite::Table;

TEST(SQLiteWrapper, NeverOpenedObjectReportsGenericError) {
    Database db;
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(db.GetLastError(), 0);
    const Table t = db.QuerySQL("SELECT 1");
    EXPECT_EQ(t.GetRowCount(), 0);
    EXPECT_EQ(t.GetColCount(), 0);
    EXPECT_EQ(t.m_nCurrentRow, -1);
    EXPECT_TRUE(t.m_strColNames.isEmpty());
    EXPECT_EQ(db.GetLastError(), 1);
    EXPECT_EQ(db.ExecuteSQL("CREATE TABLE x(a)"), 1);
    db.Close(); // harmless when closed
    EXPECT_FALSE(db.IsOpen());
}

TEST(SQLiteWrapper, OpenCreatesTheFileUnderANonAsciiFolder) {
    brtxtest::TempHome home(false, QString::fromUtf8("数据 库"));
    const QString path = GetDatabasePath();
    ASSERT_FALSE(QFile::exists(path));
    Database db;
    EXPECT_EQ(db.Open(path), 0);
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(db.ExecuteSQL("CREATE TABLE t(a)"), 0);
    EXPECT_TRUE(QFile::exists(path));

    // Opening again closes the first handle and works on the same file.
    EXPECT_EQ(db.Open(path), 0);
    EXPECT_EQ(db.QuerySQL("SELECT name FROM sqlite_master").GetRowCount(), 1);
}

TEST(SQLiteWrapper, OpenFailureLeavesTheObjectClosed) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(home.file("ok.db")), 0);
    const int rc = db.Open(home.file("missing/folder/brtx.db"));
    EXPECT_EQ(rc, SQLITE_CANTOPEN);
    EXPECT_EQ(db.GetLastError(), SQLITE_CANTOPEN);
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(db.ExecuteSQL("SELECT 1"), 1);
}

TEST(SQLiteWrapper, QueryResultsAsText) {
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_EQ(db.ExecuteSQL("CREATE TABLE t(a varchar(50), b varchar(50), c)"), 0);
    ASSERT_EQ(db.ExecuteSQL(QString::fromUtf8("INSERT INTO t VALUES('呼气 酒精','it''s',NULL);"
                                              "INSERT INTO t VALUES('',12,3.5)")),
              0);

    const Table t = db.QuerySQL("SELECT a, b AS bee, c FROM t ORDER BY rowid");
    ASSERT_EQ(t.GetRowCount(), 2);
    ASSERT_EQ(t.GetColCount(), 3);
    EXPECT_EQ(t.m_nCurrentRow, 0);
    EXPECT_EQ(t.m_strColNames, QStringList({"a", "bee", "c"}));
    ASSERT_EQ(t.m_rows.size(), 2);
    EXPECT_EQ(t.Cell(0, 0), QString::fromUtf8("呼气 酒精"));
    EXPECT_EQ(t.Cell(0, 1), "it's");
    EXPECT_EQ(t.Cell(0, 2), ""); // NULL is an empty cell, not a missing one
    EXPECT_EQ(t.m_rows[0].size(), 3);
    EXPECT_EQ(t.Cell(1, 1), "12");
    EXPECT_EQ(t.Cell(1, 2), "3.5");

    // Nothing matched: no rows, but the columns SQLite reports.
    const Table none = db.QuerySQL("SELECT a, b FROM t WHERE a = 'nothing'");
    EXPECT_EQ(none.GetRowCount(), 0);
    EXPECT_EQ(none.m_nCurrentRow, -1);
    EXPECT_EQ(db.GetLastError(), 0);

    // A failing statement keeps its code as the last error; a later success does not clear it.
    const Table bad = db.QuerySQL("SELECT * FROM missing_table");
    EXPECT_EQ(bad.GetRowCount(), 0);
    EXPECT_EQ(bad.m_nCurrentRow, -1);
    EXPECT_EQ(db.GetLastError(), SQLITE_ERROR);
    EXPECT_EQ(db.ExecuteSQL("this is not sql"), SQLITE_ERROR);
    EXPECT_EQ(db.ExecuteSQL("DELETE FROM t WHERE 0"), 0);
    EXPECT_EQ(db.GetLastError(), SQLITE_ERROR);
}

TEST(SQLiteWrapper, Utf8CopyOfWideText) {
    const QString text = QString::fromUtf8("设备 ID 'x'");
    SQLite::UTF8MBSTR utf8(text);
    EXPECT_EQ(QByteArray(utf8), text.toUtf8());
    EXPECT_EQ(utf8.Length(), text.size());
    SQLite::UTF8MBSTR empty{QString()};
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(empty.Length(), 0);
}

TEST(SQLiteWrapper, QuoteDoublesEverySingleQuote) {
    EXPECT_EQ(SQLite::Quote("plain"), "plain");
    EXPECT_EQ(SQLite::Quote("it's"), "it''s");
    EXPECT_EQ(SQLite::Quote("''"), "''''");
    EXPECT_EQ(SQLite::Quote(""), "");
    // A zero character would cut the statement short; it is left out.
    EXPECT_EQ(SQLite::Quote(QString("a") + QChar(0) + "'b"), "a''b");

    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_EQ(db.ExecuteSQL("CREATE TABLE t(a)"), 0);
    const QStringList values = {"x' OR '1'='1",
                                "'",
                                "a''b",
                                "end'",
                                "--'; DROP TABLE t; --",
                                QString::fromUtf8("引号'中文")};
    for (const QString& v : values)
        ASSERT_EQ(db.ExecuteSQL("INSERT INTO t VALUES('" + SQLite::Quote(v) + "')"), 0);
    for (const QString& v : values) {
        const Table t = db.QuerySQL("SELECT a FROM t WHERE a = '" + SQLite::Quote(v) + "'");
        ASSERT_EQ(t.GetRowCount(), 1) << v.toStdString();
        EXPECT_EQ(t.Cell(0, 0), v);
    }
    EXPECT_EQ(db.QuerySQL("SELECT a FROM t").GetRowCount(), int(values.size()));
}

TEST(SQLiteWrapper, SecondConnectionWaitsForALockInsteadOfFailing) {
    brtxtest::TempHome home(false);
    Database writer;
    Database other;
    ASSERT_EQ(writer.Open(GetDatabasePath()), 0);
    ASSERT_EQ(writer.ExecuteSQL("CREATE TABLE t(a)"), 0);
    ASSERT_EQ(other.Open(GetDatabasePath()), 0);

    ASSERT_EQ(writer.ExecuteSQL("BEGIN IMMEDIATE; INSERT INTO t VALUES('held')"), 0);
    QElapsedTimer timer;
    timer.start();
    // The lock is held for a while, as a download writing a record would.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writer.ExecuteSQL("COMMIT");
    });
    const int rc = other.ExecuteSQL("INSERT INTO t VALUES('waited')");
    release.join();
    EXPECT_EQ(rc, 0);
    EXPECT_GE(timer.elapsed(), 250);
    EXPECT_EQ(other.QuerySQL("SELECT a FROM t").GetRowCount(), 2);
}

namespace {
// The journal versions in the file header: 1 for a rollback journal, 2 for a write-ahead log.
QByteArray HeaderVersions(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(20).mid(18, 2);
}
} // namespace

TEST(SQLiteWrapper, FastCommitsWhileOpenAndAPlainFileAtRest) {
    brtxtest::TempHome home(false);
    const QString path = GetDatabasePath();
    Database first;
    Database second;
    ASSERT_EQ(first.Open(path), 0);
    ASSERT_EQ(first.ExecuteSQL("CREATE TABLE t(a)"), 0);
    ASSERT_EQ(second.Open(path), 0);
    EXPECT_EQ(first.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "wal");
    EXPECT_EQ(first.QuerySQL("PRAGMA synchronous").Cell(0, 0), "1");
    EXPECT_EQ(second.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "wal");

    // A reader does not wait for a writer's open transaction; it sees the last commit.
    ASSERT_EQ(first.ExecuteSQL("INSERT INTO t VALUES('committed')"), 0);
    ASSERT_EQ(first.ExecuteSQL("BEGIN IMMEDIATE; INSERT INTO t VALUES('pending')"), 0);
    QElapsedTimer timer;
    timer.start();
    const Table seen = second.QuerySQL("SELECT a FROM t");
    EXPECT_LT(timer.elapsed(), 1000);
    ASSERT_EQ(seen.GetRowCount(), 1);
    EXPECT_EQ(seen.Cell(0, 0), "committed");
    ASSERT_EQ(first.ExecuteSQL("COMMIT"), 0);

    // Closing one of two connections leaves the other working on the log.
    first.Close();
    EXPECT_EQ(second.QuerySQL("SELECT a FROM t").GetRowCount(), 2);
    EXPECT_EQ(second.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "wal");
    second.Close();

    // At rest: a plain rollback-journal file with everything in it and no side files.
    EXPECT_EQ(HeaderVersions(path), QByteArray("\x01\x01", 2));
    EXPECT_FALSE(QFile::exists(path + "-wal"));
    EXPECT_FALSE(QFile::exists(path + "-shm"));
    Database again;
    ASSERT_EQ(again.Open(path), 0);
    EXPECT_EQ(again.QuerySQL("SELECT a FROM t").GetRowCount(), 2);
}

TEST(SQLiteWrapper, AFileHeldByAnotherProgramIsUsedAsItIs) {
    brtxtest::TempHome home(false);
    const QString path = GetDatabasePath();
    // Another program holds the file in rollback mode with a read open.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "CREATE TABLE t(a); INSERT INTO t VALUES(1); BEGIN; "
                           "SELECT * FROM t;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    Database db;
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(db.Open(path), 0);
    EXPECT_LT(timer.elapsed(), 1000); // no wait for the switch
    EXPECT_EQ(db.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "delete");
    EXPECT_EQ(db.QuerySQL("SELECT a FROM t").Cell(0, 0), "1");
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(db.ExecuteSQL("INSERT INTO t VALUES(2)"), 0);
}

TEST(SQLiteWrapper, AFileThatIsNoDatabaseFailsItsStatements) {
    brtxtest::TempHome home(false);
    const QString path = GetDatabasePath();
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'z'));
    }
    Database db;
    EXPECT_EQ(db.Open(path), 0); // the library reads the file on first use
    EXPECT_EQ(db.ExecuteSQL("CREATE TABLE IF NOT EXISTS t(a)"), SQLITE_NOTADB);
    EXPECT_EQ(db.QuerySQL("SELECT 1 FROM t").GetRowCount(), 0);
    db.Close();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray(4096, 'z')); // left untouched
}
