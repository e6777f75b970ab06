#pragma once
// --central [CONNINFO] on the command line: the central store for this one command.
#include <QString>
#include <QStringList>

#include <memory>

class IRecordSource;
struct ReportSource;

class CLanguage;

// Takes "--central CONNINFO" or "--central=CONNINFO", or "--central-file FILE" (the connection
// line read from a file only its owner can read), out of args. A bare "--central" (last word,
// or followed by another option) and "--central=" mean the configured store: central.conf of
// the data folder, else CentralUrl of Language.ini.
// given tells whether the option was there; conninfo receives the connection string in use
// (empty when none is configured). False with a message when --central was given but no
// central store is configured.
bool TakeCentralArg(const CLanguage& texts, QStringList& args, bool& given, QString& conninfo,
                    QString& error);

// The records a list command reads: the central store when --central was given, else this
// computer's database.
std::unique_ptr<IRecordSource> ListSource(const CLanguage& texts, bool central,
                                          const QString& conninfo);

// The PDF reports of export-pdf (with or without --central): one per record, or one for all
// with combined; each written path is printed. kCliFailed when one could not be made.
int WriteReports(const CLanguage& texts, const char* command, const QVector<ReportSource>& sources,
                 bool combined);

// brtx-cli export-xls --central and export-pdf --central: the page's two exports of a list
// read from the central store (the PDF shows the photograph when this desk has it).
int RunCentralXls(const CLanguage& texts, const QString& conninfo, QStringList args,
                  const char* command);
int RunCentralPdf(const CLanguage& texts, const QString& conninfo, QStringList args,
                  const char* command);
