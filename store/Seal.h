#pragma once
// Seals of stored records and their verification.
//
// Every ValueInfo row a download stores gets a seal in RecordSeal, written in the same
// transaction as the row and only once the row's picture is whole. The seals of one device
// form a chain in the order they were made (each names the seal before it), so an edited,
// removed or re-ordered seal shows. All hashes are SHA-256 (OpenSSL EVP, store/Sha256.h), written
// as 64 lower-case hex digits.
//
// Hash inputs ("field" = 4-byte big-endian byte count followed by the UTF-8 bytes):
//   RowHash     = SHA-256( field(v1) ... field(v38) ), the 38 ValueInfo values in table
//                 order (Machine_NO ... PictureName) as stored; NULL counts as "".
//   PictureHash = SHA-256 of the bytes of the file the row's Path names under the picture
//                 root; "" when Path is empty or the file was not there when sealing.
//   Seal        = SHA-256( field(Machine_NO) field(Record_No) field(Date_Date)
//                 field(Time_Time) field(RowHash) field(PictureHash) field(SealedAt)
//                 field(PrevSeal) field(Late as "0" or "1") )
//   PrevSeal    = Seal of the device's previous RecordSeal row (by Seq); "" for its first.
//   SealedAt    = UTC "yyyy-MM-ddTHH:mm:ss.zzzZ". Deleted is not hashed: a tombstone
//                 (Deleted = 1) counts only with an audit entry naming its seal, and that
//                 entry covered by a valid desk signature.
// Every transaction that writes seals or audit entries signs the heads it wrote with the
// desk key (store/DeskKey.h, which gives the signed bytes); Verify checks those signatures.
#include "store/SQLite.h"
#include "store/Sha256.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <thread>

namespace Seal {

extern const char* const kCreateRecordSeal;
extern const char* const kCreateAuditLog;

// Creates RecordSeal and AuditLog with their indexes when missing; false when a table
// cannot be made (a read-only file, for one).
bool EnsureTables(SQLite::Database& db);

// The current UTC time as "yyyy-MM-ddTHH:mm:ss.zzzZ".
QString UtcNow();

// Appends field(text) to the hash input: 4-byte big-endian length, then the bytes.
void AddField(Sha256& hash, QByteArrayView utf8);
QString Hex(const QByteArray& digest);

// SHA-256 of the file's bytes; "" when it cannot be opened. *readable tells which.
QString FileHash(const QString& path, bool* readable = nullptr, qint64* bytes = nullptr);

struct Record {
    qint64 seq = 0;
    QString machineNo, recordNo, date, time;
    QString rowHash, pictureHash, sealedAt, prevSeal, seal;
    bool late = false;
    bool deleted = false;
};
// The seal Record r should carry by its other fields.
QString ComputeSeal(const Record& r);

// Seals the ValueInfo row with the given rowid: reads it back as stored, hashes it and the
// picture its Path names, takes the device's latest seal and appends the new one. Must run
// inside the caller's write transaction (BEGIN IMMEDIATE) so that no other writer can take
// the same previous seal. late marks a row sealed after it was stored. False on a failed
// statement (nothing written).
// knownFile/knownHash: a picture file whose hash the caller has already (empty: none).
// onlyKnown: the row's picture is bound only when it is knownFile (the picture this
// transaction wrote); any other file its Path names (one that was there before the row) gets
// PictureHash "" instead of being read.
bool SealRow(SQLite::Database& db, qint64 rowid, const QString& picRoot, bool late = false,
             const QString& knownFile = QString(), const QString& knownHash = QString(),
             bool onlyKnown = false, QString* device = nullptr);

// The rows of one download reply, sealed together with the rows in one transaction:
// Begin() starts BEGIN IMMEDIATE, Add() notes an inserted row, Commit() seals the noted
// rows (their pictures are in place by then) and commits; Rollback() (also on destruction
// without Commit) drops rows and seals alike. A row's seal binds only the picture written
// from this reply (PictureSaved); a file that was there before is never bound to a new row.
// A record carried in another record's reply is stored without a seal; the reply of its own
// number brings its picture, and AddStoredUnsealed then seals it with that picture in the
// transaction that writes the picture.
class PendingSeals {
public:
    // program names the caller in an audit entry the desk key may need (a new key).
    explicit PendingSeals(SQLite::Database& db, const QString& program = QStringLiteral("page"))
        : m_db(db), m_program(program) {}
    ~PendingSeals();
    PendingSeals(const PendingSeals&) = delete;
    PendingSeals& operator=(const PendingSeals&) = delete;
    bool Begin();
    void AddLastInsert(); // the row the last insert on this connection made
    // The stored row of this key that has no live seal (a record carried in an earlier
    // reply): sealed at Commit when its Path names the picture saved from this reply, else
    // left as it is.
    void AddStoredUnsealed(const QString& machineNo, const QString& recordNo, const QString& date,
                           const QString& time);
    // Starts hashing the reply's picture on a helper thread while the rows are stored.
    void HashPictureAhead(const QByteArray& bytes);
    // The picture was written whole to file from those bytes: its seal takes that hash
    // instead of reading the file again. Any other picture is read from its file.
    void PictureSaved(const QString& file) { m_savedFile = file; }
    // The reply's picture hash, computed by the caller from the bytes it wrote (instead of
    // HashPictureAhead).
    void SetPictureHash(const QString& hex) {
        JoinHasher();
        m_aheadHash = hex;
    }
    // Seals, signs the heads of the chains it added to, and commits. A desk key that cannot be
    // used leaves the seals unsigned (they are stored all the same): SignProblem() says why.
    bool Commit(const QString& picRoot);
    void Rollback();

