#include "instruments/page/InstrumentsPage.h"

#include "app/shell/ControlId.h"
#include "base/Paths.h"
#include "discovery/Discovery.h"
#include "instruments/chart/DriftChart.h"
#include "instruments/page/InstrumentDialogs.h"
#include "instruments/page/InstrumentsWorker.h"
#include "store/Audit.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace {

template <class T> T* Made(T* control, int id) {
    SetControlId(control, id);
    return control;
}

// Opens brtx.db to read or write; false when there is none (nothing is made then).
bool OpenStore(SQLite::Database& db, bool write) {
    if (!FileExists(GetDatabasePath()))
        return false;
    return db.Open(GetDatabasePath(), write ? SQLite::Database::Access::Existing
                                            : SQLite::Database::Access::ReadOnly) == 0;
}

QTableView* MakeTable(QWidget* parent, QStandardItemModel* model) {
    auto* view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setAlternatingRowColors(true);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->horizontalHeader()->setStretchLastSection(true);
    return view;
}

// A stored UTC time ("2026-12-09T18:33:06.898Z") as local minutes; other texts as they are.
QString LocalMinutes(const QString& stored) {
    const QDateTime t = QDateTime::fromString(stored, Qt::ISODateWithMs);
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")) : stored;
}

QStandardItem* Cell(const QString& text) {
    auto* item = new QStandardItem(text);
    item->setEditable(false);
    return item;
}

// A table of the answer of a worker: what was read and whether it could be.
struct RegisterAnswer {
    QList<InstrumentRegister::Row> rows;
    bool ok = false;
};
struct LogAnswer {
    QList<Instruments::LogEntry> log;
    bool ok = false;
};
struct WriteAnswer {
    QString error;
    qint64 entry = 0;
};

} // namespace

