#include "store/DeskKey.h"

#include "store/Audit.h"
#include "store/Seal.h"
#include "store/Sha256.h"
#include "store/Stmt.h"

#include <QFileInfo>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Desk {

namespace {

const char* const kCreateDeskKey =
    "CREATE TABLE IF NOT EXISTS DeskKey (Fingerprint TEXT PRIMARY KEY, PublicKey TEXT NOT NULL, "
    "Label TEXT NOT NULL, CreatedAt TEXT NOT NULL)";
const char* const kCreateChainSignature =
    "CREATE TABLE IF NOT EXISTS ChainSignature (Seq INTEGER PRIMARY KEY AUTOINCREMENT, Chain TEXT "
    "NOT NULL, FromSeq INTEGER NOT NULL, HeadSeq INTEGER NOT NULL, Head TEXT NOT NULL, Fingerprint "
    "TEXT NOT NULL, SignedAt "
    "TEXT NOT NULL, Late INTEGER NOT NULL DEFAULT 0, Prev TEXT NOT NULL, Signature TEXT NOT NULL)";
const char* const kIndex =
    "CREATE INDEX IF NOT EXISTS ChainSignature_Chain ON ChainSignature(Chain,HeadSeq)";

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

QByteArray bioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? QByteArray(data, n) : QByteArray();
}

// The public half as PEM, and its fingerprint.
bool publicOf(EVP_PKEY* key, PublicKey& out) {
    unsigned char raw[32];
    size_t len = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &len) != 1 || len != sizeof raw)
        return false;
    out.fingerprint = Sha256::hex(QByteArrayView(reinterpret_cast<const char*>(raw), 32));
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1)
        return false;
    out.pem = QString::fromLatin1(bioText(bio.get()));
    return true;
}

Pkey readPrivate(const QByteArray& pem) {
    Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (!bio)
        return nullptr;
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

Pkey readPublic(const QString& pem) {
    const QByteArray bytes = pem.toLatin1();
    Bio bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
    if (!bio)
        return nullptr;
    Pkey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return nullptr;
    return key;
}

// Reads desk.key, refusing a file anyone else could read or replace.
KeyState readKeyFile(const QString& path, QByteArray& pem, QString& problem) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return KeyState::NoFile;
        problem = QStringLiteral("%1 cannot be read: %2")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return KeyState::Unusable;
    }
    struct stat st {};
    KeyState state = KeyState::Ready;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("%1 is not a regular file").arg(path);
        state = KeyState::Unusable;
    } else if (st.st_uid != ::geteuid()) {
        problem = QStringLiteral("%1 belongs to another user").arg(path);
        state = KeyState::Unusable;
    } else if ((st.st_mode & 077) != 0) {
        problem = QStringLiteral("%1 can be read by other users (mode %2, needs 0600)")
                      .arg(path)
                      .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
        state = KeyState::Unusable;
    } else if (st.st_size > 64 * 1024) {
        problem = QStringLiteral("%1 is not a desk key").arg(path);
        state = KeyState::Unusable;
    } else {
        pem.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < pem.size()) {
            const ssize_t n = ::read(fd, pem.data() + got, size_t(pem.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        pem.resize(got);
    }
    ::close(fd);
    return state;
}

// Makes a new key and writes it to path, which must not exist (O_EXCL, mode 0600 from the
// start, whatever the umask).
KeyState createKeyFile(const QString& path, QByteArray& pem, QString& problem) {
    EVP_PKEY* raw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        problem = QStringLiteral("a desk key could not be made");
        return KeyState::Unusable;
    }
    Pkey key(raw);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        problem = QStringLiteral("a desk key could not be made");
        return KeyState::Unusable;
    }
    pem = bioText(bio.get());
    const QByteArray name = QFile::encodeName(path);
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) // made by another program at the same moment: use that one
            return readKeyFile(path, pem, problem);
        problem = QStringLiteral("%1 cannot be written: %2")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return KeyState::Unusable;
    }
    ::fchmod(fd, 0600);
    qsizetype done = 0;
    while (done < pem.size()) {
        const ssize_t n = ::write(fd, pem.constData() + done, size_t(pem.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const bool ok = done == pem.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(name.constData());
        problem = QStringLiteral("%1 cannot be written").arg(path);
        return KeyState::Unusable;
    }
    return KeyState::Ready;
}

QByteArray fieldBytes(QByteArrayView utf8) {
    QByteArray out(4, Qt::Uninitialized);
    const quint32 n = quint32(utf8.size());
    out[0] = char(n >> 24);
    out[1] = char(n >> 16);
    out[2] = char(n >> 8);
    out[3] = char(n);
    out.append(utf8);
    return out;
}

#define SIGNATURE_COLUMNS "Seq,Chain,FromSeq,HeadSeq,Head,Fingerprint,SignedAt,Late,Prev,Signature"

SignatureRow readRow(const SQLite::Stmt& st) {
    SignatureRow r;
    r.seq = st.int64(0);
    r.chain = st.text(1);
    r.fromSeq = st.int64(2);
    r.headSeq = st.int64(3);
    r.head = st.text(4);
    r.fingerprint = st.text(5);
    r.signedAt = st.text(6);
    r.late = st.int64(7) != 0;
    r.prev = st.text(8);
    r.signature = st.text(9);
    return r;
}

bool tableExists(SQLite::Database& db, const char* name) {
    SQLite::Stmt st(db.Handle(), "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?");
    st.bind(1, QString::fromLatin1(name));
    return st.step() == SQLITE_ROW;
}

} // namespace

