#include "bench/BenchHistory.h"

#include "bench/BenchSupport.h"

#include "base/Language.h"
#include "base/Paths.h"
#include "history/core/HistoryQuery.h"
#include "history/core/LocalRecordSource.h"
#include "history/page/History.h"
#include "history/page/HistoryModel.h"
#include "history/page/StatsView.h"
#include "reports/Biff.h"
#include "reports/ExcelExport.h"
#include "reports/ExportJob.h"
#include "reports/PdfReport.h"
#include "sim/lib/SimPhoto.h"
#include "store/SQLite.h"
#include "store/Schema.h"
#include "store/Statements.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

namespace bench {

namespace {

const char* const kFirstDate = "2000-01-01";
const char* const kLastDate = "2099-12-31";

// The stored values of generated record n (about thirty tests a day from 2020 on).
QStringList RowValues(int n) {
    static const char* const modes[] = {"Auto", "Manual", "Refuse", "Discontinued"};
    const QString num = QString::number(n);
    const QDate date = QDate(2020, 1, 1).addDays((n - 1) / 30);
    const QTime time = QTime(7, 0).addSecs(((n - 1) % 30) * 1500 + n % 60);
    QStringList v;
    v << HistoryHome::Device() << num << date.toString(QStringLiteral("yyyy-MM-dd"))
      << time.toString(QStringLiteral("HH:mm:ss")) << QString::fromLatin1(modes[n % 4])
      << (n % 4 == 2 ? QString() : QStringLiteral("0.%1").arg(n * 7 % 1000, 3, 10, QChar('0')))
      << QStringLiteral("mg/L");
    for (int r = 1; r <= 4; ++r)
        v << QStringLiteral("R%1-%2").arg(r).arg(n);
    v << QStringLiteral("1") << QStringLiteral("0") << QStringLiteral("R5-") + num
      << QStringLiteral("R6-") + num;
    for (int k = 1; k <= 20; ++k)
        v << QStringLiteral("F%1-%2").arg(k).arg(n);
    v << QStringLiteral("31.230416 121.473701");
    const QString name = QStringLiteral("%1.jpg").arg(n, 5, 10, QChar('0'));
    v << QStringLiteral("\\%1\\%2").arg(HistoryHome::Device(), name) << name;
    return v;
}

// The rows straight into ValueInfo: one prepared insert, one transaction.
bool InsertRows(const QString& dbPath, int rows, QString* problem) {
    sqlite3* db = nullptr;
    if (sqlite3_open(dbPath.toUtf8().constData(), &db) != SQLITE_OK) {
        *problem = QStringLiteral("cannot open %1").arg(dbPath);
        sqlite3_close(db);
        return false;
    }
    QString sql = QStringLiteral("INSERT INTO ValueInfo(") +
                  Statements::ValueInfoColumns().join(',') + QStringLiteral(") VALUES(");
    for (int i = 0; i < Statements::kValueColumnCount; ++i)
        sql += i ? QStringLiteral(",?") : QStringLiteral("?");
    sql += ')';
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) == SQLITE_OK;
    for (int n = 1; ok && n <= rows; ++n) {
        const QStringList values = RowValues(n);
        for (int i = 0; i < values.size(); ++i) {
            const QByteArray text = values[i].toUtf8();
            sqlite3_bind_text(st, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        }
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        *problem = QStringLiteral("writing rows: %1").arg(QString::fromUtf8(sqlite3_errmsg(db)));
    sqlite3_close(db);
    return ok;
}

// The page, shown offscreen, with the whole date range chosen.
void PreparePage(CHistory& page) {
    page.resize(1280, 760);
    page.show();
    QApplication::processEvents();
    page.RefreshDeviceList();
    page.WaitForList(); // the device list and its columns come from the worker
    if (auto* start = qobject_cast<QDateEdit*>(page.Control(HistoryIds::kStartDate)))
        start->setDate(QDate::fromString(QString::fromLatin1(kFirstDate), Qt::ISODate));
    if (auto* end = qobject_cast<QDateEdit*>(page.Control(HistoryIds::kEndDate)))
        end->setDate(QDate::fromString(QString::fromLatin1(kLastDate), Qt::ISODate));
    QApplication::processEvents();
}

// Checks the workbook against the list rows it was made from; also with python3-xlrd when
// that reader is installed (an independent reader of the format).
bool CheckWorkbook(const QString& path, const QStringList& headings,
                   const QVector<QStringList>& rows, QString* problem) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("no file written");
        return false;
    }
    QVector<Biff::Sheet> sheets;
    QString reason;
    if (!Biff::ReadWorkbook(f.readAll(), &sheets, &reason)) {
        *problem = QStringLiteral("unreadable workbook: %1").arg(reason);
        return false;
    }
    const auto sheet = std::find_if(sheets.begin(), sheets.end(), [](const Biff::Sheet& s) {
        return s.name == QLatin1String("Value");
    });
    if (sheet == sheets.end() || sheet->rows.size() != rows.size() + 1) {
        *problem = QStringLiteral("sheet Value missing or with the wrong row count");
        return false;
    }
    // Headings as the sheet names its columns: cut to 60 characters, without ".", empty ones
    // left out; cells cut to 60 characters.
    QStringList names;
    for (const QString& h : headings) {
        const QString name = h.left(kXlsCellChars).remove(QLatin1Char('.'));
        if (!name.isEmpty())
            names.append(name);
    }
    auto cut = [](QStringList cells) {
        for (QString& c : cells)
            c = c.left(kXlsCellChars);
        return cells;
    };
    for (qsizetype r : {qsizetype(0), qsizetype(1), rows.size()}) {
        const QStringList want = r == 0 ? names : cut(rows[r - 1]);
        if (sheet->rows[r] != want) {
            *problem = QStringLiteral("workbook row %1 is \"%2\", the list's \"%3\"")
                           .arg(r)
                           .arg(sheet->rows[r].join('|').left(80), want.join('|').left(80));
            return false;
        }
    }
    if (QFileInfo::exists(QStringLiteral("/usr/bin/python3"))) {
        const ChildResult check = RunChild(
            QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import sys\n"
                            "try:\n import xlrd\nexcept ImportError:\n print('skip'); sys.exit(0)\n"
                            "s = xlrd.open_workbook(sys.argv[1]).sheet_by_name('Value')\n"
                            "print(s.nrows, s.cell_value(s.nrows - 1, 1))"),
             path},
            {}, 120000);
        const QString out = check.lines.isEmpty() ? QString() : check.lines.last().text;
        const QString want = QStringLiteral("%1 %2").arg(rows.size() + 1).arg(rows.last().value(1));
        if (check.exitCode != 0 || (out != QLatin1String("skip") && out != want)) {
            *problem = QStringLiteral("xlrd reads \"%1\", expected \"%2\"").arg(out, want);
            return false;
        }
    }
    return true;
}

} // namespace