CInstrumentsPage::CInstrumentsPage(QWidget* parent, const CLanguage* texts)
    : QWidget(parent), m_language(texts ? *texts : CLanguage()) {
    using namespace InstrumentIds;
    InitResources();
    m_worker = new CInstrumentsWorker(QStringLiteral("instruments"), this);
    m_discovery = new CInstrumentsWorker(QStringLiteral("discovery"), this);

    m_register = new QStandardItemModel(this);
    m_register->setHorizontalHeaderLabels(
        {GetText("DeviceNo"), GetText("InstType"), GetText("InstLabel"), GetText("InstSerial"),
         GetText("InstModel"), GetText("InstLocation"), GetText("InstStatus"),
         GetText("InstFirstLink"), GetText("InstLastLink"), GetText("InstLastDownload"),
         GetText("InstRecords"), GetText("InstCalibrationDue"), GetText("InstAccuracyDue")});
    m_registerView = Made(MakeTable(this, m_register), kRegister);

    m_label = Made(new QLineEdit(this), kLabel);
    m_serial = Made(new QLineEdit(this), kSerial);
    m_model = Made(new QLineEdit(this), kModel);
    m_location = Made(new QLineEdit(this), kLocation);
    m_status = Made(new QComboBox(this), kStatus);
    QStringList statusNames;
    m_language.GetTextList(statusNames, QStringLiteral("InstStatusNames"), QStringLiteral(","));
    m_status->addItem(QString(), QString());
    for (int i = 0; i < InstrumentRegister::Statuses().size(); ++i)
        m_status->addItem(statusNames.value(i, InstrumentRegister::Statuses()[i]),
                          InstrumentRegister::Statuses()[i]);
    m_calibrationDays = Made(new QSpinBox(this), kCalibrationDays);
    m_accuracyDays = Made(new QSpinBox(this), kAccuracyDays);
    for (QSpinBox* days : {m_calibrationDays, m_accuracyDays}) {
        days->setRange(0, 3650);
        days->setSpecialValueText(GetText("InstDefaultDays"));
    }
    m_notes = Made(new QLineEdit(this), kNotes);
    m_save = Made(new QPushButton(GetText("InstSave"), this), kSave);
    m_addEntry = Made(new QPushButton(GetText("InstAddEntry"), this), kAddEntry);
    m_discoveryButton = Made(new QPushButton(GetText("InstDiscovery"), this), kDiscovery);
    m_progress = Made(new QProgressBar(this), kProgress);
    m_progress->setRange(0, 100);
    m_progress->hide();

    auto* form = new QFormLayout;
    form->addRow(GetText("InstLabel"), m_label);
    form->addRow(GetText("InstSerial"), m_serial);
    form->addRow(GetText("InstModel"), m_model);
    form->addRow(GetText("InstLocation"), m_location);
    form->addRow(GetText("InstStatus"), m_status);
    form->addRow(GetText("InstCalibrationDays"), m_calibrationDays);
    form->addRow(GetText("InstAccuracyDays"), m_accuracyDays);
    form->addRow(GetText("InstNotes"), m_notes);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_save);
    buttons->addWidget(m_addEntry);
    buttons->addWidget(m_discoveryButton);
    auto* side = new QVBoxLayout;
    side->addLayout(form);
    side->addLayout(buttons);
    side->addWidget(m_progress);
    side->addStretch();
    auto* sideBox = new QWidget(this);
    sideBox->setLayout(side);
    sideBox->setFixedWidth(320);

    m_log = new QStandardItemModel(this);
    m_log->setHorizontalHeaderLabels(
        {GetText("InstEntry"), GetText("InstKind"), GetText("InstDate"), GetText("InstTechnician"),
         GetText("InstStandard"), GetText("InstTarget"), GetText("InstMeasured"),
         GetText("InstTolerance"), GetText("InstResult"), GetText("InstSupersedes"),
         GetText("InstAttachment")});
    m_logView = Made(MakeTable(this, m_log), kLog);
    m_chartView = Made(new QChartView(this), kChart);
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(220);
    m_savePng = Made(new QPushButton(GetText("InstSavePng"), this), kSavePng);
    m_saveSvg = Made(new QPushButton(GetText("InstSaveSvg"), this), kSaveSvg);
    auto* chartTab = new QWidget(this);
    auto* chartBar = new QHBoxLayout;
    chartBar->addStretch();
    chartBar->addWidget(m_savePng);
    chartBar->addWidget(m_saveSvg);
    auto* chartLayout = new QVBoxLayout(chartTab);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->addWidget(m_chartView, 1);
    chartLayout->addLayout(chartBar);
    m_tabs = Made(new QTabWidget(this), kTabs);
    m_tabs->addTab(m_logView, GetText("InstLogTab"));
    m_tabs->addTab(chartTab, GetText("InstChartTab"));

    auto* top = new QWidget(this);
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addWidget(m_registerView, 1);
    topLayout->addWidget(sideBox);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(top);
    split->addWidget(m_tabs);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setChildrenCollapsible(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(split);

    connect(m_registerView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CInstrumentsPage::OnSelectionChanged);
    connect(m_save, &QPushButton::clicked, this, &CInstrumentsPage::SaveEdits);
    connect(m_addEntry, &QPushButton::clicked, this, &CInstrumentsPage::OnAddEntry);
    connect(m_discoveryButton, &QPushButton::clicked, this, &CInstrumentsPage::OnDiscovery);
    for (auto [button, suffix] : {std::pair{m_savePng, "png"}, std::pair{m_saveSvg, "svg"}}) {
        const QString ext = QLatin1String(suffix);
        connect(button, &QPushButton::clicked, this, [this, ext] {
            if (m_device.isEmpty())
                return Say(GetText("InstSelectFirst"));
            const QString path = QFileDialog::getSaveFileName(
                this, GetText("InstChartTab"), QStringLiteral("drift-%1.%2").arg(m_device, ext),
                QStringLiteral("*.%1").arg(ext));
            if (!path.isEmpty())
                SaveChart(path);
        });
    }
    ShowInstrument();
    ShowDrift(QString());
}