QString SealChain(const QString& device) {
    return QStringLiteral("seal:") + device;
}

bool EnsureTables(SQLite::Database& db) {
    bool ok = db.ExecuteSQL(QString::fromLatin1(kCreateDeskKey)) == SQLITE_OK;
    ok = db.ExecuteSQL(QString::fromLatin1(kCreateChainSignature)) == SQLITE_OK && ok;
    if (ok)
        db.ExecuteSQL(QString::fromLatin1(kIndex));
    return ok;
}

QString KeyPathOf(SQLite::Database& db) {
    const char* file = db.Handle() ? sqlite3_db_filename(db.Handle(), "main") : nullptr;
    if (!file || !*file)
        return QString();
    return QFileInfo(QString::fromUtf8(file)).absolutePath() + QStringLiteral("/desk.key");
}

Loaded LoadOrCreate(SQLite::Database& db, const QString& program) {
    Loaded out;
    const QString path = KeyPathOf(db);
    if (path.isEmpty()) {
        out.state = KeyState::Unusable;
        out.problem = QStringLiteral("the database has no folder for a desk key");
        return out;
    }
    bool made = false;
    out.state = readKeyFile(path, out.privatePem, out.problem);
    if (out.state == KeyState::NoFile) {
        out.state = createKeyFile(path, out.privatePem, out.problem);
        made = out.state == KeyState::Ready;
    }
    if (out.state != KeyState::Ready)
        return out;
    // Parsing the PEM costs more than the rest of a signature: the key parsed last time for
    // this connection is used while the file's bytes are the same.
    struct Cache {
        QString path;
        QByteArray pem;
        std::shared_ptr<EVP_PKEY> key;
        PublicKey pub;
    };
    std::shared_ptr<void>& slot = db.DeskKeyCache();
    auto* cache = static_cast<Cache*>(slot.get());
    if (cache && cache->path == path && cache->pem == out.privatePem) {
        out.privateKey = cache->key;
        out.key = cache->pub;
    } else {
        Pkey key = readPrivate(out.privatePem);
        if (!key || !publicOf(key.get(), out.key)) {
            out.state = KeyState::Unusable;
            out.problem = QStringLiteral("%1 holds no Ed25519 private key").arg(path);
            out.privatePem.clear();
            return out;
        }
        out.privateKey = std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free);
        auto fresh = std::make_shared<Cache>(Cache{path, out.privatePem, out.privateKey, out.key});
        slot = fresh;
    }
    // The public key goes into the file once; a key new to a file that already has another
    // one is audited, so the change shows in the trail as well as at its boundary in verify.
    SQLite::Stmt known(db.Handle(), "SELECT Label,CreatedAt FROM DeskKey WHERE Fingerprint=?");
    known.bind(1, out.key.fingerprint);
    if (known.step() == SQLITE_ROW) {
        out.key.label = known.text(0);
        out.key.createdAt = known.text(1);
        return out;
    }
    SQLite::Stmt others(db.Handle(), "SELECT COUNT(*) FROM DeskKey");
    const bool hadKeys = others.step() == SQLITE_ROW && others.int64(0) > 0;
    out.key.label = Audit::CurrentHost();
    out.key.createdAt = Seal::UtcNow();
    SQLite::Stmt insert(
        db.Handle(), "INSERT INTO DeskKey(Fingerprint,PublicKey,Label,CreatedAt) VALUES(?,?,?,?)");
    insert.bind(1, out.key.fingerprint).bind(2, out.key.pem).bind(3, out.key.label);
    insert.bind(4, out.key.createdAt);
    if (insert.step() != SQLITE_DONE) {
        out.state = KeyState::Unusable;
        out.problem = QStringLiteral("the desk key cannot be stored in the database");
        return out;
    }
    if (hadKeys && Audit::AppendInTransaction(
                       db, program, QStringLiteral("desk-key"), QString(), out.key.fingerprint,
                       made ? QStringLiteral("new desk key: desk.key was missing")
                            : QStringLiteral("another desk key in desk.key"))) {
        out.audited = true;
        out.auditSeq = sqlite3_last_insert_rowid(db.Handle());
    }
    return out;
}

