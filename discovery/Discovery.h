#pragma once
// A discovery package of one instrument over a period: one zip holding
//   report.pdf   the instrument's identity and register, its log entries in force, every
//                record of the period with its integrity and calibration states, the audit
//                entries of the period and the verification result with the desk key;
//   records.csv, log.csv, audit.csv (the CSV rules of the exports);
//   pictures/<device>/ and certs/<device>/ (pictures left out on request or when redacting);
//   manifest.txt  "SHA256  SIZE  NAME" of every other file, one per line;
//   manifest.sig  the desk's raw Ed25519 signature of manifest.txt; desk.pub (PEM);
//   README.txt    how to check all of it with the openssl command alone.
// Redaction replaces the named columns by "[redacted]" in every file and leaves pictures out.
// The database is only read; the zip is written under a temporary name and renamed when whole.
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class CLanguage;

namespace Discovery {

struct Options {
    QString device;
    QString start = QStringLiteral("0000-01-01"); // "yyyy-MM-dd", included
    QString end = QStringLiteral("9999-12-31");
    QStringList redact; // headings, compared without case
    bool pictures = true;
    QString out; // the zip to write
    // Called on the building thread with 0 to 100 as the work goes on (may be empty).
    std::function<void(int percent)> progress;
    // Set by another thread to stop the work; the package is then not written (may be null).
    const std::atomic<bool>* cancel = nullptr;
};

struct Result {
    bool ok = false;
    bool unknownDevice = false; // the device is neither registered nor in any record
    QString error;
    qint64 records = 0, pictures = 0, entries = 0, auditEntries = 0, problems = 0;
    QString fingerprint; // of the key that signed the manifest
};

Result Build(const CLanguage& texts, const Options& options);

} // namespace Discovery