void CInstrumentsPage::ShowDrift(const QString& device) {
    // The view releases the chart it had without deleting it.
    QChart* old = m_chartView->chart();
    m_chartView->setChart(DriftChart::Make(m_drift, device, m_language));
    delete old;
}

CInstrumentsPage::~CInstrumentsPage() {
    // The workers end first, while the page is whole: a discovery package being made is
    // stopped (and not written), any other job is let finish.
    m_discoveryCancel = true;
    delete m_discovery;
    delete m_worker;
}

QString CInstrumentsPage::FieldNames(QString reason) const {
    // The checks name the command line's options; the page names its fields.
    const struct {
        const char* option;
        const char* key;
    } names[] = {{"--standard-kind", "InstStandard"},
                 {"--kind", "InstKind"},
                 {"--date", "InstDate"},
                 {"--technician", "InstTechnician"},
                 {"--lot", "InstLot"},
                 {"--expiry", "InstExpiry"},
                 {"--target", "InstTarget"},
                 {"--unit", "InstUnit"},
                 {"--measured", "InstMeasured"},
                 {"--tolerance", "InstTolerance"},
                 {"--supersedes", "InstSupersedes"},
                 {"--attach", "InstAttachment"}};
    for (const auto& n : names)
        reason.replace(QLatin1String(n.option), GetText(n.key));
    return reason;
}

static void InitInstrumentsQrc() {
    Q_INIT_RESOURCE(instruments);
}

void CInstrumentsPage::InitResources() {
    static const bool done = (InitInstrumentsQrc(), true);
    Q_UNUSED(done);
}

QString CInstrumentsPage::GetText(const char* key) const {
    const QString k = QLatin1String(key);
    const QString text = m_language.GetText(k);
    return text.isEmpty() ? k : text;
}

QWidget* CInstrumentsPage::Control(int id) const {
    return findChild<QWidget*>(QString::number(id));
}

QChart* CInstrumentsPage::Chart() const {
    return m_chartView->chart();
}

void CInstrumentsPage::Say(const QString& text) {
    emit statusChanged(text);
}

void CInstrumentsPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        Refresh();
}

void CInstrumentsPage::Refresh() {
    ++m_busy;
    const Calibration::Intervals defaults = Calibration::DefaultIntervals(m_language);
    m_worker->Run<RegisterAnswer>(
        this,
        [defaults] {
            RegisterAnswer a;
            SQLite::Database db;
            if (!OpenStore(db, false)) {
                a.ok = true; // no database yet: no instruments
                return a;
            }
            a.rows = InstrumentRegister::Load(db, defaults, &a.ok);
            return a;
        },
        [this](RegisterAnswer a) {
            --m_busy;
            if (!a.ok)
                Say(GetText("InstReadFailed"));
            ShowRegister(a.rows);
        });
}

void CInstrumentsPage::ShowRegister(const QList<InstrumentRegister::Row>& rows) {
    const QString keep = m_device;
    m_rows = rows;
    const QSignalBlocker block(m_registerView->selectionModel());
    m_register->removeRows(0, m_register->rowCount());
    const QDate today = QDate::currentDate();
    const QString overdue = GetText("InstOverdue");
    QStringList statusNames;
    m_language.GetTextList(statusNames, QStringLiteral("InstStatusNames"), QStringLiteral(","));
    int selected = -1;
    for (const InstrumentRegister::Row& r : rows) {
        const Instruments::Instrument& i = r.instrument;
        const int s = int(InstrumentRegister::Statuses().indexOf(i.status));
        const QString status = s < 0 ? i.status : statusNames.value(s, i.status);
        QList<QStandardItem*> cells{
            Cell(i.device),
            Cell(i.type),
            Cell(i.label),
            Cell(i.serial),
            Cell(i.model),
            Cell(i.location),
            Cell((status + QLatin1Char(' ') + i.statusDate).trimmed()),
            Cell(LocalMinutes(i.firstLink)),
            Cell(LocalMinutes(i.lastLink)),
            Cell(LocalMinutes(i.lastDownload)),
            Cell(QString::number(i.records)),
            Cell(InstrumentRegister::DueText(r.due.calibration, today, overdue)),
            Cell(InstrumentRegister::DueText(r.due.accuracy, today, overdue))};
        for (int c : {11, 12}) {
            const QDate due = c == 11 ? r.due.calibration : r.due.accuracy;
            if (due.isValid() && due < today) {
                cells[c]->setForeground(QColor(0xc0, 0x2b, 0x33));
                QFont bold = cells[c]->font();
                bold.setBold(true);
                cells[c]->setFont(bold);
            }
        }
        m_register->appendRow(cells);
        if (i.device == keep)
            selected = m_register->rowCount() - 1;
    }
    m_registerView->resizeColumnsToContents();
    if (selected < 0 && m_register->rowCount() > 0)
        selected = 0;
    if (selected >= 0)
        m_registerView->selectRow(selected);
    OnSelectionChanged();
}