QString FingerprintOfKeyFile(const QString& keyPath) {
    QByteArray pem;
    QString problem;
    if (readKeyFile(keyPath, pem, problem) != KeyState::Ready)
        return QString();
    Pkey key = readPrivate(pem);
    PublicKey pub;
    return key && publicOf(key.get(), pub) ? pub.fingerprint : QString();
}

QByteArray SignFile(const QString& keyPath, const QByteArray& bytes, PublicKey* key,
                    QString* problem) {
    QByteArray pem;
    QString why;
    if (readKeyFile(keyPath, pem, why) != KeyState::Ready) {
        if (problem)
            *problem = why.isEmpty() ? QStringLiteral("there is no desk key") : why;
        return QByteArray();
    }
    Pkey privateKey = readPrivate(pem);
    PublicKey pub;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    unsigned char sig[64];
    size_t len = sizeof sig;
    if (!privateKey || !publicOf(privateKey.get(), pub) || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, privateKey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), sig, &len, reinterpret_cast<const unsigned char*>(bytes.data()),
                       size_t(bytes.size())) != 1) {
        if (problem)
            *problem = QStringLiteral("the desk key cannot sign");
        return QByteArray();
    }
    if (key)
        *key = pub;
    return QByteArray(reinterpret_cast<const char*>(sig), qsizetype(len));
}

QByteArray MessageOf(const SignatureRow& r) {
    QByteArray m;
    m.reserve(256);
    m += fieldBytes(kDomain);
    m += fieldBytes(r.chain.toUtf8());
    m += fieldBytes(QByteArray::number(r.fromSeq));
    m += fieldBytes(QByteArray::number(r.headSeq));
    m += fieldBytes(r.head.toUtf8());
    m += fieldBytes(r.fingerprint.toUtf8());
    m += fieldBytes(r.signedAt.toUtf8());
    m += fieldBytes(r.late ? "1" : "0");
    m += fieldBytes(r.prev.toUtf8());
    return m;
}

QString LinkOf(const SignatureRow& r) {
    return Sha256::hex(MessageOf(r) + fieldBytes(r.signature.toLatin1()));
}

namespace {

QString signMessage(EVP_PKEY* key, const QByteArray& message) {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1)
        return QString();
    unsigned char sig[64];
    size_t len = sizeof sig;
    if (EVP_DigestSign(ctx.get(), sig, &len,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       size_t(message.size())) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(sig), qsizetype(len)).toBase64());
}

// The newest row of a chain: its Seq and Seal/Hash.
bool headOf(SQLite::Database& db, const QString& chain, qint64& seq, QString& head) {
    if (chain == QLatin1String(kAuditChain)) {
        SQLite::Stmt st(db.Handle(), "SELECT Seq,Hash FROM AuditLog ORDER BY Seq DESC LIMIT 1");
        if (st.step() != SQLITE_ROW)
            return false;
        seq = st.int64(0);
        head = st.text(1);
        return true;
    }
    SQLite::Stmt st(db.Handle(),
                    "SELECT Seq,Seal FROM RecordSeal WHERE Machine_NO=? ORDER BY Seq DESC LIMIT 1");
    st.bind(1, chain.mid(5));
    if (st.step() != SQLITE_ROW)
        return false;
    seq = st.int64(0);
    head = st.text(1);
    return true;
}

} // namespace

