#include "instruments/Register.h"

#include "base/Paths.h"
#include "store/Sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace InstrumentRegister {

namespace {

constexpr int kMaxText = 500;
constexpr int kMaxDays = 3650;

// A device number that can name a folder of its own (no separator, no "." or "..").
bool UsableFolderName(const QString& device) {
    if (device.isEmpty() || device == QLatin1String(".") || device == QLatin1String(".."))
        return false;
    return std::none_of(device.begin(), device.end(), [](QChar c) {
        return c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
               c.unicode() == 0x7F;
    });
}

} // namespace

QList<Row> Load(SQLite::Database& db, const Calibration::Intervals& defaults, bool* ok) {
    bool listed = false, logged = false;
    const QList<Instruments::Instrument> all = Instruments::List(db, &listed);
    // One read of every log, shared out by device.
    QHash<QString, QList<Instruments::LogEntry>> logs;
    for (const Instruments::LogEntry& e : Instruments::Log(db, QString(), &logged))
        logs[e.device] << e;
    QList<Row> rows;
    for (const Instruments::Instrument& i : all) {
        Row r;
        r.instrument = i;
        r.intervals = Calibration::IntervalsOf(i, defaults);
        r.due = Calibration::NextDue(logs.value(i.device), r.intervals);
        rows << r;
    }
    if (ok)
        *ok = listed && logged;
    return rows;
}

QString DueText(const QDate& due, const QDate& today, const QString& overdueMark) {
    if (!due.isValid())
        return QString();
    const QString text = due.toString(Qt::ISODate);
    return due < today ? text + QLatin1Char(' ') + overdueMark : text;
}

QString Save(SQLite::Database& db, const Instruments::Instrument& before,
             Instruments::Instrument edited, const QDate& today, const QString& program,
             bool* refused) {
    if (refused)
        *refused = true;
    for (const QString* text :
         {&edited.label, &edited.serial, &edited.model, &edited.location, &edited.notes})
        if (text->size() > kMaxText)
            return QStringLiteral("a field takes at most %1 characters").arg(kMaxText);
    if (!Statuses().contains(edited.status) && !edited.status.isEmpty())
        return QStringLiteral("the status is one of: %1")
            .arg(Statuses().join(QStringLiteral(", ")));
    for (int days : {edited.calibrationDays, edited.accuracyDays})
        if (days < 0 || days > kMaxDays)
            return QStringLiteral("an interval takes 1 to %1 days").arg(kMaxDays);
    if (edited.status != before.status)
        edited.statusDate = today.toString(Qt::ISODate);
    if (refused)
        *refused = false;
    QString error;
    return Instruments::Update(db, edited, program, &error) ? QString() : error;
}

QString CopyAttachment(const QString& device, const QString& source, QString* relative,
                       QString* sha256) {
    const QFileInfo info(source);
    if (!UsableFolderName(device))
        return QStringLiteral("%1 cannot name a folder for attachments").arg(device);
    if (!info.exists())
        return QStringLiteral("%1: no such file").arg(source);
    if (!info.isFile())
        return QStringLiteral("%1: not a regular file").arg(source);
    if (info.size() > kMaxAttachment)
        return QStringLiteral("%1: larger than 50 MB").arg(source);
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return QStringLiteral("%1: cannot be read").arg(source);
    const QByteArray bytes = in.read(kMaxAttachment + 1);
    if (bytes.size() > kMaxAttachment)
        return QStringLiteral("%1: larger than 50 MB").arg(source);
    const QString hash = Sha256::hex(bytes);
    QString base;
    for (const QChar ch : info.fileName())
        base += ch.isLetterOrNumber() || ch == QLatin1Char('.') || ch == QLatin1Char('-')
                    ? ch
                    : QLatin1Char('_');
    const QString name = hash.left(16) + QLatin1Char('-') + base.right(80);
    const QString folder = GetAppFolder() + QStringLiteral("/certs/") + device;
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot make %1").arg(folder);
    const QString target = folder + QLatin1Char('/') + name;
    if (!QFileInfo::exists(target)) {
        const QString part = target + QStringLiteral(".part");
        QFile out(part);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(bytes) != bytes.size() || !out.flush()) {
            QFile::remove(part);
            return QStringLiteral("cannot write %1").arg(target);
        }
        out.close();
        if (!QFile::rename(part, target)) {
            QFile::remove(part);
            return QStringLiteral("cannot write %1").arg(target);
        }
    }
    *relative = QStringLiteral("certs/") + device + QLatin1Char('/') + name;
    *sha256 = hash;
    return QString();
}

QString Append(SQLite::Database& db, Instruments::LogEntry& e, const QString& attach,
               const QString& program, bool* refused) {
    if (refused)
        *refused = false;
    bool attached = false;
    if (!attach.isEmpty()) {
        const QString why = CopyAttachment(e.device, attach, &e.attachment, &e.attachmentSha256);
        if (!why.isEmpty()) {
            if (refused)
                *refused = true;
            return why;
        }
        attached = true;
    }
    QString error;
    if (Instruments::AppendLog(db, e, program, &error))
        return QString();
    // A copy no entry names is not kept (another entry may name the same file).
    if (attached) {
        bool ok = false;
        const QList<Instruments::LogEntry> all = Instruments::Log(db, QString(), &ok);
        const bool named = std::any_of(all.begin(), all.end(), [&](const auto& other) {
            return other.attachment == e.attachment;
        });
        if (ok && !named)
            QFile::remove(GetAppFolder() + QLatin1Char('/') + e.attachment);
    }
    if (refused && error.contains(QLatin1String("does not exist")))
        *refused = true;
    return error.isEmpty() ? QStringLiteral("the log cannot be written") : error;
}

Drift DriftOf(const QList<Instruments::LogEntry>& log) {
    Drift d;
    QList<const Instruments::LogEntry*> checks;
    for (const Instruments::LogEntry& e : log)
        if (!e.superseded && e.kind == QLatin1String("accuracy") &&
            Calibration::EntryTime(e.at).isValid())
            checks << &e;
    std::stable_sort(checks.begin(), checks.end(), [](const auto* a, const auto* b) {
        return Calibration::EntryTime(a->at) < Calibration::EntryTime(b->at);
    });
    if (checks.isEmpty())
        return d;
    d.unit = checks.last()->unit;
    for (const Instruments::LogEntry* e : checks) {
        qint64 target = 0, low = 0, high = 0;
        if (e->unit != d.unit || !Calibration::ParseMicro(e->target, &target) ||
            !Calibration::Band(e->target, e->tolerance, &low, &high))
            continue;
        for (const QString& text : e->measured.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            qint64 value = 0;
            if (!Calibration::ParseMicro(text.trimmed(), &value))
                continue;
            DriftPoint p;
            p.at = Calibration::EntryTime(e->at);
            p.entry = e->id;
            p.value = value / 1e6;
            p.target = target / 1e6;
            p.low = low / 1e6;
            p.high = high / 1e6;
            p.pass = e->result == QLatin1String("pass");
            d.points << p;
        }
    }
    return d;
}

} // namespace InstrumentRegister