const InstrumentRegister::Row* CInstrumentsPage::SelectedRow() const {
    for (const InstrumentRegister::Row& r : m_rows)
        if (r.instrument.device == m_device)
            return &r;
    return nullptr;
}

bool CInstrumentsPage::Select(const QString& device) {
    for (int r = 0; r < m_register->rowCount(); ++r)
        if (m_register->item(r, 0)->text() == device) {
            m_registerView->selectRow(r);
            return true;
        }
    return false;
}

void CInstrumentsPage::OnSelectionChanged() {
    const QModelIndexList rows = m_registerView->selectionModel()->selectedRows();
    const QString device =
        rows.isEmpty() ? QString() : m_register->item(rows.first().row())->text();
    m_device = device;
    ShowInstrument();
    LoadLog();
}

void CInstrumentsPage::ShowInstrument() {
    const InstrumentRegister::Row* row = SelectedRow();
    const Instruments::Instrument i = row ? row->instrument : Instruments::Instrument();
    m_label->setText(i.label);
    m_serial->setText(i.serial);
    m_model->setText(i.model);
    m_location->setText(i.location);
    m_status->setCurrentIndex(std::max(0, m_status->findData(i.status)));
    m_calibrationDays->setValue(i.calibrationDays);
    m_accuracyDays->setValue(i.accuracyDays);
    m_notes->setText(i.notes);
    for (QWidget* w : std::initializer_list<QWidget*>{
             m_label, m_serial, m_model, m_location, m_status, m_calibrationDays, m_accuracyDays,
             m_notes, m_save, m_addEntry, m_savePng, m_saveSvg})
        w->setEnabled(row != nullptr);
    m_discoveryButton->setEnabled(row != nullptr && !m_discoveryRunning);
}

void CInstrumentsPage::LoadLog() {
    const QString device = m_device;
    const quint64 ticket = ++m_logTicket;
    if (device.isEmpty()) {
        ShowLog({});
        return;
    }
    ++m_busy;
    m_worker->Run<LogAnswer>(
        this,
        [device] {
            LogAnswer a;
            SQLite::Database db;
            if (!OpenStore(db, false)) {
                a.ok = true;
                return a;
            }
            a.log = Instruments::Log(db, device, &a.ok);
            return a;
        },
        [this, ticket](LogAnswer a) {
            --m_busy;
            if (ticket != m_logTicket)
                return; // another instrument was chosen meanwhile
            if (!a.ok)
                Say(GetText("InstReadFailed"));
            ShowLog(a.log);
        });
}