bool SignHeads(SQLite::Database& db, const Written& chains, const QString& program, bool late,
               QString* problem) {
    if (sqlite3_table_column_metadata(db.Handle(), "main", "ChainSignature", "Signature", nullptr,
                                      nullptr, nullptr, nullptr, nullptr) != SQLITE_OK &&
        !EnsureTables(db))
        return false;
    Loaded loaded;
    bool loadedOnce = false;
    Written all = chains;
    for (qsizetype c = 0; c < all.size(); ++c) {
        const QString chain = all[c].first;
        SignatureRow r;
        r.chain = chain;
        r.fromSeq = late ? 0 : all[c].second;
        if (!headOf(db, chain, r.headSeq, r.head))
            continue;
        SQLite::Stmt done(db.Handle(), "SELECT 1 FROM ChainSignature WHERE Chain=? AND HeadSeq=? "
                                       "AND Head=?");
        done.bind(1, chain).bind(2, r.headSeq).bind(3, r.head);
        if (!late && done.step() == SQLITE_ROW)
            continue;
        if (!loadedOnce) {
            loaded = LoadOrCreate(db, program);
            loadedOnce = true;
            // A new key added a "desk-key" audit entry: the audit head is signed as well.
            if (loaded.audited) {
                bool listed = false;
                for (auto& [name, from] : all)
                    if (name == QLatin1String(kAuditChain)) {
                        from = qMin(from, loaded.auditSeq);
                        listed = true;
                    }
                if (!listed)
                    all.append({QString::fromLatin1(kAuditChain), loaded.auditSeq});
                if (chain == QLatin1String(kAuditChain))
                    r.fromSeq = late ? 0 : qMin(r.fromSeq, loaded.auditSeq);
            }
        }
        if (loaded.state != KeyState::Ready) {
            if (problem)
                *problem = loaded.problem;
            return true; // stored and sealed, left unsigned
        }
        // A new key may have added an audit entry: the audit chain's head moved.
        if (chain == QLatin1String(kAuditChain) && !headOf(db, chain, r.headSeq, r.head))
            continue;
        SQLite::Stmt prev(db.Handle(), "SELECT " SIGNATURE_COLUMNS
                                       " FROM ChainSignature ORDER BY Seq DESC LIMIT 1");
        const int rc = prev.step();
        if (rc == SQLITE_ROW) {
            r.prev = LinkOf(readRow(prev));
        } else if (rc != SQLITE_DONE) {
            return false;
        }
        r.fingerprint = loaded.key.fingerprint;
        r.signedAt = Seal::UtcNow();
        r.late = late;
        r.signature = signMessage(loaded.privateKey.get(), MessageOf(r));
        if (r.signature.isEmpty()) {
            if (problem)
                *problem = QStringLiteral("the desk key could not sign");
            return true;
        }
        SQLite::Stmt insert(db.Handle(),
                            "INSERT INTO ChainSignature(Chain,FromSeq,HeadSeq,Head,Fingerprint,"
                            "SignedAt,Late,Prev,Signature) VALUES(?,?,?,?,?,?,?,?,?)");
        insert.bind(1, r.chain).bind(2, r.fromSeq).bind(3, r.headSeq).bind(4, r.head);
        insert.bind(5, r.fingerprint).bind(6, r.signedAt).bind(7, qint64(late ? 1 : 0));
        insert.bind(8, r.prev).bind(9, r.signature);
        if (insert.step() != SQLITE_DONE)
            return false;
    }
    return true;
}

QList<PublicKey> Keys(SQLite::Database& db, bool* ok) {
    QList<PublicKey> keys;
    if (!tableExists(db, "DeskKey")) {
        if (ok)
            *ok = true;
        return keys;
    }
    SQLite::Stmt st(db.Handle(), "SELECT Fingerprint,PublicKey,Label,CreatedAt FROM DeskKey "
                                 "ORDER BY CreatedAt,Fingerprint");
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        keys.append(PublicKey{st.text(0), st.text(1), st.text(2), st.text(3)});
    if (ok)
        *ok = st.ok() && rc == SQLITE_DONE;
    return keys;
}