struct HistoryHome::Impl {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/brtx-bench-XXXXXX")};
    QString kept; // the folder kept between runs, when one was given
};

namespace {

// The generated records: one INSERT ... SELECT over a counter. Devices take turns; dates
// start in 2015 with three hundred tests a day; texts are names, plates and places as operators
// type them, Latin and Chinese.
bool GenerateRows(const QString& dbPath, int rows, QString* problem) {
    sqlite3* db = nullptr;
    if (sqlite3_open(dbPath.toUtf8().constData(), &db) != SQLITE_OK) {
        *problem = QStringLiteral("cannot open %1").arg(dbPath);
        sqlite3_close(db);
        return false;
    }
    const char* sql = R"(
INSERT INTO ValueInfo(Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit,
  Reserve1,Reserve2,Reserve3,Reserve4,FieldGroup,FieldSelect,Reserve5,Reserve6,
  Field1,Field2,Field3,Field4,Field5,GPS,Path,PictureName)
WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < ?1)
SELECT
  CASE x % 3 WHEN 0 THEN '0123456789' WHEN 1 THEN '0123456790' ELSE '0123456791' END,
  CAST((x + 2) / 3 AS TEXT),
  date('2015-01-01', '+' || ((x - 1) / 300) || ' days'),
  printf('%02d:%02d:%02d', 7 + (x % 30) / 2, (x * 7) % 60, (x * 13) % 60),
  CASE WHEN x % 23 = 0 THEN 'Refuse' WHEN x % 41 = 0 THEN 'Discontinued'
       WHEN x % 5 = 0 THEN 'Manual' ELSE 'Auto' END,
  CASE WHEN x % 23 = 0 OR x % 41 = 0 THEN '' ELSE printf('%.3f', ((x * 7919) % 1200) / 1000.0) END,
  'mg/L', '', '', '', '', '1', '0', '', '',
  CASE x % 11 WHEN 0 THEN 'Wang Wei' WHEN 1 THEN 'Anna Müller' WHEN 2 THEN '张伟'
    WHEN 3 THEN 'Jean Dupont' WHEN 4 THEN 'Li Na' WHEN 5 THEN 'O''Brien'
    WHEN 6 THEN 'Søren Kjær' WHEN 7 THEN '李娜' WHEN 8 THEN 'Maria García'
    WHEN 9 THEN 'Ivan Petrov' ELSE 'Chen Jing' END || ' ' || (x % 997),
  CASE x % 5 WHEN 0 THEN '沪A' WHEN 1 THEN 'B-' WHEN 2 THEN 'M-' WHEN 3 THEN '京C' ELSE 'HH-' END
    || printf('%05d', (x * 7919) % 100000),
  CASE x % 7 WHEN 0 THEN 'Ring road km 12' WHEN 1 THEN '人民广场' WHEN 2 THEN 'Harbour gate'
    WHEN 3 THEN 'Main street 4' WHEN 4 THEN '南京路' WHEN 5 THEN 'Airport exit'
    ELSE 'Bridge checkpoint' END,
  'Officer ' || (x % 37), 'Shift ' || (x % 3 + 1),
  printf('31.%06d 121.%06d', (x * 31) % 1000000, (x * 17) % 1000000),
  printf('\%s\%05d.jpg', CASE x % 3 WHEN 0 THEN '0123456789' WHEN 1 THEN '0123456790'
    ELSE '0123456791' END, (x + 2) / 3),
  printf('%05d.jpg', (x + 2) / 3)
FROM n)";
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int(st, 1, rows);
        ok = sqlite3_step(st) == SQLITE_DONE;
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        *problem = QStringLiteral("generating rows: %1").arg(QString::fromUtf8(sqlite3_errmsg(db)));
    sqlite3_close(db);
    return ok;
}

} // namespace