void CInstrumentsPage::ShowLog(const QList<Instruments::LogEntry>& log) {
    m_entries = log;
    m_log->removeRows(0, m_log->rowCount());
    QStringList kindNames, standardNames;
    m_language.GetTextList(kindNames, QStringLiteral("InstKindNames"), QStringLiteral(","));
    m_language.GetTextList(standardNames, QStringLiteral("InstStandardNames"), QStringLiteral(","));
    const QString superseded = GetText("InstSuperseded");
    const QString pass = GetText("InstPass"), fail = GetText("InstFail");
    for (const Instruments::LogEntry& e : log) {
        const int k = int(Calibration::Kinds().indexOf(e.kind));
        const int sk = int(Calibration::StandardKinds().indexOf(e.standardKind));
        QStringList standard;
        if (!e.standardKind.isEmpty())
            standard << standardNames.value(sk, e.standardKind);
        if (!e.lot.isEmpty())
            standard << e.lot;
        if (!e.expiry.isEmpty())
            standard << QStringLiteral("→ ") + e.expiry;
        QString result = e.result == QLatin1String("pass")   ? pass
                         : e.result == QLatin1String("fail") ? fail
                                                             : e.result;
        if (!e.reason.isEmpty())
            result += QStringLiteral(": ") + e.reason;
        QString number = QString::number(e.id);
        if (e.superseded)
            number += QStringLiteral(" (") + superseded + QLatin1Char(')');
        QList<QStandardItem*> cells{
            Cell(number),
            Cell(k < 0 ? e.kind : kindNames.value(k, e.kind)),
            Cell(e.at),
            Cell(e.technician),
            Cell(standard.join(QStringLiteral(", "))),
            Cell((e.target + QLatin1Char(' ') + e.unit).trimmed()),
            Cell(e.measured),
            Cell(e.tolerance),
            Cell(result),
            Cell(e.supersedes > 0 ? QString::number(e.supersedes) : QString()),
            Cell(e.attachment)};
        cells[0]->setData(e.id, Qt::UserRole);
        if (e.result == QLatin1String("fail"))
            cells[8]->setForeground(QColor(0xc0, 0x2b, 0x33));
        if (e.superseded)
            for (QStandardItem* c : cells) {
                c->setForeground(QColor(0x88, 0x88, 0x88));
                QFont struck = c->font();
                struck.setStrikeOut(true);
                c->setFont(struck);
            }
        m_log->appendRow(cells);
    }
    m_logView->resizeColumnsToContents();
    m_drift = InstrumentRegister::DriftOf(log);
    ShowDrift(m_device);
}