bool SetLabel(SQLite::Database& db, const QString& label, const QString& program,
              QString* problem) {
    if (!Seal::EnsureTables(db) || !EnsureTables(db) ||
        db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK)
        return false;
    const Loaded loaded = LoadOrCreate(db, program);
    bool ok = loaded.state == KeyState::Ready;
    if (!ok && problem)
        *problem = loaded.problem;
    if (ok) {
        SQLite::Stmt st(db.Handle(), "UPDATE DeskKey SET Label=? WHERE Fingerprint=?");
        st.bind(1, label).bind(2, loaded.key.fingerprint);
        ok = st.step() == SQLITE_DONE &&
             Audit::AppendInTransaction(db, program, QStringLiteral("desk-label"), QString(),
                                        loaded.key.fingerprint, label) &&
             SignHeads(db,
                       {{QString::fromLatin1(kAuditChain),
                         loaded.audited ? loaded.auditSeq : LastInsert(db)}},
                       program);
    }
    if (!ok || db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        return false;
    }
    return true;
}

bool VerifySignature(const QString& publicPem, const QByteArray& message,
                     const QString& signature) {
    Pkey key = readPublic(publicPem);
    const QByteArray sig =
        QByteArray::fromBase64(signature.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || sig.size() != 64 ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.constData()),
                            size_t(sig.size()),
                            reinterpret_cast<const unsigned char*>(message.constData()),
                            size_t(message.size())) == 1;
}

Check CheckSignatures(SQLite::Database& db, const HeadLookup& headAt, const QString& onlyKey) {
    Check check;
    QHash<QString, QString> pems;
    bool ok = true;
    for (const PublicKey& k : Keys(db, &ok)) {
        pems.insert(k.fingerprint, k.pem);
        if (onlyKey.isEmpty())
            check.trusted.append(k.fingerprint);
    }
    if (!onlyKey.isEmpty())
        check.trusted.append(onlyKey);
    QList<SignatureRow> rows;
    if (ok && tableExists(db, "ChainSignature")) {
        SQLite::Stmt st(db.Handle(),
                        "SELECT " SIGNATURE_COLUMNS " FROM ChainSignature ORDER BY Seq");
        int rc;
        while ((rc = st.step()) == SQLITE_ROW)
            rows.append(readRow(st));
        ok = st.ok() && rc == SQLITE_DONE;
    }
    if (!ok) {
        check.readable = false;
        check.error = QStringLiteral("the signature tables cannot be read: ") +
                      QString::fromUtf8(sqlite3_errmsg(db.Handle()));
        return check;
    }
    // Newest first: a row verified by its own signature vouches for every older row its
    // links reach, so an unbroken run costs one Ed25519 check.
    QList<bool> valid(rows.size(), false);
    bool vouched = false;
    for (qsizetype i = rows.size() - 1; i >= 0; --i) {
        const SignatureRow& r = rows[i];
        if (!vouched) {
            const QString pem = pems.value(r.fingerprint);
            vouched = !pem.isEmpty() && VerifySignature(pem, MessageOf(r), r.signature);
            if (!vouched) {
                check.issues.append(Check::Issue{r.chain, r.seq, r.headSeq, r.signedAt,
                                                 QStringLiteral("SIGNATURE-INVALID")});
                check.invalidChains.insert(r.chain);
            }
        }
        valid[i] = vouched;
        if (vouched && i > 0)
            vouched = r.prev == LinkOf(rows[i - 1]);
    }
    // Each valid signature covers its chain up to its head, when the head it names is the
    // one stored there.
    QSet<QString> mismatched;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (!valid[i])
            continue;
        const SignatureRow& r = rows[i];
        QByteArray stored;
        const int found = headAt(r.chain, r.headSeq, &stored);
        if (found < 0)
            continue; // a chain this verify does not look at (another device)
        if (found == 0 || stored != r.head.toUtf8()) {
            if (!mismatched.contains(r.chain)) {
                mismatched.insert(r.chain);
                check.issues.append(Check::Issue{r.chain, r.seq, r.headSeq, r.signedAt,
                                                 QStringLiteral("SIGNATURE-INVALID")});
                check.invalidChains.insert(r.chain);
            }
            continue;
        }
        check.covered[r.chain].append({r.fromSeq, r.headSeq});
    }
    for (auto& ranges : check.covered) {
        std::sort(ranges.begin(), ranges.end());
        QList<QPair<qint64, qint64>> merged;
        for (const auto& range : std::as_const(ranges)) {
            if (!merged.isEmpty() && range.first <= merged.last().second + 1)
                merged.last().second = qMax(merged.last().second, range.second);
            else
                merged.append(range);
        }
        ranges = merged;
    }
    // The key boundary: a valid signature by another key than the one before it (or, with
    // onlyKey, than the trusted one), reported once where it changes.
    QString previous = onlyKey;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (!valid[i])
            continue;
        const SignatureRow& r = rows[i];
        if (!previous.isEmpty() && r.fingerprint != previous)
            check.issues.append(
                Check::Issue{r.chain, r.seq, r.headSeq, r.signedAt, QStringLiteral("KEY-CHANGED")});
        previous = r.fingerprint;
    }
    std::stable_sort(check.issues.begin(), check.issues.end(),
                     [](const Check::Issue& a, const Check::Issue& b) {
                         return a.signatureSeq < b.signatureSeq;
                     });
    return check;
}

