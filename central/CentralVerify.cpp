#include "central/CentralVerify.h"

#include "central/CentralSchema.h"
#include "central/PgConnection.h"
#include "store/Audit.h"
#include "store/DeskKey.h"
#include "store/Instruments.h"
#include "store/Seal.h"
#include "store/Sha256.h"
#include "store/Statements.h"

#include <QMap>
#include <QSet>

#include <algorithm>

namespace Central {

namespace {

constexpr int kFetchRows = 20000; // rows of the cursor per round trip
constexpr int kKeyColumns = 4;

QString KeyEq(const char* a, const char* b) {
    QString out;
    for (const char* c : {"station", "machine_no", "record_no", "date_date", "time_time"})
        out += QStringLiteral("%1%2.%4 = %3.%4")
                   .arg(out.isEmpty() ? "" : " AND ", QLatin1String(a), QLatin1String(b),
                        QLatin1String(c));
    return out;
}

// One desk's copy of one record, with what the server found about it.
struct Copy {
    QString station;
    QByteArray key; // device, number, date, time joined by 0x1F
    QByteArray rowHash, pictureSha, pictureHash, seal, prevSeal, sealedAt;
    bool hasRow = false, hasSeal = false, sealOk = false, rowOk = false, deleted = false;
    bool late = false;
    int bytes = -1; // the photograph's bytes against its hash: -1 not checked, 0 differ, 1 hold
    bool covered = false;
};

QString DeviceOf(const QByteArray& key) {
    return QString::fromUtf8(key.left(key.indexOf('\x1f')));
}

VerifyLine LineOf(const Copy& c, const QString& problem) {
    const QList<QByteArray> parts = c.key.split('\x1f');
    return {QString::fromUtf8(parts.value(0)),
            QString::fromUtf8(parts.value(1)),
            QString::fromUtf8(parts.value(2)),
            QString::fromUtf8(parts.value(3)),
            problem,
            c.station};
}

struct Signature {
    QString station;
    Desk::SignatureRow row;
};

class Verifier {
public:
    Verifier(PgConnection& db, const VerifyOptions& o, const std::atomic<bool>* stop)
        : m_db(db), m_opt(o), m_stop(stop) {}

    VerifyReport Run() {
        QString why;
        const int version = ServerSchemaVersion(m_db, &why);
        if (version < 0)
            return Failed(why);
        if (version != kSchemaVersion)
            return Failed(QStringLiteral("the central store has table version %1, this program "
                                         "checks version %2 (the administrator runs brtx-cli "
                                         "central init)")
                              .arg(version)
                              .arg(kSchemaVersion));
        // One snapshot for every read: a sync running meanwhile is seen whole or not at all.
        if (!m_db.Command(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), &why))
            return Failed(why);
        const bool ok = ReadKeys() && ReadCopies() && ReadSignatures() && ReadAudit() &&
                        ReadWitnesses() && ReadLog();
        m_db.Command(QStringLiteral("ROLLBACK"), nullptr);
        if (!ok)
            return Failed(m_error);
        CheckSignatures();
        CheckCopies();
        CheckLog();
        Finish();
        m_report.readable = true;
        return m_report;
    }

private:
    bool Stopped() {
        if (m_stop && m_stop->load()) {
            m_error = QStringLiteral("stopped");
            return true;
        }
        return false;
    }
    VerifyReport Failed(const QString& why) {
        m_report = VerifyReport();
        m_report.error = why;
        return m_report;
    }
    // A statement whose $1, when it has one, is the device asked for.
    bool Query(const QString& sql, PgResult& out) {
        if (Stopped())
            return false;
        out = sql.contains(QLatin1String("$1")) ? m_db.Exec(sql, {PgParam::Text(m_opt.device)})
                                                : m_db.Exec(sql);
        if (!out.Ok()) {
            m_error = out.Error();
            return false;
        }
        return true;
    }