HistoryHome::HistoryHome(const QString& programDir, int rows, bool generated,
                         const QString& keepDir)
    : d(new Impl) {
    // A kept folder holds one generated database per count; a finished one has its mark.
    const QString mark = QStringLiteral("generated.done");
    if (generated && !keepDir.isEmpty()) {
        d->kept = QDir(keepDir).absoluteFilePath(QStringLiteral("workbench-%1").arg(rows));
        if (!QFileInfo::exists(d->kept + '/' + mark))
            QDir(d->kept).removeRecursively(); // an unfinished one from a stopped run
        if (!QDir().mkpath(d->kept)) {
            m_problem = QStringLiteral("cannot make %1").arg(d->kept);
            return;
        }
    } else if (!d->dir.isValid()) {
        m_problem = QStringLiteral("no temporary folder");
        return;
    }
    // Texts, the failure picture and the report's style files, as in the program folder.
    for (const char* name :
         {"Language.ini", "failer.jpg", "report.css", "logo.png", "bootstrap.min.css"}) {
        QFile::remove(Path() + '/' + QLatin1String(name));
        QFile::copy(programDir + '/' + QLatin1String(name), Path() + '/' + QLatin1String(name));
    }
    if (!d->kept.isEmpty() && QFileInfo::exists(d->kept + '/' + mark)) {
        m_ok = true; // generated by an earlier run
        return;
    }

    const double start = NowMs();
    const QString dbPath = Path() + QStringLiteral("/brtx.db");
    {
        SQLite::Database db;
        if (db.Open(dbPath) != 0 || !Schema::CreateTables(db)) {
            m_problem = QStringLiteral("cannot create %1").arg(dbPath);
            return;
        }
        QStringList titles;
        for (int k = 1; k <= 20; ++k)
            titles << QStringLiteral("Title%1").arg(k);
        if (generated) {
            titles = QStringList{"Name", "Plate", "Place", "Officer", "Shift"};
            db.ExecuteSQL(Statements::ReplaceTitleInfo(titles, 1, QStringLiteral("0123456790")));
            db.ExecuteSQL(Statements::ReplaceTitleInfo({"Plate", "Name", "", "Shift"}, 1,
                                                       QStringLiteral("0123456791")));
        }
        db.ExecuteSQL(Statements::ReplaceTitleInfo(titles, 1, Device()));
    }
    if (!(generated ? GenerateRows(dbPath, rows, &m_problem)
                    : InsertRows(dbPath, rows, &m_problem)))
        return;
    m_fillMs = NowMs() - start;
    if (!d->kept.isEmpty()) {
        QFile done(d->kept + '/' + mark);
        if (!done.open(QIODevice::WriteOnly)) {
            m_problem = QStringLiteral("cannot write %1").arg(done.fileName());
            return;
        }
    }
    m_ok = true;
}

