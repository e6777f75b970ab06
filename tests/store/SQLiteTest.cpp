// The SQLite wrapper: opening, statements, queries as text tables, and sharing the file.
#include "store/SQLite.h"

#include "base/Paths.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <chrono>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

using SQLite::Database;
using SQLite::Table;

TEST(SQLiteWrapper, NeverOpenedAndFailedOpens) {
    Database never;
    const Table t = never.QuerySQL("SELECT 1");
    EXPECT_EQ(t.GetRowCount(), 0);
    EXPECT_EQ(t.GetColCount(), 0);
    EXPECT_EQ(t.m_nCurrentRow, -1);
    EXPECT_EQ(never.GetLastError(), 1);
    EXPECT_EQ(never.ExecuteSQL("CREATE TABLE x(a)"), 1);

    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(home.file("ok.db")), 0);
    EXPECT_EQ(db.Open(home.file("missing/folder/brtx.db")), SQLITE_CANTOPEN);
    EXPECT_FALSE(db.IsOpen()); // not a half-open handle
    EXPECT_EQ(db.ExecuteSQL("SELECT 1"), 1);

    // A file that is no database: statements fail and the file is left as it was.
    QFile junk(home.file("junk.db"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'z'));
    junk.close();
    ASSERT_EQ(db.Open(home.file("junk.db")), 0);
    EXPECT_EQ(db.ExecuteSQL("CREATE TABLE IF NOT EXISTS t(a)"), SQLITE_NOTADB);
    db.Close();
    ASSERT_TRUE(junk.open(QIODevice::ReadOnly));
    EXPECT_EQ(junk.readAll(), QByteArray(4096, 'z'));
}

TEST(SQLiteWrapper, RoundTripsUnderANonAsciiFolder) {
    brtxtest::TempHome home(false, QString::fromUtf8("数据 库"));
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    EXPECT_TRUE(QFile::exists(GetDatabasePath()));
    ASSERT_EQ(db.ExecuteSQL("CREATE TABLE t(a varchar(50), b varchar(50), c)"), 0);
    const QString chinese = QString::fromUtf8("呼气 酒精");
    ASSERT_EQ(db.ExecuteSQL("INSERT INTO t VALUES('" + chinese +
                            "','it''s',NULL);"
                            "INSERT INTO t VALUES('',12,3.5)"),
              0);
    ASSERT_EQ(db.Open(GetDatabasePath()), 0); // opening again closes the first handle

    const Table t = db.QuerySQL("SELECT a, b AS bee, c FROM t ORDER BY rowid");
    ASSERT_EQ(t.GetRowCount(), 2);
    ASSERT_EQ(t.GetColCount(), 3);
    EXPECT_EQ(t.m_nCurrentRow, 0);
    EXPECT_EQ(t.m_strColNames, QStringList({"a", "bee", "c"}));
    EXPECT_EQ(t.m_rows[0], QStringList({chinese, "it's", ""})); // NULL is an empty cell
    EXPECT_EQ(t.m_rows[1], QStringList({"", "12", "3.5"}));

    const Table none = db.QuerySQL("SELECT a, b FROM t WHERE a = 'nothing'");
    EXPECT_EQ(none.GetRowCount(), 0);
    EXPECT_EQ(none.m_nCurrentRow, -1);
    EXPECT_EQ(db.GetLastError(), 0);
    // A failure is kept as the last error; a later success does not clear it.
    EXPECT_EQ(db.QuerySQL("SELECT * FROM missing_table").GetRowCount(), 0);
    EXPECT_EQ(db.GetLastError(), SQLITE_ERROR);
    EXPECT_EQ(db.ExecuteSQL("DELETE FROM t WHERE 0"), 0);
    EXPECT_EQ(db.GetLastError(), SQLITE_ERROR);
}

