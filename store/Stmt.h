#pragma once
// A prepared statement with bound text values, for the seal and audit code: values never
// become part of the statement text, and cells are read as the stored UTF-8 bytes.
#include <QByteArray>
#include <QString>

#include <sqlite3.h>

namespace SQLite {

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        if (!db || sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    Stmt(sqlite3* db, const QByteArray& sql) : Stmt(db, sql.constData()) {}
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    Stmt& bind(int i, const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        if (m_stmt)
            sqlite3_bind_text(m_stmt, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, qint64 value) {
        if (m_stmt)
            sqlite3_bind_int64(m_stmt, i, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
    void reset() {
        if (m_stmt) {
            sqlite3_reset(m_stmt);
            sqlite3_clear_bindings(m_stmt);
        }
    }
    QByteArrayView bytes(int c) const {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, c));
        return p ? QByteArrayView(p, sqlite3_column_bytes(m_stmt, c)) : QByteArrayView("", 0);
    }
    QString text(int c) const { return QString::fromUtf8(bytes(c)); }
    qint64 int64(int c) const { return sqlite3_column_int64(m_stmt, c); }
    sqlite3_stmt* get() const { return m_stmt; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace SQLite