HistoryHome::~HistoryHome() {
    delete d;
}

QString HistoryHome::Path() const {
    return d->kept.isEmpty() ? d->dir.path() : d->kept;
}

void HistoryHome::Use() const {
    qputenv("BRTX_HOME", Path().toLocal8Bit());
}

ListFigures RunHistoryList(const HistoryHome& home, int runs) {
    ListFigures out;
    home.Use();
    const QString first = QString::fromLatin1(kFirstDate);
    const QString last = QString::fromLatin1(kLastDate);

    // The whole list read into memory at once (as brtx-cli export-xls reads it).
    QVector<double> query;
    CHistoryQuery q;
    q.LoadColumns(HistoryHome::Device());
    for (int i = 0; i < runs; ++i) {
        const double t = NowMs();
        q.Query(first, last);
        query.append(NowMs() - t);
    }
    out.queryMs = Median(query);

    // The page: Query pressed, until its first rows and the row count are in.
    CHistory page;
    PreparePage(page);
    if (page.CurrentDevice() != HistoryHome::Device()) {
        out.problem = QStringLiteral("the page does not show the device");
        return out;
    }
    QVector<double> pageRuns;
    for (int i = 0; i < runs; ++i) {
        // A user presses Query on an idle page: work the page left to the background (freeing
        // the rows it showed before) has ended.
        QThreadPool::globalInstance()->waitForDone();
        const double t = NowMs();
        page.OnBnClickedQuery();
        page.WaitForList(); // the list is filled from the worker
        QApplication::processEvents();
        pageRuns.append(NowMs() - t);
    }
    out.firstPageMs = pageRuns.value(0);
    out.pageMs = Median(pageRuns);
    out.rows = page.ListRowCount();
    out.columns = page.ListColumnCount();
    out.ok = out.rows == q.RowCount() && out.rows > 0;
    if (!out.ok)
        out.problem = QStringLiteral("the list shows %1 rows, the query gave %2")
                          .arg(out.rows)
                          .arg(q.RowCount());
    return out;
}