    bool ReadKeys();
    bool ReadCopies();
    bool ReadSignatures();
    bool ReadAudit();
    bool ReadWitnesses();
    bool ReadLog();
    void CheckSignatures();
    void CheckLog();
    void CheckCopies();
    void Finish();
    // Marks the seals behind a signed head of station's device chain as signed.
    void Cover(const QString& station, const QString& device, const QByteArray& head);
    QByteArray SealIndexKey(const QString& station, const QString& device,
                            const QByteArray& seal) const {
        return station.toUtf8() + '\x1e' + device.toUtf8() + '\x1e' + seal;
    }

    PgConnection& m_db;
    VerifyOptions m_opt;
    const std::atomic<bool>* m_stop;
    QString m_error;
    VerifyReport m_report;

    QHash<QString, QHash<QString, QString>> m_trusted; // station -> fingerprint -> PEM
    QHash<QString, QString> m_registered;              // desk -> its registered fingerprint
    QList<Copy> m_copies;
    QHash<QByteArray, int> m_sealIndex;                          // station, device, seal -> copy
    QList<Signature> m_signatures;                               // by station, then Seq
    QList<QPair<QString, Audit::Entry>> m_audit;                 // by station, then Seq
    QHash<QString, QHash<qint64, QString>> m_auditAt;            // station -> Seq -> Hash
    QHash<QString, QList<QPair<qint64, qint64>>> m_auditCovered; // station -> signed ranges
    QSet<QString> m_invalidChains; // station + 0x1E + chain with an invalid signature
    struct WitnessRow {
        QString station, chain, seq, hash, at;
    };
    QList<WitnessRow> m_witnesses;
    QList<QPair<QString, Instruments::LogEntry>> m_log; // by station, then id
};

bool Verifier::ReadKeys() {
    PgResult desks, keys;
    if (!Query(QStringLiteral("SELECT desk, key_fingerprint FROM desks"), desks) ||
        !Query(QStringLiteral("SELECT station, fingerprint, public_key FROM desk_keys"), keys))
        return false;
    for (int i = 0; i < desks.Rows(); ++i)
        m_registered.insert(desks.Text(i, 0), desks.Text(i, 1));
    QHash<QString, QHash<QString, QString>> uploaded;
    for (int i = 0; i < keys.Rows(); ++i)
        uploaded[keys.Text(i, 0)].insert(keys.Text(i, 1), keys.Text(i, 2));
    for (auto it = m_registered.cbegin(); it != m_registered.cend(); ++it)
        m_trusted[it.key()].insert(it.value(), uploaded.value(it.key()).value(it.value()));
    for (auto it = uploaded.cbegin(); it != uploaded.cend(); ++it)
        if (!m_registered.contains(it.key()))
            m_trusted.insert(it.key(), it.value());
    return true;
}

bool Verifier::ReadCopies() {
    // The server pairs each desk's copy with its seal and photograph (and hashes the
    // photographs' bytes where they are); the client hashes rows and seals as they stream in,
    // through the cursor a batch at a time.
    const QStringList& columns = Statements::ValueInfoColumns();
    QString values;
    for (int c = kKeyColumns; c < columns.size(); ++c)
        values += ", r." + columns[c].toLower();
    const QString bytesCheck = m_opt.pictures
                                   ? QStringLiteral("encode(sha256(p.bytes), 'hex') = p.sha256")
                                   : QStringLiteral("NULL::boolean");
    const QString sql =
        "DECLARE brtx_verify NO SCROLL CURSOR FOR SELECT coalesce(s.station, r.station), "
        "coalesce(s.machine_no, r.machine_no), coalesce(s.record_no, r.record_no), "
        "coalesce(s.date_date, r.date_date), coalesce(s.time_time, r.time_time), r.station IS "
        "NOT NULL" +
        values +
        ", r.psha, r.pbytes, s.station IS NOT NULL, s.rowhash, s.picturehash, s.sealedat, "
        "s.prevseal, s.seal, coalesce(s.late, 0) <> 0, coalesce(s.deleted, 0) <> 0 FROM "
        "(SELECT r.*, p.sha256 AS psha, " +
        bytesCheck + " AS pbytes FROM records r LEFT JOIN pictures p ON " + KeyEq("p", "r") +
        " WHERE $1::text = '' OR r.machine_no = $1::text) r FULL JOIN (SELECT * FROM seals s "
        "WHERE $1::text = '' OR s.machine_no = $1::text) s ON " +
        KeyEq("s", "r");
    QString why;
    if (!m_db.Command(sql, {PgParam::Text(m_opt.device)}, &why)) {
        m_error = why;
        return false;
    }
    const int valueCount = int(columns.size()) - kKeyColumns;
    const int afterValues = 6 + valueCount;
    Sha256 hash;
    // The next batch is asked for before this one is hashed, so the server pairs copies with
    // seals while this side hashes.
    const QString fetch = QStringLiteral("FETCH FORWARD %1 FROM brtx_verify").arg(kFetchRows);
    if (!m_db.Send(fetch, &why)) {
        m_error = why;
        return false;
    }
    for (;;) {
        const PgResult r = m_db.Collect();
        if (!r.Ok()) {
            m_error = r.Error();
            return false;
        }
        if (Stopped())
            return false;
        if (r.Rows() == kFetchRows && !m_db.Send(fetch, &why)) {
            m_error = why;
            return false;
        }
        const auto isTrue = [&r](int row, int col) { return r.View(row, col) == "t"; };
        for (int i = 0; i < r.Rows(); ++i) {
            Copy c;
            c.station = r.Text(i, 0);
            c.key = r.Bytes(i, 1) + '\x1f' + r.Bytes(i, 2) + '\x1f' + r.Bytes(i, 3) + '\x1f' +
                    r.Bytes(i, 4);
            c.hasRow = isTrue(i, 5);
            if (c.hasRow) {
                // As the desk hashed its stored row: the key, then every value ("" for NULL).
                for (int k = 1; k <= kKeyColumns; ++k)
                    Seal::AddField(hash, r.View(i, k));
                for (int v = 0; v < valueCount; ++v)
                    Seal::AddField(hash, r.View(i, 6 + v));
                c.rowHash = hash.result().toHex();
            }
            c.pictureSha = r.Bytes(i, afterValues);
            const QByteArrayView bytes = r.View(i, afterValues + 1);
            c.bytes = bytes.isEmpty() ? -1 : bytes == "t" ? 1 : 0;
            c.hasSeal = isTrue(i, afterValues + 2);
            if (c.hasSeal) {
                const QByteArrayView rowHash = r.View(i, afterValues + 3);
                c.pictureHash = r.Bytes(i, afterValues + 4);
                c.prevSeal = r.Bytes(i, afterValues + 6);
                c.seal = r.Bytes(i, afterValues + 7);
                c.rowOk = c.hasRow && rowHash == c.rowHash;
                for (int k = 1; k <= kKeyColumns; ++k)
                    Seal::AddField(hash, r.View(i, k));
                Seal::AddField(hash, rowHash);
                Seal::AddField(hash, c.pictureHash);
                c.sealedAt = r.Bytes(i, afterValues + 5);
                c.late = isTrue(i, afterValues + 8);
                Seal::AddField(hash, c.sealedAt);
                Seal::AddField(hash, c.prevSeal);
                Seal::AddField(hash, c.late ? "1" : "0");
                c.sealOk = hash.result().toHex() == c.seal;
                c.deleted = isTrue(i, afterValues + 9);
                m_sealIndex.insert(SealIndexKey(c.station, DeviceOf(c.key), c.seal),
                                   int(m_copies.size()));
            }
            m_copies.append(std::move(c));
        }
        if (r.Rows() < kFetchRows)
            return true;
    }
}

bool Verifier::ReadSignatures() {
    PgResult r;
    if (!Query(QStringLiteral("SELECT station, seq, chain, fromseq, headseq, head, fingerprint, "
                              "signedat, late, prev, signature FROM chain_signatures WHERE "
                              "$1::text = '' OR chain = 'audit' OR chain = 'seal:' || $1::text "
                              "ORDER BY station, seq"),
               r))
        return false;
    for (int i = 0; i < r.Rows(); ++i) {
        Signature s;
        s.station = r.Text(i, 0);
        s.row.seq = r.Text(i, 1).toLongLong();
        s.row.chain = r.Text(i, 2);
        s.row.fromSeq = r.Text(i, 3).toLongLong();
        s.row.headSeq = r.Text(i, 4).toLongLong();
        s.row.head = r.Text(i, 5);
        s.row.fingerprint = r.Text(i, 6);
        s.row.signedAt = r.Text(i, 7);
        s.row.late = r.Text(i, 8).toInt() != 0;
        s.row.prev = r.Text(i, 9);
        s.row.signature = r.Text(i, 10);
        m_signatures.append(std::move(s));
    }
    return true;
}

bool Verifier::ReadAudit() {
    PgResult r;
    if (!Query(QStringLiteral("SELECT station, seq, at, username, hostname, program, action, "
                              "device, records, outcome, prevhash, hash FROM audit ORDER BY "
                              "station, seq"),
               r))
        return false;
    for (int i = 0; i < r.Rows(); ++i) {
        Audit::Entry e;
        e.seq = r.Text(i, 1).toLongLong();
        e.at = r.Text(i, 2);
        e.user = r.Text(i, 3);
        e.host = r.Text(i, 4);
        e.program = r.Text(i, 5);
        e.action = r.Text(i, 6);
        e.device = r.Text(i, 7);
        e.records = r.Text(i, 8);
        e.outcome = r.Text(i, 9);
        e.prevHash = r.Text(i, 10);
        e.hash = r.Text(i, 11);
        m_auditAt[r.Text(i, 0)].insert(e.seq, e.hash);
        m_audit.append({r.Text(i, 0), e});
    }
    return true;
}

bool Verifier::ReadWitnesses() {
    PgResult r;
    if (!Query(QStringLiteral("SELECT station, chain, head_seq, head_hash, to_char(witnessed_at "
                              "AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') FROM witnesses WHERE "
                              "$1::text = '' OR chain = 'audit' OR chain = 'seal:' || $1::text "
                              "ORDER BY station, chain, witnessed_at, head_seq"),
               r))
        return false;
    for (int i = 0; i < r.Rows(); ++i)
        m_witnesses.append({r.Text(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3), r.Text(i, 4)});
    return true;
}

bool Verifier::ReadLog() {
    PgResult r;
    if (!Query(QStringLiteral("SELECT station, id, device_id, kind, at, technician, "
                              "standard_kind, lot, expiry, target, unit, measured, tolerance, "
                              "result, reason, attachment, attachment_sha256, coalesce(supersedes, "
                              "0), recorded_at, hash FROM instrument_log WHERE $1::text = '' OR "
                              "device_id = $1::text ORDER BY station, id"),
               r))
        return false;
    for (int i = 0; i < r.Rows(); ++i) {
        Instruments::LogEntry e;
        e.id = r.Text(i, 1).toLongLong();
        QString* fields[] = {
            &e.device,    &e.kind,   &e.at,     &e.technician, &e.standardKind,
            &e.lot,       &e.expiry, &e.target, &e.unit,       &e.measured,
            &e.tolerance, &e.result, &e.reason, &e.attachment, &e.attachmentSha256};
        for (int f = 0; f < 15; ++f)
            *fields[f] = r.Text(i, 2 + f);
        e.supersedes = r.Text(i, 17).toLongLong();
        e.recordedAt = r.Text(i, 18);
        e.hash = r.Text(i, 19);
        m_log.append({r.Text(i, 0), e});
    }
    return true;
}

void Verifier::CheckLog() {
    // Each entry against its own hash and against the hash its desk's audit entry
    // "instrument-log" names; that audit entry's own hash, link and signature are checked with
    // the audit trail. An audit entry whose log entry is gone from the server: LOG-REMOVED.
    QHash<QString, QPair<QString, QString>> vouched; // station, id -> (device, hash)
    QMap<QPair<QString, qint64>, QString> unmatched; // (station, id) -> device
    for (const auto& [desk, a] : std::as_const(m_audit))
        if (a.action == QLatin1String("instrument-log") &&
            a.records.startsWith(QLatin1String("entry "))) {
            vouched.insert(desk + '\x1e' + a.records.mid(6), {a.device, a.outcome});
            if (m_opt.device.isEmpty() || a.device == m_opt.device)
                unmatched.insert({desk, a.records.mid(6).toLongLong()}, a.device);
        }
    for (const auto& [desk, e] : std::as_const(m_log)) {
        unmatched.remove({desk, e.id});
        const auto v = vouched.constFind(desk + '\x1e' + QString::number(e.id));
        QString problem;
        if (Instruments::EntryHash(e) != e.hash ||
            (v != vouched.cend() && (v->second != e.hash || v->first != e.device)))
            problem = QStringLiteral("LOG-CHANGED");
        else if (v == vouched.cend())
            problem = QStringLiteral("LOG-UNAUDITED");
        else
            continue;
        m_report.lines.append({e.device, QStringLiteral("log %1").arg(e.id), e.at.left(10),
                               e.at.mid(11, 8), problem, desk});
    }
    for (auto u = unmatched.cbegin(); u != unmatched.cend(); ++u)
        m_report.lines.append({u.value(), QStringLiteral("log %1").arg(u.key().second), QString(),
                               QString(), QStringLiteral("LOG-REMOVED"), u.key().first});
}

void Verifier::Cover(const QString& station, const QString& device, const QByteArray& head) {
    int at = m_sealIndex.value(SealIndexKey(station, device, head), -1);
    while (at >= 0 && !m_copies[at].covered) {
        Copy& c = m_copies[at];
        c.covered = true;
        if (c.prevSeal.isEmpty())
            break;
        at = m_sealIndex.value(SealIndexKey(station, device, c.prevSeal), -1);
    }
}

void Verifier::CheckSignatures() {
    const QString auditChain = QString::fromLatin1(Desk::kAuditChain);
    const auto invalid = [&](const Signature& s) {
        const Desk::SignatureRow& r = s.row;
        m_invalidChains.insert(s.station + '\x1e' + r.chain);
        m_report.lines.append(
            {r.chain.startsWith(QLatin1String("seal:")) ? r.chain.mid(5) : r.chain,
             QStringLiteral("signature %1").arg(r.seq), r.signedAt.left(10), r.signedAt.mid(11, 8),
             QStringLiteral("SIGNATURE-INVALID"), s.station});
    };
    // Newest first within each desk: a row verified by its own signature vouches for the rows
    // its links reach, so an unbroken run costs one Ed25519 check. Only the desk's trusted
    // keys count.
    QList<bool> valid(m_signatures.size(), false);
    bool vouched = false;
    for (qsizetype i = m_signatures.size() - 1; i >= 0; --i) {
        const Signature& s = m_signatures[i];
        const QHash<QString, QString> trusted = m_trusted.value(s.station);
        const bool keyTrusted = trusted.contains(s.row.fingerprint);
        if (i == m_signatures.size() - 1 || m_signatures[i + 1].station != s.station)
            vouched = false;
        if (!vouched || !keyTrusted)
            vouched = keyTrusted && Desk::VerifySignature(trusted.value(s.row.fingerprint),
                                                          Desk::MessageOf(s.row), s.row.signature);
        if (!vouched)
            invalid(s);
        valid[i] = vouched;
        if (vouched && i > 0 && m_signatures[i - 1].station == s.station)
            vouched = s.row.prev == Desk::LinkOf(m_signatures[i - 1].row);
        else
            vouched = false;
    }
    // Each valid signature covers what is behind the head it names. A head the store does not
    // hold yet (a sync cut off after the signatures) covers nothing; one it holds with another
    // value is a forgery.
    for (qsizetype i = 0; i < m_signatures.size(); ++i) {
        if (!valid[i])
            continue;
        const Signature& s = m_signatures[i];
        if (s.row.chain == auditChain) {
            const auto entries = m_auditAt.constFind(s.station);
            if (entries == m_auditAt.cend() || !entries->contains(s.row.headSeq))
                continue;
            if (entries->value(s.row.headSeq) != s.row.head) {
                if (!m_invalidChains.contains(s.station + '\x1e' + s.row.chain))
                    invalid(s);
                continue;
            }
            m_auditCovered[s.station].append({s.row.fromSeq, s.row.headSeq});
        } else if (s.row.chain.startsWith(QLatin1String("seal:"))) {
            Cover(s.station, s.row.chain.mid(5), s.row.head.toUtf8());
        }
    }
}

void Verifier::CheckCopies() {
    // The audit entries: each one's hash and link, and a valid signature over it.
    QString station, previous, previousComputed;
    qint64 previousSeq = -1;
    for (const auto& [desk, e] : std::as_const(m_audit)) {
        if (desk != station) {
            station = desk;
            previousSeq = -1;
        }
        const QString computed = Audit::ComputeHash(e);
        const bool linked =
            previousSeq != e.seq - 1 || e.prevHash == previous || e.prevHash == previousComputed;
        const VerifyLine line{e.device,      QStringLiteral("audit %1").arg(e.seq),
                              e.at.left(10), e.at.mid(11, 8),
                              QString(),     desk};
        if (computed != e.hash || !linked) {
            m_report.lines.append(line);
            m_report.lines.last().problem = QStringLiteral("CHAIN-BROKEN");
        } else if (!m_invalidChains.contains(desk + '\x1e' + QLatin1String(Desk::kAuditChain))) {
            bool covered = false;
            for (const auto& range : m_auditCovered.value(desk))
                covered = covered || (e.seq >= range.first && e.seq <= range.second);
            if (!covered) {
                m_report.lines.append(line);
                m_report.lines.last().problem = QStringLiteral("UNSIGNED");
            }
        }
        previous = e.hash;
        previousComputed = computed;
        previousSeq = e.seq;
    }

    // The witnessed heads must still be in the store.
    for (const WitnessRow& w : std::as_const(m_witnesses)) {
        bool found = false;
        QString device = w.chain;
        if (w.chain == QLatin1String(Desk::kAuditChain)) {
            found =
                m_auditAt.value(w.station).value(w.seq.toLongLong(), QStringLiteral("-")) == w.hash;
        } else if (w.chain.startsWith(QLatin1String("seal:"))) {
            device = w.chain.mid(5);
            found = m_sealIndex.contains(SealIndexKey(w.station, device, w.hash.toUtf8()));
        }
        if (!found)
            m_report.lines.append({device, QStringLiteral("witness %1").arg(w.seq), w.at.left(10),
                                   w.at.mid(11, 8), QStringLiteral("WITNESS-MISSING"), w.station});
    }

    // Every desk's copy against its seal.
    for (const Copy& c : std::as_const(m_copies)) {
        QString problem;
        if (!c.hasSeal)
            problem = QStringLiteral("UNSEALED");
        else if (c.deleted)
            continue; // a tombstone: the desk deleted the record through the program
        else if (!c.sealOk)
            problem = QStringLiteral("CHAIN-BROKEN");
        else if (!c.hasRow)
            problem = QStringLiteral("ROW-MISSING");
        else if (!c.rowOk)
            problem = QStringLiteral("ROW-CHANGED");
        else if (!c.pictureHash.isEmpty() && c.pictureSha.isEmpty())
            problem = QStringLiteral("PICTURE-MISSING");
        else if (!c.pictureHash.isEmpty() && (c.pictureSha != c.pictureHash || c.bytes == 0))
            problem = QStringLiteral("PICTURE-CHANGED");
        else if (!c.covered &&
                 !m_invalidChains.contains(c.station + '\x1e' + Desk::SealChain(DeviceOf(c.key))))
            problem = QStringLiteral("UNSIGNED");
        else if (!c.covered)
            problem = QStringLiteral("SIGNATURE-INVALID"); // reported with its chain
        if (problem.isEmpty())
            ++m_report.verified;
        else if (problem != QLatin1String("SIGNATURE-INVALID"))
            m_report.lines.append(LineOf(c, problem));
        if (m_opt.records) {
            const QString key = QString::fromUtf8(c.key);
            const auto held = m_report.states.constFind(key);
            if (held == m_report.states.cend() || (held->problem.isEmpty() && !problem.isEmpty()))
                m_report.states.insert(key, RecordCheck{problem, QString::fromLatin1(c.seal),
                                                        QString::fromUtf8(c.sealedAt), c.late});
        }
    }

    // Between desks: the same key with other values or another photograph.
    QHash<QByteArray, QList<int>> byKey;
    for (int i = 0; i < m_copies.size(); ++i)
        if (m_copies[i].hasRow)
            byKey[m_copies[i].key].append(i);
    for (auto it = byKey.cbegin(); it != byKey.cend(); ++it) {
        if (it->size() < 2)
            continue;
        QSet<QByteArray> rows, pictures;
        QStringList desks;
        for (int i : *it) {
            rows.insert(m_copies[i].rowHash);
            if (!m_copies[i].pictureSha.isEmpty())
                pictures.insert(m_copies[i].pictureSha);
            desks << m_copies[i].station;
        }
        if (rows.size() < 2 && pictures.size() < 2)
            continue;
        desks.sort();
        m_report.lines.append(LineOf(m_copies[it->first()], QStringLiteral("CONFLICT")));
        m_report.lines.last().desk = desks.join(QLatin1Char(','));
        if (m_opt.records)
            m_report.states[QString::fromUtf8(it.key())].problem = QStringLiteral("CONFLICT");
    }
}

void Verifier::Finish() {
    std::stable_sort(m_report.lines.begin(), m_report.lines.end(),
                     [](const VerifyLine& a, const VerifyLine& b) {
                         if (a.device != b.device)
                             return a.device < b.device;
                         if (a.recordNo.size() != b.recordNo.size())
                             return a.recordNo.size() < b.recordNo.size();
                         if (a.recordNo != b.recordNo)
                             return a.recordNo < b.recordNo;
                         return a.desk < b.desk;
                     });
    QStringList desks = m_trusted.keys();
    desks.sort();
    for (const QString& desk : std::as_const(desks)) {
        QStringList keys = m_trusted.value(desk).keys();
        keys.sort();
        for (const QString& key : std::as_const(keys))
            if (!m_report.keys.contains(key))
                m_report.keys << key;
    }
}

} // namespace

Seal::Status StatusOf(const RecordCheck& check) {
    Seal::Status status;
    status.detail = check.problem;
    status.seal = check.seal;
    status.sealedAt = check.sealedAt;
    status.late = check.late;
    if (check.problem.isEmpty())
        status.state = Seal::State::Verified;
    else if (check.problem == QLatin1String("UNSEALED"))
        status.state = Seal::State::Unsealed;
    else if (check.problem == QLatin1String("PICTURE-MISSING"))
        status.state = Seal::State::PictureMissing;
    else
        status.state = Seal::State::Changed;
    return status;
}

VerifyReport VerifyCentral(PgConnection& db, const VerifyOptions& options,
                           const std::atomic<bool>* stop) {
    return Verifier(db, options, stop).Run();
}

} // namespace Central
