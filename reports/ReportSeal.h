#pragma once
// The integrity lines of a record's PDF test report: a footer with the record's seal, the
// time it was sealed at download and the result of verifying it when the report is made,
// or an "Integrity check failed: ..." line at the top of a record that no longer matches its
// seal. Also the audit entry of a report export.
#include "store/Seal.h"

#include <QString>
#include <QStringList>

// The report page with the integrity lines of the record (cells 0..3: device, record number,
// date, time) added, checked against brtx.db and the picture folder now.
QString WithIntegrityLines(const QString& html, const QStringList& cells);
// The same for a status the caller has checked already (exposed for tests).
QString WithIntegrityLines(const QString& html, const Seal::Status& status,
                           const QString& checkedAt);

// The record's state now (cells 0..3 as above), checked against brtx.db and the pictures.
Seal::Status IntegrityNow(const QStringList& cells);

// Whether the report file was made for this record (cells 0..3 as above): the audit trail
// holds a successful report export of exactly this record to exactly this file. A file from
// before the audit trail, or one made for another record whose name it shares (versions that
// named reports ambiguously), is not this record's.
bool ReportMadeFor(const QStringList& cells, const QString& file);

// Writes the audit entry of a report export into brtx.db.
void AuditReportExport(const QString& program, const QStringList& cells, const QString& file,
                       bool ok);