QVector<XlsFigures> RunXlsExport(const HistoryHome& home, const QVector<int>& rowCounts) {
    QVector<XlsFigures> all;
    home.Use();
    CHistory page;
    PreparePage(page);
    page.OnBnClickedQuery();
    page.WaitForList();

    for (int count : rowCounts) {
        XlsFigures out;
        out.rows = count;
        const QString path = home.Path() + QStringLiteral("/export-%1.xls").arg(count);
        if (page.ListRowCount() < count) {
            out.problem = QStringLiteral("the list holds only %1 rows").arg(page.ListRowCount());
            all.append(out);
            continue;
        }
        // What the page's export does after its save dialog (on its list's worker thread):
        // the rows of the list's filter and order streamed from the database into the
        // workbook, here the first `count` of them.
        const double t = NowMs();
        CLocalRecordSource source(QString(), page.Texts());
        QString error;
        QVector<HistoryColumn> columns;
        source.Columns(page.Filter(), columns, &error);
        QStringList headings;
        for (const HistoryColumn& c : columns)
            headings.append(c.heading);
        QVector<QStringList> rows; // kept for the check of the file
        rows.reserve(count);
        ExportRequest request;
        request.path = path;
        request.format = ExportFormat::Xls;
        request.columns = ExportColumnsOf(columns);
        request.total = count;
        request.rows = [&](const ExportRowSink& sink, QString* why) {
            bool more = true;
            const bool read = source.Stream(
                page.Filter(), page.Sort(),
                [&](const HistoryRow& row) {
                    rows.append(row.cells);
                    more = sink(row.cells);
                    return more && rows.size() < count;
                },
                why);
            return read || rows.size() == count;
        };
        const ExportResult result = RunExport(request);
        out.ms = NowMs() - t;
        out.fileBytes = QFileInfo(path).size();
        if (!result.ok)
            out.problem = QStringLiteral("export failed: %1").arg(result.error.trimmed());
        else
            out.ok = CheckWorkbook(path, headings, rows, &out.problem);
        QFile::remove(path);
        all.append(out);
    }
    return all;
}

PdfFigures RunPdfExport(const HistoryHome& home, int photoBytes) {
    PdfFigures out;
    home.Use();
    CHistory page;
    PreparePage(page);
    page.OnBnClickedQuery();
    QApplication::processEvents();
    auto* list = qobject_cast<QTableView*>(page.Control(HistoryIds::kList));
    if (!list || page.ListRowCount() == 0) {
        out.problem = QStringLiteral("no list rows");
        return out;
    }
    list->selectRow(0);
    QApplication::processEvents();
    if (page.SelectedRow() != 0) {
        out.problem = QStringLiteral("the first row could not be selected");
        return out;
    }
    // The record's photograph where its stored Path points.
    const QString picture = page.PicturePath().replace('\\', '/');
    QDir().mkpath(QFileInfo(picture).path());
    QFile photo(picture);
    if (!photo.open(QIODevice::WriteOnly) ||
        photo.write(
            brtxsim::MakePhoto(page.ListCell(0, 1).toInt(), QDate(2020, 1, 1), photoBytes)) < 0) {
        out.problem = QStringLiteral("cannot write %1").arg(picture);
        return out;
    }
    photo.close();

    const double t = NowMs();
    page.OnBnClickedExportPdf();
    auto* report = page.findChild<CPdfReport*>();
    while (report && report->Running() && NowMs() - t < 90000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    out.ms = NowMs() - t;
    if (!report) {
        out.problem = QStringLiteral("no report was started");
        return out;
    }
    out.fileBytes = QFileInfo(report->PdfPath()).size();
    out.ok = report->Succeeded() && out.fileBytes > 0;
    if (!out.ok)
        out.problem = QStringLiteral("report failed: %1").arg(report->ErrorText());
    return out;
}

namespace {

// Runs the page's events until cond() holds or timeoutMs passes; the time it took. The
// window thread sleeps between events and looks at cond() every 2 ms, as an idle window
// would: spinning on processEvents took a core from the workers it waits for.
double Until(const std::function<bool()>& cond, int timeoutMs = 30000) {
    const double t = NowMs();
    if (cond())
        return NowMs() - t;
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (cond() || NowMs() - t >= timeoutMs)
            loop.quit();
    });
    tick.start(2);
    loop.exec();
    return NowMs() - t;
}