bool Check::Covers(const QString& chain, qint64 seq) const {
    const auto it = covered.constFind(chain);
    if (it == covered.cend())
        return false;
    const auto after =
        std::upper_bound(it->cbegin(), it->cend(), seq,
                         [](qint64 q, const QPair<qint64, qint64>& r) { return q < r.first; });
    return after != it->cbegin() && seq <= std::prev(after)->second;
}

qint64 LastInsert(SQLite::Database& db) {
    return sqlite3_last_insert_rowid(db.Handle());
}

QStringList UnsignedChains(SQLite::Database& db, const QString& device) {
    QStringList chains;
    if (!tableExists(db, "RecordSeal"))
        return chains;
    // A chain whose head is not signed, or which has a row outside every signed range.
    SQLite::Stmt st(db.Handle(),
                    "SELECT DISTINCT Machine_NO FROM RecordSeal WHERE ?='' OR Machine_NO=? "
                    "ORDER BY 1");
    st.bind(1, device).bind(2, device);
    QStringList all;
    while (st.step() == SQLITE_ROW)
        all.append(SealChain(st.text(0)));
    if (device.isEmpty() && tableExists(db, "AuditLog"))
        all.append(QString::fromLatin1(kAuditChain));
    const bool haveSignatures = tableExists(db, "ChainSignature");
    for (const QString& chain : std::as_const(all)) {
        const bool audit = chain == QLatin1String(kAuditChain);
        if (!haveSignatures) {
            chains.append(chain);
            continue;
        }
        // Rows of the chain not inside any signature's range (the check that matters is
        // verify's; this one only decides what to sign).
        SQLite::Stmt gap(
            db.Handle(),
            audit ? "SELECT 1 FROM AuditLog a WHERE NOT EXISTS (SELECT 1 FROM ChainSignature c "
                    "WHERE c.Chain=? AND a.Seq BETWEEN c.FromSeq AND c.HeadSeq) LIMIT 1"
                  : "SELECT 1 FROM RecordSeal s WHERE s.Machine_NO=? AND NOT EXISTS (SELECT 1 "
                    "FROM ChainSignature c WHERE c.Chain=? AND s.Seq BETWEEN c.FromSeq AND "
                    "c.HeadSeq) LIMIT 1");
        if (audit)
            gap.bind(1, chain);
        else
            gap.bind(1, chain.mid(5)).bind(2, chain);
        if (gap.step() == SQLITE_ROW)
            chains.append(chain);
    }
    return chains;
}

PublicKey CurrentKey(SQLite::Database& db, const QString& program, QString* problem) {
    if (!Seal::EnsureTables(db) || !EnsureTables(db) ||
        db.ExecuteSQL(QStringLiteral("BEGIN IMMEDIATE")) != SQLITE_OK) {
        if (problem)
            *problem = QStringLiteral("the database cannot be written");
        return PublicKey();
    }
    Loaded loaded = LoadOrCreate(db, program);
    bool ok = loaded.state == KeyState::Ready;
    if (ok && loaded.audited)
        ok = SignHeads(db, {{QString::fromLatin1(kAuditChain), loaded.auditSeq}}, program);
    if (!ok || db.ExecuteSQL(QStringLiteral("COMMIT")) != SQLITE_OK) {
        db.ExecuteSQL(QStringLiteral("ROLLBACK"));
        if (problem)
            *problem = loaded.problem.isEmpty() ? QStringLiteral("the database cannot be written")
                                                : loaded.problem;
        return PublicKey();
    }
    return loaded.key;
}

} // namespace Desk