TEST(SQLiteWrapper, QuotedValuesNeitherBreakNorChangeStatements) {
    EXPECT_EQ(SQLite::Quote("it's ''"), "it''s ''''");
    EXPECT_EQ(SQLite::Quote(QString("a") + QChar(0) + "b"), "ab"); // would cut the statement
    brtxtest::TempHome home(false);
    Database db;
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    ASSERT_EQ(db.ExecuteSQL("CREATE TABLE t(a)"), 0);
    const QStringList values = {"x' OR '1'='1", "'", "end'", "--'; DROP TABLE t; --",
                                QString::fromUtf8("引号'中文")};
    for (const QString& v : values)
        ASSERT_EQ(db.ExecuteSQL("INSERT INTO t VALUES('" + SQLite::Quote(v) + "')"), 0);
    for (const QString& v : values) {
        const Table t = db.QuerySQL("SELECT a FROM t WHERE a = '" + SQLite::Quote(v) + "'");
        ASSERT_EQ(t.GetRowCount(), 1) << v.toStdString();
        EXPECT_EQ(t.Cell(0, 0), v);
    }
}

TEST(SQLiteWrapper, AWriterWaitsForAnotherWritersLock) {
    brtxtest::TempHome home(false);
    Database writer, other;
    ASSERT_EQ(writer.Open(GetDatabasePath()), 0);
    ASSERT_EQ(writer.ExecuteSQL("CREATE TABLE t(a)"), 0);
    ASSERT_EQ(other.Open(GetDatabasePath()), 0);
    ASSERT_EQ(writer.ExecuteSQL("BEGIN IMMEDIATE; INSERT INTO t VALUES('held')"), 0);
    // The lock is held for a while, as a download writing a record would.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        writer.ExecuteSQL("COMMIT");
    });
    EXPECT_EQ(other.ExecuteSQL("INSERT INTO t VALUES('waited')"), 0);
    release.join();
    EXPECT_EQ(other.QuerySQL("SELECT a FROM t").GetRowCount(), 2);
}

TEST(SQLiteWrapper, WriteAheadLogWhileOpenPlainFileAtRest) {
    brtxtest::TempHome home(false);
    const QString path = GetDatabasePath();
    Database first, second;
    ASSERT_EQ(first.Open(path), 0);
    ASSERT_EQ(first.ExecuteSQL("CREATE TABLE t(a); INSERT INTO t VALUES('committed')"), 0);
    ASSERT_EQ(second.Open(path), 0);
    EXPECT_EQ(second.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "wal");

    // A reader does not wait for a writer's open transaction; it sees the last commit.
    ASSERT_EQ(first.ExecuteSQL("BEGIN IMMEDIATE; INSERT INTO t VALUES('pending')"), 0);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(second.QuerySQL("SELECT a FROM t").m_rows, QVector<QStringList>({{"committed"}}));
    EXPECT_LT(timer.elapsed(), 1000);
    ASSERT_EQ(first.ExecuteSQL("COMMIT"), 0);

    first.Close(); // the other connection keeps working on the log
    EXPECT_EQ(second.QuerySQL("SELECT a FROM t").GetRowCount(), 2);
    second.Close();
    // At rest: header versions 1 (rollback journal), no side files, all rows in the file.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(20).mid(18), QByteArray("\x01\x01", 2));
    EXPECT_FALSE(QFile::exists(path + "-wal"));
    EXPECT_FALSE(QFile::exists(path + "-shm"));
    sqlite3* plain = nullptr;
    ASSERT_EQ(sqlite3_open_v2(QFile::encodeName(path), &plain, SQLITE_OPEN_READONLY, nullptr), 0);
    char** result = nullptr;
    int rows = 0, cols = 0;
    EXPECT_EQ(sqlite3_get_table(plain, "SELECT a FROM t", &result, &rows, &cols, nullptr), 0);
    EXPECT_EQ(rows, 2);
    sqlite3_free_table(result);
    sqlite3_close(plain);
}

TEST(SQLiteWrapper, AFileHeldByAnotherProgramIsUsedWithoutWaiting) {
    brtxtest::TempHome home(false);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(GetDatabasePath()).constData(), &other), 0);
    ASSERT_EQ(sqlite3_exec(other,
                           "CREATE TABLE t(a); INSERT INTO t VALUES(1); BEGIN; "
                           "SELECT * FROM t;",
                           nullptr, nullptr, nullptr),
              0);
    Database db;
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(db.Open(GetDatabasePath()), 0);
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_EQ(db.QuerySQL("PRAGMA journal_mode").Cell(0, 0), "delete");
    EXPECT_EQ(db.QuerySQL("SELECT a FROM t").Cell(0, 0), "1");
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(db.ExecuteSQL("INSERT INTO t VALUES(2)"), 0);
}
