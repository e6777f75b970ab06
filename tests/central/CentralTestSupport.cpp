#include "CentralTestSupport.h"

#include "store/SQLite.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace brtxtest {

namespace {
QString InfoConninfo() {
    QFile f(QStringLiteral(BRTX_PG_INFO));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll()).trimmed();
}
} // namespace

PgTestDb::PgTestDb() {
    m_base = InfoConninfo();
    Central::PgConnection admin;
    if (!admin.Open(m_base.isEmpty() ? QString() : m_base, &m_why))
        return;
    static int counter = 0;
    m_name = QStringLiteral("brtx_t%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    admin.Command("DROP DATABASE IF EXISTS " + m_name, nullptr);
    if (!admin.Command("CREATE DATABASE " + m_name, &m_why))
        return;
    m_ok = m_db.Open(Conninfo(), &m_why);
}

PgTestDb::~PgTestDb() {
    m_db.Close();
    if (m_name.isEmpty())
        return;
    Central::PgConnection admin;
    if (admin.Open(m_base, nullptr))
        admin.Command("DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", nullptr);
}

QString PgTestDb::Conninfo() const {
    return (m_base.isEmpty() ? QString() : m_base + ' ') + "dbname=" + m_name;
}

QString PgTestDb::Value(const QString& sql) {
    Central::PgResult r = m_db.Exec(sql);
    return r.Ok() && r.Rows() > 0 ? r.Text(0, 0) : QString();
}

void FillLocalStore(const QString& home, const QString& device, int count, int pictureBytes,
                    int first) {
    SQLite::Database db;
    ASSERT_EQ(db.Open(home + "/brtx.db"), 0);
    ASSERT_TRUE(Schema::CreateTables(db));
    QStringList titles;
    for (int i = 1; i <= Statements::kTitleCount; ++i)
        titles << QStringLiteral("Title %1").arg(i);
    db.ExecuteSQL(Statements::ReplaceTitleInfo(titles, 1, device));
    if (pictureBytes > 0)
        QDir(home).mkpath("pic/" + device);
    db.ExecuteSQL("BEGIN");
    for (int n = first; n < first + count; ++n) {
        QStringList v;
        v << device << QString::number(n)
          << QStringLiteral("2024-03-%1").arg(1 + n % 28, 2, 10, QChar('0'))
          << QStringLiteral("12:%1:%2")
                 .arg(n / 60 % 60, 2, 10, QChar('0'))
                 .arg(n % 60, 2, 10, QChar('0'))
          << (n % 2 ? "Auto" : "Manual") << QString::number(n % 1000 / 1000.0, 'f', 3) << "mg/L";
        for (int i = 0; i < 8; ++i)
            v << QString();
        for (int f = 1; f <= Statements::kTitleCount; ++f)
            v << (n == 1 && f == 1 ? QStringLiteral("O'Brien \\ tab\there 张三")
                                   : QStringLiteral("v%1-%2").arg(n).arg(f));
        v << "N1,E2";
        const QString name = QStringLiteral("%1.jpg").arg(n, 5, 10, QChar('0'));
        v << (pictureBytes > 0 ? "\\" + device + "\\" + name : QString()) << name;
        db.ExecuteSQL(Statements::InsertValueInfo(v));
        if (pictureBytes > 0) {
            QFile f(home + "/pic/" + device + "/" + name);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            QByteArray bytes(pictureBytes, char(n % 251));
            bytes.replace(0, 4, QByteArray::number(n).leftJustified(4, '-'));
            f.write(bytes);
        }
    }
    db.ExecuteSQL("UPDATE ValueInfo SET GPS=NULL WHERE Record_No='" + QString::number(first) + "'");
    ASSERT_EQ(db.ExecuteSQL("COMMIT"), 0);
}

void AddSealsAndAudit(const QString& home) {
    SQLite::Database db;
    ASSERT_EQ(db.Open(home + "/brtx.db"), 0);
    ASSERT_EQ(
        db.ExecuteSQL(
            "CREATE TABLE RecordSeal (Seq INTEGER PRIMARY KEY AUTOINCREMENT, Machine_NO TEXT, "
            "Record_No TEXT, Date_Date TEXT, Time_Time TEXT, RowHash TEXT, PictureHash TEXT, "
            "SealedAt TEXT, PrevSeal TEXT, Seal TEXT, Late INTEGER DEFAULT 0, Deleted INTEGER "
            "DEFAULT 0)"),
        0);
    ASSERT_EQ(db.ExecuteSQL(
                  "CREATE TABLE AuditLog (Seq INTEGER PRIMARY KEY AUTOINCREMENT, At TEXT, UserName "
                  "TEXT, HostName TEXT, Program TEXT, Action TEXT, Device TEXT, Records TEXT, "
                  "Outcome TEXT, PrevHash TEXT, Hash TEXT)"),
              0);
    ASSERT_EQ(db.ExecuteSQL("INSERT INTO RecordSeal (Machine_NO, Record_No, Date_Date, Time_Time, "
                            "RowHash, PictureHash, SealedAt, PrevSeal, Seal) SELECT Machine_NO, "
                            "Record_No, Date_Date, Time_Time, 'row' || Record_No, 'pic', "
                            "'2024-03-01T00:00:00', '', 'seal-' || Machine_NO || '-' || Record_No "
                            "FROM ValueInfo"),
              0);
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(db.ExecuteSQL(QStringLiteral("INSERT INTO AuditLog (At, UserName, HostName, "
                                               "Program, Action, Device, Records, Outcome, "
                                               "PrevHash, Hash) VALUES ('2024-03-0%1', 'op', "
                                               "'desk', 'brtx', 'download', 'D', '1-5', 'ok', "
                                               "'h%2', 'h%1')")
                                    .arg(i)
                                    .arg(i - 1)),
                  0);
}

QByteArray FileHash(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

QString UniqueName(const QString& base) {
    static int n = 0;
    return QStringLiteral("%1-%2-%3").arg(base).arg(QCoreApplication::applicationPid()).arg(++n);
}

} // namespace brtxtest
