#pragma once
// The desk key and the chain signatures.
//
// Each data folder has one Ed25519 key pair, made through OpenSSL on first use: the private
// key in desk.key beside brtx.db (PKCS#8 PEM, mode 0600, owned by the user), the public key in
// the table DeskKey. A key's fingerprint is the SHA-256 of its 32 raw public-key bytes, written
// as 64 lower-case hex digits (16 where space is short).
//
//   DeskKey(Fingerprint TEXT PRIMARY KEY, PublicKey TEXT /*SubjectPublicKeyInfo PEM*/,
//           Label TEXT /*host name unless set*/, CreatedAt TEXT)
//   ChainSignature(Seq INTEGER PRIMARY KEY AUTOINCREMENT, Chain TEXT, FromSeq INTEGER,
//           HeadSeq INTEGER, Head TEXT, Fingerprint TEXT, SignedAt TEXT, Late INTEGER,
//           Prev TEXT, Signature TEXT)
//
// Chains: "seal:" + device number for the RecordSeal rows of one device, "audit" for the
// AuditLog. A write transaction that adds to a chain signs the chain's new head (the Seal or
// Hash of its newest row, and that row's Seq) before it commits: one signature per chain it
// touched. FromSeq is the Seq of the first row that transaction wrote to the chain: a
// signature vouches for the chain's rows from FromSeq to HeadSeq (the chain's links tie them
// to the signed head), never for rows it found there, so a row someone else slipped into the
// chain stays unsigned. "brtx-cli seal --sign" signs a whole chain afterwards (FromSeq 0,
// Late 1, audited).
//
// Signed bytes (Ed25519, no pre-hash), field() as in Seal.h (4-byte big-endian byte count,
// then the UTF-8 bytes):
//   Message = field("brtx-chain-signature-v1") field(Chain) field(FromSeq in decimal)
//             field(HeadSeq in decimal) field(Head) field(Fingerprint) field(SignedAt)
//             field(Late as "0" or "1") field(Prev)
//   Signature = base64 of the 64-byte Ed25519 signature of Message
//   Prev = lower-case hex SHA-256( Message of the previous ChainSignature row (by Seq, any
//          chain) followed by field(its Signature text) ); "" for the first row.
// The signature rows thus form one chain of their own: a valid newest signature vouches for
// every row before it whose links hold, so verify needs one Ed25519 check per unbroken run.
// SignedAt is UTC "yyyy-MM-ddTHH:mm:ss.zzzZ"; Late is 1 for heads signed afterwards by
// "brtx-cli seal --sign".
#include "store/SQLite.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

struct evp_pkey_st;

namespace Desk {

inline const char* const kDomain = "brtx-chain-signature-v1";
inline const char* const kAuditChain = "audit";
QString SealChain(const QString& device); // "seal:" + device

// Creates DeskKey and ChainSignature when missing.
bool EnsureTables(SQLite::Database& db);

// desk.key beside the database file ("" for a database without a file).
QString KeyPathOf(SQLite::Database& db);

enum class KeyState { Ready, Unusable, NoFile };

// The desk's public key as stored.
struct PublicKey {
    QString fingerprint, pem, label, createdAt;
};

// Loads the desk key of the database's folder, making one when desk.key does not exist.
// A new key while the file already holds keys is audited (action "desk-key"). Refuses a
// key file that cannot be read, is not a regular file, is readable by group or others or
// belongs to another user: then state is Unusable and problem says why (no key material in
// it). Must run inside the caller's write transaction.
struct Loaded {
    KeyState state = KeyState::NoFile;
    QString problem;
    PublicKey key;
    QByteArray privatePem; // never logged
    std::shared_ptr<evp_pkey_st> privateKey;
    bool audited = false; // a "desk-key" audit entry was added
    qint64 auditSeq = 0;  // its Seq
};
Loaded LoadOrCreate(SQLite::Database& db, const QString& program);

// The fingerprint of the key in a desk.key file, read with the same checks; "" when there is
// none or it cannot be used. Touches no database (for the About box).
QString FingerprintOfKeyFile(const QString& keyPath);

// The raw 64-byte Ed25519 signature of bytes by the key in a desk.key file (read with the same
// checks, never made), with that key's public half; empty and a reason when it cannot sign.
QByteArray SignFile(const QString& keyPath, const QByteArray& bytes, PublicKey* key,
                    QString* problem);

// Signs the head of each given chain (chain -> Seq of the first row this transaction wrote to
// it; 0 with late) inside the caller's write transaction, unless it is signed at its head
// already. Returns false only when a statement failed (the caller rolls back); an unusable
// key leaves the heads unsigned and says why in *problem.
using Written = QList<QPair<QString, qint64>>;
bool SignHeads(SQLite::Database& db, const Written& chains, const QString& program,
               bool late = false, QString* problem = nullptr);
// The newest rows of the file's AuditLog / RecordSeal: what a transaction just wrote.
qint64 LastInsert(SQLite::Database& db);
// Whether a chain has rows that no signature covers, for "seal --sign".
QStringList UnsignedChains(SQLite::Database& db, const QString& device);
// The desk key of the database's folder (made when missing); empty fingerprint and a reason
// when it cannot be used.
PublicKey CurrentKey(SQLite::Database& db, const QString& program, QString* problem);

// The keys stored in the file, oldest first.
QList<PublicKey> Keys(SQLite::Database& db, bool* ok = nullptr);
// Sets the label of the current desk key (audited). False when there is no usable key.
bool SetLabel(SQLite::Database& db, const QString& label, const QString& program, QString* problem);

// ---- checking ----

struct SignatureRow {
    qint64 seq = 0, fromSeq = 0, headSeq = 0;
    QString chain, head, fingerprint, signedAt, prev, signature;
    bool late = false;
};
QByteArray MessageOf(const SignatureRow& r);
QString LinkOf(const SignatureRow& r);

// Whether signature (base64) is a valid Ed25519 signature of message under the PEM public key.
bool VerifySignature(const QString& publicPem, const QByteArray& message, const QString& signature);

// The result of checking all signatures: for every chain the highest HeadSeq a valid
// signature covers, and what was wrong.
struct Check {
    bool readable = true;
    QString error;
    QStringList trusted; // fingerprints trusted, oldest first
    // Per chain the Seq ranges [from, head] valid signatures cover, sorted and merged.
    QHash<QString, QList<QPair<qint64, qint64>>> covered;
    bool Covers(const QString& chain, qint64 seq) const;
    struct Issue {
        QString chain;
        qint64 signatureSeq = 0, headSeq = 0;
        QString signedAt;
        QString what; // "SIGNATURE-INVALID", "KEY-CHANGED"
    };
    QList<Issue> issues;
    QSet<QString> invalidChains; // chains with a SIGNATURE-INVALID
};
// headAt(chain, seq, &head) gives the Seal or Hash stored at that Seq of the chain: 1 found,
// 0 no such row, -1 a chain this check does not look at. onlyKey: trust only that fingerprint
// ("" = every stored key).
using HeadLookup = std::function<int(const QString& chain, qint64 seq, QByteArray* head)>;
Check CheckSignatures(SQLite::Database& db, const HeadLookup& headAt, const QString& onlyKey);

} // namespace Desk