bool CInstrumentsPage::WaitIdle(int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (m_busy > 0 || m_discoveryRunning) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void CInstrumentsPage::SaveEdits() {
    const InstrumentRegister::Row* row = SelectedRow();
    if (!row)
        return Say(GetText("InstSelectFirst"));
    const Instruments::Instrument before = row->instrument;
    Instruments::Instrument edited = before;
    edited.label = m_label->text().trimmed();
    edited.serial = m_serial->text().trimmed();
    edited.model = m_model->text().trimmed();
    edited.location = m_location->text().trimmed();
    edited.status = m_status->currentData().toString();
    edited.calibrationDays = m_calibrationDays->value();
    edited.accuracyDays = m_accuracyDays->value();
    edited.notes = m_notes->text().trimmed();
    ++m_busy;
    m_worker->Run<WriteAnswer>(
        this,
        [before, edited] {
            WriteAnswer a;
            SQLite::Database db;
            if (!OpenStore(db, true)) {
                a.error = QStringLiteral("cannot open ") + GetDatabasePath();
                return a;
            }
            a.error = InstrumentRegister::Save(db, before, edited, QDate::currentDate(),
                                               QString::fromLatin1(Audit::kPage));
            return a;
        },
        [this, device = edited.device](WriteAnswer a) {
            --m_busy;
            if (a.error.isEmpty())
                Say(GetText("InstSaved") + QLatin1Char(' ') + device);
            else
                Say(GetText("InstSaveFailed") + QLatin1Char(' ') + a.error);
            Refresh();
        });
}

void CInstrumentsPage::AddEntry(const Calibration::Input& given, const QString& attach) {
    if (m_device.isEmpty())
        return Say(GetText("InstSelectFirst"));
    Calibration::Input input = given;
    input.device = m_device;
    for (const QString* text : {&input.technician, &input.lot, &input.unit, &input.target})
        if (text->size() > 500)
            return Say(GetText("InstEntryRefused") + QStringLiteral(" a field takes at most 500 "
                                                                    "characters"));
    Instruments::LogEntry entry;
    const QString refused = Calibration::Prepare(input, QDateTime::currentDateTime(), &entry);
    if (!refused.isEmpty())
        return Say(GetText("InstEntryRefused") + QLatin1Char(' ') + FieldNames(refused));
    ++m_busy;
    m_worker->Run<WriteAnswer>(
        this,
        [entry, attach]() mutable {
            WriteAnswer a;
            SQLite::Database db;
            Instruments::Instrument known;
            if (!OpenStore(db, true) || !Instruments::Find(db, entry.device, &known)) {
                a.error = QStringLiteral("%1 is no known instrument").arg(entry.device);
                return a;
            }
            a.error =
                InstrumentRegister::Append(db, entry, attach, QString::fromLatin1(Audit::kPage));
            a.entry = entry.id;
            return a;
        },
        [this](WriteAnswer a) {
            --m_busy;
            if (a.error.isEmpty())
                Say(m_language.GetTextNumber(QStringLiteral("InstEntryAdded"), a.entry));
            else
                Say(GetText("InstEntryRefused") + QLatin1Char(' ') + FieldNames(a.error));
            Refresh();
        });
}

bool CInstrumentsPage::SaveChart(const QString& path) {
    const QString error = DriftChart::Save(m_drift, m_device, m_language, path);
    Say(error.isEmpty() ? GetText("InstChartSaved") + QLatin1Char(' ') + path
                        : GetText("InstChartFailed") + QLatin1Char(' ') + error);
    return error.isEmpty();
}

void CInstrumentsPage::OnAddEntry() {
    if (m_device.isEmpty())
        return Say(GetText("InstSelectFirst"));
    CLogEntryDialog dialog(m_language, m_entries, this);
    if (dialog.exec() == QDialog::Accepted)
        AddEntry(dialog.Input(), dialog.Attachment());
}

void CInstrumentsPage::OnDiscovery() {
    if (m_device.isEmpty() || m_discoveryRunning)
        return;
    CDiscoveryDialog dialog(m_language, m_device, this);
    if (dialog.exec() == QDialog::Accepted)
        StartDiscovery(dialog.Options());
}

void CInstrumentsPage::StartDiscovery(const Discovery::Options& given) {
    if (given.device.isEmpty() || given.out.isEmpty() || m_discoveryRunning)
        return;
    m_discoveryRunning = true;
    m_discoveryButton->setEnabled(false);
    m_progress->setValue(0);
    m_progress->show();
    Say(GetText("InstDiscoveryRunning"));
    Discovery::Options options = given;
    m_discoveryCancel = false;
    options.cancel = &m_discoveryCancel;
    QPointer<QProgressBar> bar = m_progress;
    options.progress = [bar](int percent) {
        QMetaObject::invokeMethod(
            bar,
            [bar, percent] {
                if (bar)
                    bar->setValue(percent);
            },
            Qt::QueuedConnection);
    };
    const CLanguage texts = m_language;
    m_discovery->Run<Discovery::Result>(
        this, [texts, options] { return Discovery::Build(texts, options); },
        [this, out = options.out](Discovery::Result r) {
            m_discoveryRunning = false;
            m_progress->hide();
            m_discoveryButton->setEnabled(!m_device.isEmpty());
            if (!r.ok)
                return Say(GetText("InstDiscoveryFailed") + QLatin1Char(' ') + r.error);
            QString text = GetText("InstDiscoveryDone") + QLatin1Char(' ') + out;
            if (r.records == 0)
                text += QStringLiteral(" (") + GetText("InstDiscoveryNoRecords") + QLatin1Char(')');
            Say(text);
        });
}
