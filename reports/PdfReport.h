#pragma once
// Building one record's PDF test report: the HTML file N.html in the program folder, the
// converter wkhtmltopdf run on it (without a shell, working folder the program folder,
// arguments "./N.html" and "pdf/N.pdf"), the HTML removed once the PDF is there, and the PDF
// opened with the desktop's default viewer. A report that already exists is opened again
// at once.
//
// The converter runs asynchronously: Start() returns at once and finished() follows when
// the converter has ended (or after the time limit, when it is stopped). WaitFinished()
// waits without an event loop, for the command-line tool.
#include "base/Language.h"
#include "store/Seal.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class QDateTime;

class QProcess;
class QTimer;

// What the report is made of, read from the history list.
// The report page with a line under its top naming the legal limit the record's result
// (cells 5 and 6: result and unit) is at or over ([Global] Limits of texts); the page as it is
// when the result is under every limit, not a number, or its unit has none.
QString WithLimitLine(const QString& html, const QStringList& cells, const CLanguage& texts);

struct ReportSource {
    QStringList headings; // list headings in column order
    QStringList cells;    // the record's row
    QString picturePath;  // the record's stored Path ("\DEVICE\00001.jpg")
    // The record's integrity as its store checked it (a central record: the central store's
    // verification); unset: checked against this desk's brtx.db when the report is made.
    std::optional<Seal::Status> integrity = std::nullopt;
};

class CPdfReport : public QObject {
    Q_OBJECT
public:
    enum Outcome {
        Reused,  // the PDF existed and was opened again
        Started, // the converter runs; finished() follows
        Failed,  // no PDF folder, the HTML could not be written, or no converter
    };

    // texts: the Language.ini of the report's charset and the converter setting.
    explicit CPdfReport(QObject* parent = nullptr, CLanguage texts = CLanguage());
    ~CPdfReport() override;

    // Opening the finished PDF in the desktop's viewer (on by default; the environment
    // variable BRTX_NO_OPEN=1 turns it off everywhere).
    void SetOpenWhenDone(bool open) { m_open = open; }
    // The program named by the audit entry of each export: "page" (default) or "cli".
    void SetAuditProgram(const QString& program) { m_program = program; }
    // Time limit for the converter, 60 s by default.
    void SetTimeoutMs(int ms) { m_timeoutMs = ms; }

    Outcome Start(const ReportSource& source);
    // One PDF with one page per record, in the given order: the report of each record with
    // its photograph, named CombinedReportName(sources, now). One source: Start(source).
    // The converter writes a temporary file in pdf/ that is renamed to the name when whole.
    Outcome StartCombined(const QVector<ReportSource>& sources);
    // Stops a running conversion; finished(false) follows with the error "cancelled".
    void Cancel();
    bool Running() const { return m_process != nullptr; }
    // Waits for a started conversion to end; returns its result (false when none ran).
    bool WaitFinished();

    QString Name() const { return m_name; }
    QString PdfPath() const { return m_pdfPath; }
    QString HtmlPath() const { return m_htmlPath; }
    bool Succeeded() const { return m_ok; }
    QString ErrorText() const { return m_error; } // why the last build failed

    // The converter to run, chosen by PdfConverter= in [Global] of Language.ini:
    // "wkhtmltopdf" or "brtx-pdf". Each is looked for in the program folder first (brtx-pdf
    // also beside this executable), then on PATH. Without the key: wkhtmltopdf when it is
    // found, else brtx-pdf. Empty when the chosen converter is not there.
    static QString ConverterProgram(const CLanguage& texts);
    // "<device>_<first record>-<last record>_<yyyymmdd>_<hhmmss>" of the moment given.
    static QString CombinedReportName(const QVector<ReportSource>& sources, const QDateTime& when);
    // Opens a file with the desktop's default viewer unless BRTX_NO_OPEN=1.
    static bool OpenDocument(const QString& path);

signals:
    void finished(bool ok);

private:
    Outcome Convert(const QByteArray& html);
    void dropPart(); // removes the temporary output of a combined report (when made)
    void Finish(bool processOk);

    QProcess* m_process = nullptr;
    QTimer* m_timer = nullptr;
    bool m_open = true;
    CLanguage m_texts;
    bool m_ok = false;
    bool m_timedOut = false;
    bool m_cancelled = false;
    int m_timeoutMs = 60000;
    QString m_name;
    QString m_pdfPath;
    QString m_htmlPath;
    QString m_partPath; // the converter's output when it differs from m_pdfPath
    QString m_converter;
    QString m_error;
    QString m_program = QStringLiteral("page");
    QStringList m_cells; // the record of the running conversion
};