long SelfRssKb() {
    return ProcessRssKb(getpid());
}

} // namespace

WorkbenchFigures RunWorkbench(const HistoryHome& home, const QString& programDir, bool withCli,
                              bool allDevices) {
    WorkbenchFigures out;
    home.Use();
    CHistory page;
    PreparePage(page);
    auto* box = qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox));
    auto* list = qobject_cast<QTableView*>(page.Control(HistoryIds::kList));
    auto* search = qobject_cast<QLineEdit*>(page.Control(HistoryIds::kSearch));
    auto* minimum = qobject_cast<QLineEdit*>(page.Control(HistoryIds::kMinResult));
    auto* maximum = qobject_cast<QLineEdit*>(page.Control(HistoryIds::kMaxResult));
    if (!box || !list || !search || !minimum || !maximum) {
        out.problem = QStringLiteral("the page lacks its controls");
        return out;
    }
    if (allDevices)
        box->setCurrentIndex(0);
    QThreadPool::globalInstance()->waitForDone();
    QApplication::processEvents();
    const long before = SelfRssKb();
    CHistoryModel* model = page.Model();
    // The answer of the last Query or sort is in and the rows in view are held: what the user
    // sees is there.
    auto shown = [&page, list, model] {
        if (page.ListPending())
            return false;
        const int top = list->rowAt(0);
        const int bottom = list->rowAt(list->viewport()->height() - 1);
        if (top < 0)
            return model->rowCount() == 0;
        return model->HasRow(top) && model->HasRow(bottom < 0 ? model->rowCount() - 1 : bottom);
    };
    auto query = [&] {
        page.WaitForList(); // work left over from before (rows further down) has ended
        const double t = NowMs();
        page.OnBnClickedQuery();
        Until(shown);
        QApplication::processEvents();
        return NowMs() - t;
    };

    out.firstScreenMs = query();
    page.WaitForList(); // the count, so that the list is as long as it will be
    out.rows = model->Count();
    list->scrollToBottom();
    out.scrollEndMs = Until(shown);
    if (!model->HasRow(model->rowCount() - 1)) {
        out.problem = QStringLiteral("the last row never came");
        return out;
    }
    const QString last = page.ListCell(model->rowCount() - 1, 1);

    search->setText(QStringLiteral("müller 4"));
    out.searchMs = query();
    page.WaitForList();
    out.searchRows = model->Count();
    search->clear();
    minimum->setText(QStringLiteral("0.5"));
    maximum->setText(QStringLiteral("0.6"));
    out.rangeMs = query();
    page.WaitForList();
    out.rangeRows = model->Count();
    minimum->clear();
    maximum->clear();
    query();
    page.WaitForList();
    page.WaitForList();
    double t = NowMs();
    page.SortBy(5, true);
    Until(shown);
    out.sortMs = NowMs() - t;
    const QString top = page.ListCell(0, 5);
    page.WaitForList();
    t = NowMs();
    page.SortBy(allDevices ? 8 : 7, false);
    Until(shown);
    out.textSortMs = NowMs() - t;
    QApplication::processEvents();
    out.heldMb = (SelfRssKb() - before) / 1024.0;
    page.WaitForList(); // nothing of the page runs beside brtx-cli
    out.ok = out.rows > 0 && !last.isEmpty() && out.searchRows > 0 && out.rangeRows > 0 &&
             top.toDouble() >= 1.0;
    if (!out.ok) {
        out.problem = QStringLiteral("unexpected list: %1 rows, last record \"%2\", %3 found, %4 "
                                     "in range, top result %5")
                          .arg(out.rows)
                          .arg(last)
                          .arg(out.searchRows)
                          .arg(out.rangeRows)
                          .arg(top);
        return out;
    }

    if (withCli) {
        const QString cli = programDir + QStringLiteral("/brtx-cli");
        // GNU time reports the peak of brtx-cli alone (wait4 on a child forked from this large
        // process would count the pages it shared before its exec) and its processor time.
        const bool timed = QFileInfo::exists(QStringLiteral("/usr/bin/time"));
        const QString command =
            QStringLiteral("exec %4'%1' --home '%2' history %3 > /dev/null")
                .arg(cli, home.Path(),
                     allDevices ? QStringLiteral("--all-devices")
                                : QStringLiteral("--device ") + HistoryHome::Device(),
                     timed ? QStringLiteral("/usr/bin/time -f 'cli-peak %M %U %S' ") : QString());
        const ChildResult run =
            RunChild(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, {}, 120000);
        out.cliMs = run.wallMs;
        out.cliPeakKb = run.peakRssKb;
        for (const ChildLine& line : run.lines) {
            const QStringList parts = line.text.split(QLatin1Char(' '));
            if (parts.size() == 4 && parts[0] == QLatin1String("cli-peak")) {
                out.cliPeakKb = parts[1].toLong();
                out.cliCpuMs = (parts[2].toDouble() + parts[3].toDouble()) * 1000;
            }
        }
        out.cliOk = run.exitCode == 0;
        if (!out.cliOk)
            out.problem = QStringLiteral("brtx-cli history failed");
        out.ok = out.ok && out.cliOk;
    }
    return out;
}