    // Several replies in one transaction: after Begin(), each reply's rows and picture are
    // noted between Mark() and SealReply(), which seals them (their picture is in place) and
    // keeps them; Undo() instead drops everything the reply wrote since its Mark(), the
    // replies before it staying. Commit() then signs the chains of them all and commits.
    bool Mark();
    bool SealReply(const QString& picRoot);
    void Undo();
    const QString& SignProblem() const { return m_signProblem; }

private:
    void JoinHasher();

    SQLite::Database& m_db;
    QString m_program;
    QString m_signProblem;
    QList<qint64> m_rows;
    QList<QPair<qint64, QString>> m_waiting; // rowid, stored Path
    QList<QPair<QString, qint64>> m_chains;  // each chain written and its first seal's Seq
    qsizetype m_chainsAtMark = 0;
    bool m_open = false;
    bool m_marked = false;
    std::thread m_hasher;
    QString m_aheadHash;
    QString m_savedFile;
};

// Seals every ValueInfo row (of one device, or all with an empty device) that has no seal,
// marked Late, in one transaction per device, with one audit entry "seal" each. Returns the
// number sealed, -1 on failure.
int SealUnsealed(SQLite::Database& db, const QString& device, const QString& picRoot,
                 const QString& program);

// Marks the live seal of a record deleted by the program (a tombstone) and writes the audit
// entry naming it, in one transaction. False when the record has no seal or a statement
// failed.
bool Tombstone(SQLite::Database& db, const QString& machineNo, const QString& recordNo,
               const QString& date, const QString& time, const QString& program);

// The program's own deletion of files (the history page's deletion handler): every record
// whose picture is among the files gets a tombstone, and one audit entry "delete" names what
// was deleted. Returns the number of tombstones.
int RecordDeletion(SQLite::Database& db, const QString& picRoot, const QStringList& files,
                   const QString& what, const QString& program);

// Signs, as signed later (Late), every chain of the device (all devices and the audit trail
// with an empty device) that has rows no signature covers: the operator's explicit vouching
// for what is stored, audited as "sign". Returns the number of chains signed, -1 on failure;
// *problem says why the desk key could not sign (nothing is written then).
int SignUnsigned(SQLite::Database& db, const QString& device, const QString& program,
                 QString* problem);

// Where a head noted earlier is now: whether the device's chain (device "audit": the audit
// trail) still holds that seal or hash, and how many rows came after it.
struct WitnessCheck {
    bool found = false;
    qint64 after = 0;
};
WitnessCheck FindWitness(SQLite::Database& db, const QString& device, const QString& value);

// ---- verification ----

enum class Problem {
    RowChanged,
    PictureChanged,
    PictureMissing,
    RowMissing,
    ChainBroken,
    Unsealed,
    SignatureInvalid, // a signature that does not verify, or names a head no longer stored
    Unsigned,         // not covered by a valid desk signature
    Resealed,         // more than one live seal for a key, or a tombstone without its signed entry
    KeyChanged,       // signatures by another key from here on
    WitnessMissing    // a head noted earlier is no longer in its chain
};
QString ProblemName(Problem p); // "ROW-CHANGED", ...

struct Finding {
    QString device, recordNo, date, time;
    Problem problem = Problem::Unsealed;
};

struct VerifyOptions {
    QString device;       // empty: every device
    QString picRoot;      // picture root
    bool pictures = true; // false: rows and chain only
    QString onlyKey;      // trust only this fingerprint ("" = every key stored in the file)
    bool records = false; // fill VerifyResult::records (the list's marks, the report check);
                          // rows that no seal names are then not listed in findings
};

// What verify found for one record key, for asking about single records afterwards.
struct RecordState {
    QString problem; // the first problem verify reports for the record ("" none)
    QString seal, sealedAt, pictureHash;
    QString path;      // Path of the stored row that matches the seal
    bool late = false; // sealed after it was stored
    bool sealed = false, deleted = false;
};

struct VerifyResult {
    bool readable = true; // false: a table could not be read (error says why)
    QString error;
    qint64 verified = 0; // records whose row (and picture) matched a sound seal
    qint64 pictureBytes = 0;
    QList<Finding> findings;
    // Each device's latest seal (device, Seq, Seal, SealedAt) in device order, and the last
    // audit row's Seq and Hash.
    struct Head {
        QString device;
        qint64 seq = 0;
        QString seal, sealedAt;
    };
    QList<Head> heads;
    qint64 auditSeq = 0;
    QString auditHash;
    QStringList trusted; // fingerprints of the keys trusted
    // Audit entries and signatures with a problem, as lines of their own: device (or chain),
    // "audit N" or "signature N", date, time and the problem.
    QList<Finding> other;
    // With VerifyOptions::records: every record key (device, number, date and time joined by
    // U+001F) that has a row or a seal. A record counts as failing also when verify reports
    // its whole chain (an invalid signature) or the link after its seal (a seal recomputed in
    // place breaks the chain at the next record).
    QHash<QString, RecordState> records;
};

VerifyResult Verify(SQLite::Database& db, const VerifyOptions& options);

// One record's state for a list or a report: the one check verify makes (row, seal, chain
// links, signatures, duplicate seals and tombstones), plus the record's picture. Verified only
// where verify prints nothing for the record.
enum class State { Verified, Changed, PictureMissing, Unsealed };
struct Status {
    State state = State::Unsealed;
    QString seal;                       // the seal checked, "" when none
    QString sealedAt;                   // its time
    bool late = false;                  // sealed after it was stored
    QString detail;                     // what failed, e.g. "ROW-CHANGED"
    QString head;                       // the device's current chain head (its latest seal)
    QString deskLabel, deskFingerprint; // the desk key verify trusts (the newest)
};
QString RecordKey(const QString& machineNo, const QString& recordNo, const QString& date,
                  const QString& time);
// The device's rows, chain and signatures checked once (pictures left out), for asking about
// many of its records.
VerifyResult VerifyDevice(SQLite::Database& db, const QString& machineNo);
// One record's state from a VerifyDevice result; hashes that record's picture only.
Status StatusOf(SQLite::Database& db, const VerifyResult& device, const QString& machineNo,
                const QString& recordNo, const QString& date, const QString& time,
                const QString& picRoot);
// The same, checking the record's device first.
Status StatusOf(SQLite::Database& db, const QString& machineNo, const QString& recordNo,
                const QString& date, const QString& time, const QString& picRoot);

} // namespace Seal
