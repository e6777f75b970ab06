#include "bench/BenchSeal.h"

#include "bench/BenchSupport.h"
#include "store/Schema.h"
#include "store/Seal.h"
#include "store/Statements.h"
#include "store/Stmt.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

namespace {

const QString kDevice = QStringLiteral("0123456789");

QStringList recordValues(int n) {
    QStringList v;
    v << kDevice << QString::number(n)
      << QStringLiteral("2026-%1-%2")
             .arg(1 + n % 12, 2, 10, QChar('0'))
             .arg(1 + n % 28, 2, 10, QChar('0'))
      << QStringLiteral("%1:%2:%3")
             .arg(n / 3600 % 24, 2, 10, QChar('0'))
             .arg(n / 60 % 60, 2, 10, QChar('0'))
             .arg(n % 60, 2, 10, QChar('0'))
      << "1" << QString::number(n % 100 / 1000.0, 'f', 3) << "mg/L";
    for (int i = 7; i < 35; ++i)
        v << QStringLiteral("value %1 of %2").arg(i).arg(n);
    v << "31.2 121.5" << QStringLiteral("\\%1\\%2.jpg").arg(kDevice).arg(n, 5, 10, QChar('0'))
      << QStringLiteral("%1.jpg").arg(n, 5, 10, QChar('0'));
    return v;
}

QByteArray pictureBytes(int n, int size) {
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(quint32(n) + 1);
    gen.fillRange(reinterpret_cast<quint32*>(b.data()), size / 4);
    return b;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Drops the file's pages from the page cache, so the next read comes from the disk.
void evict(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

// Stores one record and its picture in one transaction, sealed and signed as a download does
// it (the picture hashed while the row is stored). False when a step failed; *signProblem says
// why the seals were left unsigned ("" when they were signed).
bool storeSealed(SQLite::Database& db, const QStringList& values, const QString& file,
                 const QByteArray& bytes, const QString& picRoot, QString* signProblem) {
    Seal::PendingSeals seals(db);
    bool ok = seals.Begin();
    seals.HashPictureAhead(bytes);
    ok = ok && db.ExecuteSQL(Statements::InsertValueInfo(values)) == 0;
    seals.AddLastInsert();
    ok = ok && writeFile(file, bytes);
    seals.PictureSaved(file);
    ok = ok && seals.Commit(picRoot);
    *signProblem = seals.SignProblem();
    return ok;
}

// Processor time of this process so far (user and system, all threads).
double CpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

} // namespace

SealCostFigures RunSealCost(int records, int photoBytes) {
    SealCostFigures out;
    out.records = records;
    QTemporaryDir dir;
    for (bool sealed : {false, true}) {
        const QString home = dir.path() + (sealed ? "/sealed" : "/plain");
        const QString picRoot = home + "/pic";
        QDir().mkpath(picRoot + "/" + kDevice);
        SQLite::Database db;
        if (db.Open(home + "/brtx.db") != 0 || !Schema::CreateTables(db)) {
            out.problem = QStringLiteral("cannot make the database");
            return out;
        }
        const double start = CpuMs();
        for (int n = 1; n <= records; ++n) {
            const QStringList values = recordValues(n);
            const QString file = picRoot + "/" + kDevice + "/" + values.last();
            if (!sealed) {
                if (db.ExecuteSQL(Statements::InsertValueInfo(values)) != 0 ||
                    !writeFile(file, pictureBytes(n, photoBytes))) {
                    out.problem = QStringLiteral("storing record %1 failed").arg(n);
                    return out;
                }
                continue;
            }
            QString signProblem;
            if (!storeSealed(db, values, file, pictureBytes(n, photoBytes), picRoot,
                             &signProblem)) {
                out.problem = QStringLiteral("sealing record %1 failed").arg(n);
                return out;
            }
        }
        (sealed ? out.sealedMsPerRecord : out.plainMsPerRecord) = (CpuMs() - start) / records;
    }
    out.ok = true;
    return out;
}

VerifyFigures RunVerifyBench(int records, int photoBytes) {
    VerifyFigures out;
    out.records = records;
    QTemporaryDir dir;
    const QString picRoot = dir.path() + "/pic";
    QDir().mkpath(picRoot + "/" + kDevice);
    SQLite::Database db;
    if (db.Open(dir.path() + "/brtx.db") != 0 || !Schema::CreateTables(db)) {
        out.problem = QStringLiteral("cannot make the database");
        return out;
    }
    const double fillStart = NowMs();
    QStringList files;
    // As a download stores them: one transaction per record, each sealed and signed, so the
    // file holds one signature per record (the most verify has to deal with). The flush of
    // each commit is left out here: it is waiting, and only the result is measured.
    db.ExecuteSQL(QStringLiteral("PRAGMA synchronous=OFF"));
    for (int n = 1; n <= records; ++n) {
        const QStringList values = recordValues(n);
        files << picRoot + "/" + kDevice + "/" + values.last();
        QString signProblem;
        if (!storeSealed(db, values, files.last(), pictureBytes(n, photoBytes), picRoot,
                         &signProblem) ||
            !signProblem.isEmpty()) {
            out.problem = QStringLiteral("storing record %1 failed").arg(n);
            return out;
        }
    }
    db.ExecuteSQL(QStringLiteral("PRAGMA synchronous=FULL"));
    out.fillMs = NowMs() - fillStart;
    ::sync();
    auto evictAll = [&] {
        for (const QString& f : std::as_const(files))
            evict(f);
    };

    Seal::VerifyOptions options;
    options.picRoot = picRoot;
    options.pictures = false;
    double t = NowMs();
    double cpu = CpuMs();
    Seal::VerifyResult rows = Seal::Verify(db, options);
    out.rowsMs = NowMs() - t;
    out.rowsCpuMs = CpuMs() - cpu;
    // The list's first mark of the device: the same pass keeping each record's state, then
    // one record's picture.
    t = NowMs();
    const Seal::VerifyResult device = Seal::VerifyDevice(db, kDevice);
    const QStringList first = recordValues(1);
    const Seal::Status mark = Seal::StatusOf(db, device, first.value(0), first.value(1),
                                             first.value(2), first.value(3), picRoot);
    out.markMs = NowMs() - t;

    evictAll();
    t = NowMs();
    qint64 bytes = 0;
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (const QString& f : std::as_const(files)) {
        QFile file(f);
        if (file.open(QIODevice::ReadOnly))
            for (qint64 got; (got = file.read(buffer.data(), buffer.size())) > 0;)
                bytes += got;
    }
    out.readMs = NowMs() - t;

    evictAll();
    options.pictures = true;
    t = NowMs();
    cpu = CpuMs();
    const Seal::VerifyResult full = Seal::Verify(db, options);
    out.fullMs = NowMs() - t;
    out.fullCpuMs = CpuMs() - cpu;
    out.pictureBytes = full.pictureBytes;
    out.coldCache = true;
    out.ok = mark.state == Seal::State::Verified && rows.readable && full.readable &&
             rows.findings.isEmpty() && full.findings.isEmpty() && full.verified == records &&
             bytes == full.pictureBytes;
    if (!out.ok)
        out.problem = QStringLiteral("verify found %1 problems, %2 verified")
                          .arg(full.findings.size())
                          .arg(full.verified);
    return out;
}

} // namespace bench