StatsFigures RunStats(const HistoryHome& home, const QString& programDir) {
    StatsFigures out;
    home.Use();
    // brtx-cli stats, timed by GNU time when it is there (its own peak and processor time).
    const QString cli = programDir + QStringLiteral("/brtx-cli");
    const bool timed = QFileInfo::exists(QStringLiteral("/usr/bin/time"));
    for (const char* by : {"day", "week", "hour", "field:Officer", "device"}) {
        StatsFigures::Cli c;
        c.by = QLatin1String(by);
        const QString output = home.Path() + QStringLiteral("/stats.out");
        const QString command =
            QStringLiteral("exec %3'%1' --home '%2' stats --all-devices --by '%4' > '%5'")
                .arg(cli, home.Path(),
                     timed ? QStringLiteral("/usr/bin/time -f 'cli-peak %M %U %S' ") : QString(),
                     c.by, output);
        const ChildResult run =
            RunChild(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, {}, 120000);
        c.ms = run.wallMs;
        c.peakKb = run.peakRssKb;
        for (const ChildLine& line : run.lines) {
            const QStringList parts = line.text.split(QLatin1Char(' '));
            if (parts.size() == 4 && parts[0] == QLatin1String("cli-peak")) {
                c.peakKb = parts[1].toLong();
                c.cpuMs = (parts[2].toDouble() + parts[3].toDouble()) * 1000;
            }
        }
        QFile printed(output);
        if (printed.open(QIODevice::ReadOnly))
            c.lines = int(printed.readAll().count('\n'));
        printed.remove();
        if (run.exitCode != 0 || c.lines < 2) {
            out.problem = QStringLiteral("brtx-cli stats --by %1 failed").arg(c.by);
            return out;
        }
        out.cli.append(c);
    }

    // The page over every device, its Statistics tab shown: each chart until it is drawn.
    CHistory page;
    PreparePage(page);
    auto* box = qobject_cast<QComboBox*>(page.Control(HistoryIds::kDeviceBox));
    CStatsView* stats = page.Stats();
    auto* period = qobject_cast<QComboBox*>(page.Control(StatsIds::kPeriod));
    if (!box || !stats || !period || !page.Tabs()) {
        out.problem = QStringLiteral("the page lacks its statistics");
        return out;
    }
    box->setCurrentIndex(0);
    page.OnBnClickedQuery();
    page.WaitForList();
    // The list's seal marks of the rows in view: each listed device's seals are checked on a
    // thread of the list's own, which would otherwise run beside the first charts (taking one
    // of the cores) and count its marks as memory the tab holds.
    auto* list = qobject_cast<QTableView*>(page.Control(HistoryIds::kList));
    CHistoryModel* model = page.Model();
    if (list && model)
        Until(
            [list, model] {
                const int top = qMax(0, list->rowAt(0));
                int bottom = list->rowAt(list->viewport()->height() - 1);
                if (bottom < 0)
                    bottom = model->rowCount() - 1;
                for (int r = top; r <= bottom; ++r)
                    if (model->headerData(r, Qt::Vertical).toString().isEmpty())
                        return false;
                return true;
            },
            120000);
    QThreadPool::globalInstance()->waitForDone();
    QApplication::processEvents();
    // What the list freed goes back first (the tab gives back what is free after each count):
    // the figures after each chart are then what the tab adds.
    malloc_trim(0);
    const long before = SelfRssKb();
    {
        const struct mallinfo2 heap = mallinfo2();
        fprintf(stderr, "brtx-bench: before the tab: malloc in use %.1f MiB\n",
                double(heap.uordblks + heap.hblkhd) / 1048576.0);
    }
    page.Tabs()->setCurrentIndex(1);
    auto settle = [stats] {
        const double t = NowMs();
        Until([stats] { return !stats->Busy(); }, 60000);
        QApplication::processEvents();
        return NowMs() - t;
    };
    settle(); // the tab's first chart, counted when it was shown
    struct Step {
        const char* name;
        CStatsView::Chart chart;
        int period; // index of the period box, -1: not this chart's
    };
    const Step steps[] = {{"tests per day", CStatsView::Period, 0},
                          {"tests per week", CStatsView::Period, 1},
                          {"tests per month", CStatsView::Period, 2},
                          {"distribution of results", CStatsView::Results, -1},
                          {"weekday and hour", CStatsView::Heat, -1},
                          {"rates by Name", CStatsView::Field, -1},
                          {"tests per device", CStatsView::Device, -1}};
    for (const Step& step : steps) {
        StatsFigures::Chart c;
        c.name = QLatin1String(step.name);
        const double t = NowMs();
        if (step.period >= 0)
            period->setCurrentIndex(step.period);
        stats->SetChart(step.chart); // a count started by the period box gives way to this one
        Until([stats] { return !stats->Busy(); }, 60000);
        QApplication::processEvents();
        c.ms = NowMs() - t;
        c.bars = int(stats->Bars().size());
        QFile status(QStringLiteral("/proc/self/status")); // heap and mapped files apart
        QByteArray kinds;
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("RssAnon") || line.startsWith("RssFile"))
                    kinds += ' ' + line.simplified();
        // What malloc holds from the system (arena: its heaps, mmap: its big blocks) against
        // what is in use, beside the process's anonymous memory.
        const struct mallinfo2 heap = mallinfo2();
        fprintf(stderr,
                "brtx-bench: %s: page holds %.1f MiB more;%s; malloc arena %.1f MiB, mmap %.1f "
                "MiB, in use %.1f MiB\n",
                step.name, double(SelfRssKb() - before) / 1024.0, kinds.constData(),
                double(heap.arena) / 1048576.0, double(heap.hblkhd) / 1048576.0,
                double(heap.uordblks + heap.hblkhd) / 1048576.0);
        if (stats->Busy() || c.bars == 0) {
            out.problem = QStringLiteral("the chart \"%1\" shows no bars").arg(c.name);
            return out;
        }
        out.charts.append(c);
    }
    QThreadPool::globalInstance()->waitForDone();
    QApplication::processEvents();
    out.heldMb = (SelfRssKb() - before) / 1024.0;
    out.ok = true;
    return out;
}

} // namespace bench
