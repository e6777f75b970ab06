#include "history/page/History.h"

#include "app/shell/ControlId.h"
#include "app/shell/RecordPicture.h"
#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "controls/Meter.h"
#include "history/core/LocalRecordSource.h"
#include "history/core/RecordWorker.h"
#include "history/page/HistoryModel.h"
#include "history/page/StatsView.h"
#include "store/SQLite.h"
#include "store/Seal.h"
#include "store/Statements.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHeaderView>
#include <QImageReader>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QLocale>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QSettings>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTabBar>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

namespace {

const char* const kDateFormat = "yyyy-MM-dd";

// Layout of the controls above the list, in pixels.
constexpr int kMargin = 8;
constexpr int kBarTop = 10;
constexpr int kBarHeight = 30;
constexpr int kFilterTop = 46;
constexpr int kListTop = 84;
constexpr int kTabHeight = 28; // the History / Statistics tabs above the list
constexpr int kMeterSize = 190;
constexpr int kPictureWidth = 320; // the photographs of the instruments
// The picture and the meter under it beside the list: only the width they need, so that the
// list and its field columns get the rest.
constexpr int kSideWidth = kPictureWidth + 2 * kMargin;
constexpr int kMinListWidth = 120;

// The view-state key of a column: its heading, made safe for a settings key.
QString ColumnKey(const QString& heading) {
    return QStringLiteral("Columns/") +
           QString::fromLatin1(heading.toUtf8().toPercentEncoding().replace('%', '_'));
}

template <class T> T* Made(T* control, int id) {
    SetControlId(control, id);
    return control;
}

} // namespace

CHistory::CHistory(QWidget* parent, const CLanguage* texts)
    : QWidget(parent), m_language(texts ? *texts : CLanguage()) {
    using namespace HistoryIds;

    m_pDeviceLabel = Made(new QLabel(this), kDeviceLabel);
    m_pDeviceBox = Made(new QComboBox(this), kDeviceBox);
    m_pStartLabel = Made(new QLabel(this), kStartLabel);
    m_pStartDate = Made(new QDateEdit(this), kStartDate);
    m_pEndLabel = Made(new QLabel(this), kEndLabel);
    m_pEndDate = Made(new QDateEdit(this), kEndDate);
    m_pQuery = Made(new QPushButton(this), kQuery);
    m_pExportExcel = Made(new QPushButton(this), kExportExcel);
    m_pExportPdf = Made(new QPushButton(this), kExportPdf);
    m_pDelete = Made(new QPushButton(this), kDelete);
    m_pSync = Made(new QPushButton(this), kSync);
    m_pSource = Made(new QComboBox(this), kSource);
    m_pSearch = Made(new QLineEdit(this), kSearch);
    m_pMode = Made(new QComboBox(this), kMode);
    m_pMin = Made(new QLineEdit(this), kMinResult);
    m_pMax = Made(new QLineEdit(this), kMaxResult);
    m_pOver = Made(new QComboBox(this), kOverLimit);
    m_pCount = Made(new QLabel(this), kRowCount);
    m_pCancelRead = Made(new QPushButton(this), kCancelRead);
    // The list and the picture/meter side by side; the user drags the handle between them.
    m_pSplitter = Made(new QSplitter(Qt::Horizontal, this), kSplitter);
    m_pList = Made(new QTableView(m_pSplitter), kList);
    m_pSide = new QWidget(m_pSplitter);
    m_pPicture = Made(new QFrame(m_pSide), kPicture);
    m_pMeter = Made(new CMeter(m_pSide, &m_language), kMeter);
    m_pSplitter->addWidget(m_pList);
    m_pSplitter->addWidget(m_pSide);
    m_pSplitter->setStretchFactor(0, 1);
    m_pSplitter->setStretchFactor(1, 0);
    m_pSplitter->setChildrenCollapsible(false);
    m_pSide->setMinimumWidth(kMeterSize + 2 * kMargin);
    m_pSide->installEventFilter(this);
    // The list (History) and the charts over the same records (Statistics) share the area
    // below the filters.
    m_pTabs = Made(new QTabBar(this), kTabs);
    m_pTabs->addTab(GetText("HistoryTab"));
    m_pTabs->addTab(GetText("StatsTab"));
    m_pTabs->setDrawBase(false);
    m_pStats = Made(new CStatsView(m_language, this), kStats);
    m_pStats->hide();

    // Value meter: a light needle and the colour bands; it shows the selected record's result.
    m_pMeter->SetColorTick(0x00EBFFFF);
    m_pMeter->Rebuild();
    m_pMeter->SetDrawFlag(1);
    m_pMeter->Rebuild();

    for (QLabel* label : {m_pDeviceLabel, m_pStartLabel, m_pEndLabel}) {
        label->setAutoFillBackground(true);
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, Qt::white);
        label->setPalette(palette);
        label->setAlignment(Qt::AlignCenter);
    }

    for (QDateEdit* date : {m_pStartDate, m_pEndDate}) {
        date->setDisplayFormat(kDateFormat);
        date->setCalendarPopup(true);
    }
    // Until the user picks other dates, Query lists every record up to today.
    m_pStartDate->setDate(QDate(2000, 1, 1));
    m_pEndDate->setDate(QDate::currentDate());

    m_pDeviceLabel->setText(GetText("DeviceNo"));
    m_pExportExcel->setText(GetText("BtnExport"));
    m_pDelete->setText(GetText("BtnDelete"));
    m_pQuery->setText(GetText("BtnQuery"));
    m_pStartLabel->setText(GetText("StartTime"));
    m_pEndLabel->setText(GetText("EndTime"));
    m_pExportPdf->setText(GetText("BtnExPDF"));
    // Sync sends this desk's records to the central store now; offered only when one is set.
    m_pSync->setText(GetText("SyncAction"));
    m_pSync->setVisible(Central::HasCentral(m_language));
    // Where the list reads from: offered only when a central store is set.
    m_pSource->addItem(GetText("SourceLocal"));
    m_pSource->addItem(GetText("SourceCentral"));
    m_pSource->setVisible(Central::HasCentral(m_language));
    // Cancel stops a read of the central store; it shows once one has run a moment.
    m_pCancelRead->setText(GetText("BtnCancel"));
    m_pCancelRead->hide();

    // Filters: every one optional; Query (or Enter in any of the boxes) applies them.
    m_pSearch->setPlaceholderText(GetText("SearchHint"));
    m_pSearch->setClearButtonEnabled(true);
    m_pMode->addItem(GetText("ModeAny"), int(TestModeFilter::Any));
    m_pMode->addItem(GetText("TestModeAuto"), int(TestModeFilter::Auto));
    m_pMode->addItem(GetText("TestModeManual"), int(TestModeFilter::Manual));
    m_pMode->addItem(GetText("TestModeRefuse"), int(TestModeFilter::Refuse));
    m_pMode->addItem(GetText("TestModeDiscontinued"), int(TestModeFilter::Discontinued));
    m_pOver->addItem(GetText("OverLimitAny"), 0);
    m_pOver->addItem(GetText("OverLimitFilter1"), 1);
    m_pOver->addItem(GetText("OverLimitFilter2"), 2);
    m_pMin->setPlaceholderText(GetText("ResultMin"));
    m_pMax->setPlaceholderText(GetText("ResultMax"));
    m_pCount->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // The deletion button works on a table this program never makes; it is never offered.
    m_pDelete->hide();

    m_pModel = new CHistoryModel(this, m_language);
    m_pList->setModel(m_pModel);
    m_pList->setShowGrid(true);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Several rows give one combined PDF report.
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pList->setWordWrap(false);
    m_pList->setAlternatingRowColors(true);
    m_pList->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The row header is the seal column (see CHistoryModel::headerData).
    m_pList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_pList->verticalHeader()->setDefaultSectionSize(m_pList->fontMetrics().height() + 8);
    QHeaderView* header = m_pList->horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionsClickable(true);
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    // Automatic sizing looks at the rows in view only: the others are not read yet.
    header->setResizeContentsPrecision(0);

    m_pPicture->setFrameShape(QFrame::NoFrame);
    m_pPicture->installEventFilter(this);
    m_pPicture->hide();

    m_strDbPath = GetDatabasePath();
    m_source = std::make_shared<CLocalRecordSource>(QString(), m_language);
    m_pWorker = new CRecordWorker(m_source, this);
    m_pStats->SetSource(m_source);
    connect(m_pTabs, &QTabBar::currentChanged, this, [this](int tab) {
        m_pSplitter->setVisible(tab == 0);
        m_pStats->setVisible(tab == 1);
    });
    connect(m_pStats, &CStatsView::statusChanged, this, &CHistory::statusChanged);
    connect(m_pStats, &CStatsView::barClicked, this, &CHistory::ListChartChoice);
    m_liveTicket = std::make_shared<std::atomic<quint64>>(0);
    m_pSaveTimer = new QTimer(this);
    m_pSaveTimer->setSingleShot(true);
    m_pSaveTimer->setInterval(400);
    connect(m_pSaveTimer, &QTimer::timeout, this, &CHistory::WriteViewState);
    m_pCancelDelay = new QTimer(this);
    m_pCancelDelay->setSingleShot(true);
    m_pCancelDelay->setInterval(300);
    connect(m_pCancelDelay, &QTimer::timeout, this, [this] {
        if (m_pSource->currentIndex() == 1 && ReadPending()) {
            m_pCancelRead->show();
            LayoutBar(width());
        }
    });
    connect(m_pCancelRead, &QPushButton::clicked, this, [this] {
        CancelReads();
        emit statusChanged(GetText("ReadCancelled"));
    });
    connect(m_pModel, &CHistoryModel::NeedBlock, this,
            [this](quint64 generation, int block, qint64 offset, int limit) {
                const HistoryFilter filter = m_filter;
                const HistorySort sort = m_sort;
                const quint64 ticket = m_queryTicket;
                auto live = m_liveTicket;
                // No rows when the read was cut off or failed: the block is not held then
                // (an empty one would stay blank), so scrolling to it again reads it again.
                using Block = std::optional<QVector<HistoryRow>>;
                m_pWorker->Run<Block>(
                    this,
                    [filter, sort, offset, limit, ticket, live](IRecordSource& source) {
                        if (live->load() != ticket)
                            return Block(); // cancelled, or another query by now
                        QVector<HistoryRow> rows;
                        source.SetInterrupt([live, ticket] { return live->load() != ticket; });
                        const bool ok = source.Fetch(filter, sort, offset, limit, rows, nullptr);
                        source.SetInterrupt({});
                        return ok && live->load() == ticket ? Block(std::move(rows)) : Block();
                    },
                    [this, generation, block](Block rows) {
                        if (rows)
                            m_pModel->SetBlock(generation, block, *rows);
                        else
                            m_pModel->BlockMissed(generation, block);
                    });
            });

    connect(m_pDeviceBox, &QComboBox::currentIndexChanged, this, &CHistory::OnCbnSelchangeDevice);
    connect(m_pQuery, &QPushButton::clicked, this, &CHistory::OnBnClickedQuery);
    for (QLineEdit* edit : {m_pSearch, m_pMin, m_pMax})
        connect(edit, &QLineEdit::returnPressed, this, &CHistory::OnBnClickedQuery);
    connect(m_pExportExcel, &QPushButton::clicked, this, &CHistory::OnBnClickedExportExcel);
    connect(m_pExportPdf, &QPushButton::clicked, this, &CHistory::OnBnClickedExportPdf);
    connect(m_pDelete, &QPushButton::clicked, this, &CHistory::OnBnClickedDelete);
    connect(m_pSync, &QPushButton::clicked, this, &CHistory::OnBnClickedSync);
    connect(m_pSource, &QComboBox::currentIndexChanged, this, &CHistory::OnSourceChanged);
    connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CHistory::OnListSelectionChanged);
    connect(header, &QHeaderView::sectionClicked, this, &CHistory::OnHeadingClicked);
    connect(header, &QHeaderView::customContextMenuRequested, this, &CHistory::OnHeadingMenu);
    connect(header, &QHeaderView::sectionResized, this, [this] {
        if (!m_bRestoring)
            SaveViewState();
    });
    connect(m_pSplitter, &QSplitter::splitterMoved, this, [this] {
        m_nUserSide = m_pSplitter->sizes().value(1);
        SaveViewState();
    });

    resize(1100, 640);
    RestoreViewState();
    PlaceSplitter();
    RefreshDeviceList();
}

CHistory::~CHistory() {
    if (m_pSaveTimer->isActive())
        WriteViewState();
    // The workers' threads end before the model and the page they answer to go; an export
    // stops at its next row.
    if (m_exportCancel)
        *m_exportCancel = true;
    delete m_pExportWorker;
    m_pExportWorker = nullptr;
    delete m_pWorker;
    m_pWorker = nullptr;
}

QString CHistory::GetText(const QString& key) const {
    return m_language.GetText(key);
}

QWidget* CHistory::Control(int id) const {
    return FindControl<QWidget>(this, id, Qt::FindChildrenRecursively);
}

void CHistory::SetSource(std::shared_ptr<IRecordSource> source) {
    // The old source's running call is aborted and the calls queued for it end at once, so
    // the new source's device list follows within a moment; answers from the old one are
    // dropped by their tickets.
    m_source = source;
    m_pStats->SetSource(source);
    m_pWorker->SetSource(std::move(source));
    m_bColumnsAfterDevices = true;
    m_bQueryDeferred = false; // a Query pressed for the old source is not run on this one
    ++m_columnsTicket;
    m_bColumnsPending = false;
    ++m_pictureTicket;
    m_bPicturePending = false;
    RefreshDeviceList();
}

// ---------------------------------------------------------------------------------------
// Device list and columns

void CHistory::RefreshDeviceList() {
    struct Devices {
        bool ok = false;
        QStringList devices;
        QString error;
    };
    const quint64 ticket = ++m_devicesTicket;
    m_bDevicesPending = true;
    m_pWorker->Run<Devices>(
        this,
        [](IRecordSource& source) {
            Devices d;
            d.ok = source.DeviceList(d.devices, &d.error);
            return d;
        },
        [this, ticket](Devices d) {
            if (ticket != m_devicesTicket)
                return; // another source or a newer refresh since
            m_bDevicesPending = false;
            // A central store that cannot be read says why (a local database that does not
            // exist yet simply has no devices).
            if (!d.ok && m_pSource->currentIndex() == 1)
                emit statusChanged(GetText("ReadFailed") + QLatin1Char(' ') + d.error);
            ApplyDevices(d.devices);
            ShowReadState();
        });
    ShowReadState();
}

void CHistory::ApplyDevices(const QStringList& devices) {
    const QString remembered = m_bAllDevices ? QString() : m_pDeviceBox->currentText();
    const bool rememberedAll = m_bAllDevices && m_pDeviceBox->count() > 0;
    {
        const QSignalBlocker blocker(m_pDeviceBox);
        m_pDeviceBox->setUpdatesEnabled(false);
        m_pDeviceBox->clear();
        // "All devices" first; the first device stays the one chosen at the start.
        if (!devices.isEmpty())
            m_pDeviceBox->addItem(GetText("AllDevices"), true);
        for (const QString& device : devices)
            m_pDeviceBox->addItem(device, false);
        int select = devices.isEmpty() ? -1 : 1;
        if (rememberedAll) {
            select = devices.isEmpty() ? -1 : 0;
        } else if (!remembered.isEmpty()) {
            const int found = devices.indexOf(remembered);
            if (found >= 0)
                select = found + 1;
        }
        m_pDeviceBox->setCurrentIndex(select);
        m_pDeviceBox->setUpdatesEnabled(true);
    }
    const bool wasAll = m_bAllDevices;
    const QString was = m_strDevice;
    m_bAllDevices = m_pDeviceBox->currentIndex() == 0 && !devices.isEmpty();
    m_strDevice = m_bAllDevices ? QString() : m_pDeviceBox->currentText();
    const bool rebuild = m_bColumnsAfterDevices || m_strDevice != was || m_bAllDevices != wasAll;
    m_bColumnsAfterDevices = false;
    if (rebuild)
        RebuildColumns();
    else
        RunDeferredQuery();
}

void CHistory::OnCbnSelchangeDevice() {
    const bool all = m_pDeviceBox->currentIndex() == 0 && m_pDeviceBox->count() > 1;
    const QString device = all ? QString() : m_pDeviceBox->currentText();
    if (device == m_strDevice && all == m_bAllDevices)
        return;
    m_strDevice = device;
    m_bAllDevices = all;
    RebuildColumns();
}

void CHistory::RebuildColumns() {
    HistoryFilter filter;
    filter.device = m_strDevice;
    filter.allDevices = m_bAllDevices;
    const quint64 ticket = ++m_columnsTicket;
    m_bColumnsPending = true;
    m_pWorker->Run<QVector<HistoryColumn>>(
        this,
        [filter](IRecordSource& source) {
            QVector<HistoryColumn> columns;
            source.Columns(filter, columns, nullptr);
            return columns;
        },
        [this, ticket](QVector<HistoryColumn> columns) {
            if (ticket != m_columnsTicket)
                return; // another device or source since
            m_bColumnsPending = false;
            ApplyColumns(columns);
            ShowReadState();
            RunDeferredQuery();
        });
    ShowReadState();
}

void CHistory::RunDeferredQuery() {
    if (!m_bQueryDeferred || m_bDevicesPending || m_bColumnsPending)
        return;
    m_bQueryDeferred = false;
    OnBnClickedQuery();
}

void CHistory::ApplyColumns(const QVector<HistoryColumn>& columns) {
    m_columns = columns;
    // The counts of the title look-up: one row of 22 columns when the device has titles.
    const bool titled = std::any_of(columns.begin(), columns.end(), [](const HistoryColumn& c) {
        return c.kind == HistoryColumn::Field;
    });
    m_nRows = titled ? 1 : 0;
    m_nCols = titled ? 2 + CHistoryQuery::kTitleCount : 0;
    m_sort = HistorySort();
    m_bQueried = false;
    ++m_queryTicket; // an answer for the columns before is not shown
    m_liveTicket->store(m_queryTicket);
    m_bQueryPending = false;

    QStringList headings;
    for (const HistoryColumn& column : columns)
        headings << column.heading;
    m_pList->setUpdatesEnabled(false);
    m_pModel->SetHeadings(headings);
    m_pList->horizontalHeader()->setSortIndicatorShown(false);
    ForgetSelection();
    // A sixth of the list's width, but never narrower than the heading: before the page is
    // first shown the list is not laid out yet and a sixth of it would cut every heading.
    const int width = m_pList->width() / 6;
    QHeaderView* header = m_pList->horizontalHeader();
    m_bRestoring = true;
    for (int c = 0; c < m_pModel->columnCount(); ++c)
        m_pList->setColumnWidth(c, qMax(width, header->sectionSizeHint(c)));
    m_bRestoring = false;
    RestoreViewState();
    m_pList->setUpdatesEnabled(true);
    ShowCount();
}

// ---------------------------------------------------------------------------------------
// Query

QString CHistory::StartDateText() const {
    return m_pStartDate->date().toString(kDateFormat);
}

QString CHistory::EndDateText() const {
    return m_pEndDate->date().toString(kDateFormat);
}

bool CHistory::ReadFilter(HistoryFilter& filter) {
    filter = HistoryFilter();
    filter.device = m_strDevice;
    filter.allDevices = m_bAllDevices;
    filter.startDate = StartDateText();
    filter.endDate = EndDateText();
    filter.search = m_pSearch->text();
    filter.mode = TestModeFilter(m_pMode->currentData().toInt());
    filter.overLimit = m_pOver->currentData().toInt();
    // The bounds read in the user's notation or with a point ("0,25" and "0.25").
    auto bound = [](QLineEdit* edit, std::optional<double>& out) {
        const QString text = edit->text().trimmed();
        if (text.isEmpty())
            return true;
        bool ok = false;
        QLocale c = QLocale::c();
        c.setNumberOptions(QLocale::RejectGroupSeparator);
        double value = c.toDouble(text, &ok);
        if (!ok) {
            QLocale user;
            user.setNumberOptions(QLocale::RejectGroupSeparator);
            value = user.toDouble(text, &ok);
        }
        if (ok && std::isfinite(value))
            out = value;
        return ok && std::isfinite(value);
    };
    if (!bound(m_pMin, filter.minResult) || !bound(m_pMax, filter.maxResult)) {
        emit statusChanged(GetText("BadBound"));
        return false;
    }
    if (filter.minResult && filter.maxResult && *filter.minResult > *filter.maxResult) {
        emit statusChanged(GetText("BoundOrder"));
        return false;
    }
    return true;
}

void CHistory::OnBnClickedQuery() {
    if (m_bDevicesPending || m_bColumnsPending) {
        // The list's device and columns are still being read: the query follows them.
        m_bQueryDeferred = true;
        return;
    }
    HistoryFilter filter;
    if (!ReadFilter(filter))
        return; // the list stays as it is; the status line says why
    m_filter = filter;
    m_bQueried = true;
    ApplyLimits(true);
    // The first rows come from the worker, then the count; the rows further down come while
    // the user scrolls. The window stays usable meanwhile.
    StartQuery(true);
    m_pStats->SetFilter(m_filter, m_columns, CLimits::Read(m_language));
}

void CHistory::ListChartChoice(const HistoryFilter& filter) {
    // The list shows exactly the bar's records until the next Query.
    m_filter = filter;
    m_pTabs->setCurrentIndex(0);
    StartQuery(true);
    emit statusChanged(GetText("StatsListed"));
}

CStatsView* CHistory::Stats() const {
    return m_pStats;
}

QTabBar* CHistory::Tabs() const {
    return m_pTabs;
}

void CHistory::ApplyLimits(bool report) {
    // Read again on every query, so that an edited Language.ini counts from the next one.
    const CLimits limits = CLimits::Read(m_language);
    int result = -1, unit = -1;
    for (int c = 0; c < m_columns.size(); ++c) {
        if (m_columns[c].kind != HistoryColumn::Fixed)
            continue;
        if (m_columns[c].index == 5)
            result = c;
        if (m_columns[c].index == 6)
            unit = c;
    }
    m_pModel->SetLimits(limits, result, unit);
    const QString problem = LimitsProblemText(m_language, limits);
    if (report && !problem.isEmpty())
        emit statusChanged(problem);
}

void CHistory::StartQuery(bool countToo) {
    // The rows the selection pointed at are about to go.
    {
        const QSignalBlocker blocker(m_pList->selectionModel());
        m_pList->clearSelection();
    }
    ForgetSelection();
    const quint64 ticket = ++m_queryTicket;
    m_liveTicket->store(ticket);
    auto live = m_liveTicket;
    m_bQueryPending = true;
    m_bCountPending = countToo;
    const qint64 knownCount = m_pModel->Count();
    if (countToo)
        m_pCount->setText(GetText("Reading"));
    ShowReadState();
    const HistoryFilter filter = m_filter;
    const HistorySort sort = m_sort;
    struct Answer {
        bool ok = false;
        QString error;
        QVector<HistoryColumn> columns;
        QVector<HistoryRow> rows;
    };
    // First the columns and the first rows, so that the list shows at once; the count (a pass
    // over every matching row) follows.
    m_pWorker->Run<Answer>(
        this,
        [filter, sort, ticket, live](IRecordSource& source) {
            Answer a;
            if (live->load() != ticket)
                return a; // not shown any more
            source.SetInterrupt([live, ticket] { return live->load() != ticket; });
            a.ok = source.Columns(filter, a.columns, &a.error) &&
                   source.Fetch(filter, sort, 0, CHistoryModel::kBlockRows, a.rows, &a.error);
            source.SetInterrupt({});
            return a;
        },
        [this, ticket, countToo, knownCount](Answer a) {
            if (ticket != m_queryTicket)
                return; // a newer query or other columns since
            m_bQueryPending = false;
            m_bQueryOk = a.ok;
            m_pList->setUpdatesEnabled(false);
            if (a.ok) {
                // The device's titles may have changed since the columns were laid out.
                bool same = a.columns.size() == m_columns.size();
                for (int c = 0; same && c < a.columns.size(); ++c)
                    same = a.columns[c].heading == m_columns[c].heading;
                if (!same) {
                    const HistorySort sort = m_sort;
                    ApplyColumns(a.columns); // the answer's own columns
                    ApplyLimits(false);
                    m_sort = sort.column < a.columns.size() ? sort : HistorySort();
                    m_queryTicket = ticket; // still the answer the list waits for
                    m_liveTicket->store(ticket);
                    m_bQueried = true;
                }
                // Until the count comes, the list is as long as the rows that came (exact when
                // fewer than asked for).
                const qint64 count = countToo ? qint64(a.rows.size()) : knownCount;
                if (countToo && a.rows.size() < CHistoryModel::kBlockRows)
                    m_bCountPending = false;
                m_pModel->SetResult(count, a.rows);
                SetResultCounts(a.columns, count);
                m_pList->scrollToTop(); // a new list starts at its first row
            } else {
                m_pModel->ClearRows();
                m_nRows = 0;
                m_bCountPending = false;
                emit statusChanged(GetText("ReadFailed") + QLatin1Char(' ') + a.error);
            }
            ForgetSelection();
            m_pList->setUpdatesEnabled(true);
            SizeColumns();
            ShowCount();
            ShowReadState();
        });
    if (!countToo)
        return;
    struct Counted {
        bool ok = false;
        QString error;
        qint64 count = 0;
    };
    m_pWorker->Run<Counted>(
        this,
        [filter, ticket, live](IRecordSource& source) {
            Counted c;
            if (live->load() != ticket)
                return c;
            source.SetInterrupt([live, ticket] { return live->load() != ticket; });
            c.ok = source.Count(filter, c.count, &c.error);
            source.SetInterrupt({});
            return c;
        },
        [this, ticket](Counted c) {
            if (ticket != m_queryTicket || !m_bCountPending)
                return;
            m_bCountPending = false;
            if (!c.ok) {
                emit statusChanged(GetText("ReadFailed") + QLatin1Char(' ') + c.error);
            } else {
                m_pModel->SetCount(c.count);
                SetResultCounts(m_columns, c.count);
            }
            ShowCount();
            ShowReadState();
        });
}

void CHistory::SetResultCounts(const QVector<HistoryColumn>& columns, qint64 count) {
    // The counts of the statement's result: the fixed columns, the fields up to the last titled
    // one and after it, GPS, Path and PictureName; no columns without a row.
    int fields = 0;
    int lastTitled = 0;
    for (const HistoryColumn& c : columns)
        if (c.kind == HistoryColumn::Field) {
            ++fields;
            lastTitled = qMax(lastTitled, c.index);
        }
    if (m_bAllDevices)
        lastTitled = fields = 0;
    m_nRows = int(qMin<qint64>(count, INT_MAX));
    m_nCols = count > 0 ? 10 + CHistoryQuery::kTitleCount - (lastTitled - fields) : 0;
}

bool CHistory::ReadPending() const {
    return m_bDevicesPending || m_bColumnsPending || m_bPicturePending || m_bQueryPending ||
           m_bCountPending;
}

bool CHistory::WaitForList(int timeoutMs) {
    // An answer may ask for more (the device list for the columns, the columns for a query
    // pressed meanwhile): wait until nothing is out.
    QElapsedTimer clock;
    clock.start();
    while ((ReadPending() || m_pWorker->Pending() > 0) && clock.elapsed() < timeoutMs) {
        // The answers are queued behind the worker's calls: wait for them, then take them in.
        m_pWorker->RunAndWait([](IRecordSource&) {},
                              int(qMax<qint64>(1, timeoutMs - clock.elapsed())));
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    return !ReadPending() && m_bQueryOk;
}

void CHistory::CancelReads() {
    if (!ReadPending() && m_pWorker->Pending() == 0)
        return;
    // The running call ends early and the queued ones at once; the worker goes on with a
    // fresh copy of the source, so the next read works.
    m_liveTicket->store(++m_queryTicket);
    ++m_devicesTicket;
    ++m_columnsTicket;
    ++m_pictureTicket;
    const bool listCut = m_bQueryPending || m_bCountPending;
    m_bDevicesPending = m_bColumnsPending = m_bPicturePending = false;
    m_bQueryPending = m_bCountPending = false;
    m_bColumnsAfterDevices = m_bQueryDeferred = false;
    if (listCut)
        m_bQueryOk = false;
    m_source = m_source->Another();
    m_pWorker->SetSource(m_source);
    ShowCount();
    ShowReadState();
}

void CHistory::ShowReadState() {
    // Cancel only for a central store (a local read ends by itself in a moment), and only
    // once a read has run a moment, so that short ones do not flash it.
    const bool central = m_pSource->currentIndex() == 1;
    const bool out = central && ReadPending();
    if (!out) {
        m_pCancelDelay->stop();
        if (!m_pCancelRead->isHidden()) {
            m_pCancelRead->hide();
            LayoutBar(width());
        }
    } else if (m_pCancelRead->isHidden() && !m_pCancelDelay->isActive()) {
        m_pCancelDelay->start();
    }
    if (out)
        m_pCount->setText(GetText("ReadingCentral"));
    else if (m_bDevicesPending || m_bColumnsPending)
        m_pCount->setText(GetText("Reading"));
    else if (!ReadPending())
        ShowCount();
}

void CHistory::SortBy(int column, bool descending) {
    if (column >= m_pModel->CalibrationColumn())
        return; // no such column, or the calibration column (worked out, not stored)
    m_sort.column = column < 0 ? -1 : column;
    m_sort.descending = descending;
    QHeaderView* header = m_pList->horizontalHeader();
    header->setSortIndicatorShown(!m_sort.IsDefault());
    if (!m_sort.IsDefault())
        header->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    if (m_bQueried) {
        StartQuery(m_bCountPending); // the same rows in another order: the count stays
    }
}

void CHistory::OnHeadingClicked(int column) {
    // The first click sorts up, the next one down, and so on.
    const bool descending = m_sort.column == column && !m_sort.descending;
    SortBy(column, descending);
}

void CHistory::OnHeadingMenu(const QPoint& pos) {
    QHeaderView* header = m_pList->horizontalHeader();
    QMenu menu(this);
    int shown = 0;
    for (int c = 0; c < m_pModel->columnCount(); ++c)
        shown += header->isSectionHidden(c) ? 0 : 1;
    for (int c = 0; c < m_pModel->columnCount(); ++c) {
        QAction* action = menu.addAction(m_pModel->headerData(c, Qt::Horizontal).toString());
        action->setCheckable(true);
        action->setChecked(!header->isSectionHidden(c));
        // The last shown column stays: a list without columns could not be brought back.
        action->setEnabled(header->isSectionHidden(c) || shown > 1);
        connect(action, &QAction::toggled, this, [this, header, c](bool on) {
            header->setSectionHidden(c, !on);
            if (on && header->sectionSize(c) < 20)
                header->resizeSection(c, header->defaultSectionSize());
            SaveViewState();
        });
    }
    menu.addSeparator();
    connect(menu.addAction(GetText("ShowAllColumns")), &QAction::triggered, this, [this, header] {
        for (int c = 0; c < m_pModel->columnCount(); ++c)
            header->setSectionHidden(c, false);
        SaveViewState();
    });
    menu.exec(header->viewport()->mapToGlobal(pos));
}

void CHistory::ShowCount() {
    m_pCount->setText(m_bQueried && !m_bQueryPending && !m_bCountPending
                          ? GetText("RowCount").arg(QLocale().toString(m_pModel->Count()))
                          : QString());
}

void CHistory::SizeColumns() {
    // A column the user has not sized gets the larger of its fit-to-contents and
    // fit-to-heading widths; the contents are measured on the rows held.
    const QSettings state(ViewStatePath(), QSettings::IniFormat);
    m_bRestoring = true;
    for (int c = 0; c < m_pModel->columnCount(); ++c)
        if (m_pList->columnWidth(c) > 0 && !state.contains(ColumnKey(ListHeading(c))))
            m_pList->resizeColumnToContents(c);
    m_bRestoring = false;
}

// ---------------------------------------------------------------------------------------
// View state: column widths, hidden columns and the splitter, beside brtx.db

QString CHistory::ViewStatePath() const {
    return QFileInfo(m_strDbPath).absolutePath() + QStringLiteral("/brtx-view.ini");
}

void CHistory::SaveViewState() {
    // A drag of a column edge or of the splitter gives many steps: the file is written once
    // it has ended (and when the page goes).
    if (!m_bRestoring)
        m_pSaveTimer->start();
}

void CHistory::WriteViewState() const {
    m_pSaveTimer->stop();
    QSettings state(ViewStatePath(), QSettings::IniFormat);
    // Only a width the user chose is kept; the old "Splitter/sizes" held the first layout's
    // sizes too and is no longer read.
    if (m_nUserSide > 0)
        state.setValue(QStringLiteral("Splitter/side"), m_nUserSide);
    QHeaderView* header = m_pList->horizontalHeader();
    for (int c = 0; c < m_pModel->columnCount(); ++c) {
        const QString heading = m_pModel->headerData(c, Qt::Horizontal).toString();
        state.setValue(ColumnKey(heading),
                       QStringLiteral("%1,%2")
                           .arg(header->isSectionHidden(c) ? 0 : 1)
                           .arg(header->isSectionHidden(c) ? header->defaultSectionSize()
                                                           : header->sectionSize(c)));
    }
}

void CHistory::RestoreViewState() {
    const QSettings state(ViewStatePath(), QSettings::IniFormat);
    m_bRestoring = true;
    const int side = state.value(QStringLiteral("Splitter/side")).toInt();
    m_nUserSide = side >= kMeterSize && side <= 8000 ? side : 0;
    QHeaderView* header = m_pList->horizontalHeader();
    for (int c = 0; c < m_pModel->columnCount(); ++c) {
        const QString heading = m_pModel->headerData(c, Qt::Horizontal).toString();
        const QStringList parts = state.value(ColumnKey(heading)).toString().split(',');
        if (parts.size() != 2)
            continue;
        const int width = parts[1].toInt();
        header->setSectionHidden(c, parts[0] == QLatin1String("0"));
        if (width >= 10 && width <= 4000 && parts[0] != QLatin1String("0"))
            header->resizeSection(c, width);
    }
    m_bRestoring = false;
}

int CHistory::ListRowCount() const {
    const_cast<CHistory*>(this)->WaitForList();
    return m_pModel->rowCount();
}

int CHistory::ListColumnCount() const {
    return m_pModel->columnCount();
}

QString CHistory::ListHeading(int c) const {
    return m_pModel->headerData(c, Qt::Horizontal).toString();
}

QString CHistory::ListCell(int r, int c) const {
    auto* self = const_cast<CHistory*>(this);
    self->WaitForList();
    if (r < 0 || r >= m_pModel->rowCount())
        return QString();
    if (!m_pModel->HasRow(r)) {
        // Read the row's block now, as scrolling to it would.
        const int block = r / CHistoryModel::kBlockRows;
        const quint64 generation = m_pModel->Generation();
        QVector<HistoryRow> rows;
        const HistoryFilter filter = m_filter;
        const HistorySort sort = m_sort;
        m_pWorker->RunAndWait([&](IRecordSource& source) {
            source.Fetch(filter, sort, qint64(block) * CHistoryModel::kBlockRows,
                         CHistoryModel::kBlockRows, rows, nullptr);
        });
        m_pModel->SetBlock(generation, block, rows);
    }
    return m_pModel->Cell(r, c);
}

// ---------------------------------------------------------------------------------------
// Selection and picture

void CHistory::ForgetSelection() {
    // The rows the selection pointed at are gone: nothing is selected and no picture shown.
    m_nSelRow = -1;
    m_strSelPath.clear();
    m_strPicturePath.clear();
    m_bShowPicture = false;
    ++m_pictureTicket; // a photograph still coming is not shown
    m_bPicturePending = false;
    m_pPicture->hide();
    if (m_pMeter)
        m_pMeter->ShowNothing();
}

void CHistory::OnListSelectionChanged() {
    const QModelIndexList rows = m_pList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    int row = rows.first().row();
    for (const QModelIndex& index : rows)
        row = qMin(row, index.row());

    m_nSelRow = row;
    const HistoryRow* record = m_pModel->Row(row);
    if (!record) {
        // Its block is not held: read it, then show the record (unless another is selected
        // or the list changed by then). Meanwhile nothing of the record selected before.
        const quint64 ticket = ++m_pictureTicket;
        m_bPicturePending = true;
        m_strSelPath.clear();
        m_strPicturePath.clear();
        m_pictureBytes.clear();
        m_bShowPicture = true;
        PaintPicture();
        m_pMeter->ShowNothing();
        const int block = row / CHistoryModel::kBlockRows;
        const quint64 generation = m_pModel->Generation();
        const HistoryFilter filter = m_filter;
        const HistorySort sort = m_sort;
        m_pWorker->Run<QVector<HistoryRow>>(
            this,
            [filter, sort, block](IRecordSource& source) {
                QVector<HistoryRow> rows;
                source.Fetch(filter, sort, qint64(block) * CHistoryModel::kBlockRows,
                             CHistoryModel::kBlockRows, rows, nullptr);
                return rows;
            },
            [this, ticket, generation, block, row](QVector<HistoryRow> rows) {
                if (ticket != m_pictureTicket)
                    return;
                m_bPicturePending = false;
                m_pModel->SetBlock(generation, block, rows);
                if (m_nSelRow == row && m_pModel->Row(row))
                    OnListSelectionChanged();
                else
                    ShowReadState();
            });
        ShowReadState();
        return;
    }
    m_strSelPath = record->path;
    // The stored Path starts with its own separator and uses backslashes; either separator
    // names a folder level here. It never leads out of the picture folder, and a Path from the
    // central store only into this desk's folder of the record's device.
    const bool central = m_pSource->currentIndex() == 1;
    m_strPicturePath = ResolvePicturePath(
        GetPicFolder(),
        central ? DevicePicturePath(record->machineNo, m_strSelPath) : m_strSelPath);
    if (m_strPicturePath.isEmpty())
        m_strPicturePath = GetPicFolder(); // no picture: the replacement stands in
    // The photograph comes from the record source (the local pic/ folder or the central
    // store) and is painted when it arrives; meanwhile, and when it has none that reads, the
    // replacement picture stands in.
    m_pictureBytes.clear();
    m_bShowPicture = true;
    RequestPicture(*record);
    PaintPicture();
    ShowReading();
}

void CHistory::RequestPicture(const HistoryRow& row) {
    const quint64 ticket = ++m_pictureTicket;
    m_bPicturePending = true;
    m_pWorker->Run<QByteArray>(
        this, [row](IRecordSource& source) { return source.Picture(row); },
        [this, ticket](QByteArray bytes) {
            if (ticket != m_pictureTicket)
                return; // another record selected, or the list changed
            m_bPicturePending = false;
            m_pictureBytes = bytes;
            PaintPicture();
            ShowReadState();
        });
    ShowReadState();
}

void CHistory::ShowReading() {
    // The selected record's result and unit on the meter; nothing selected: 0.0.
    const HistoryRow* record = m_nSelRow >= 0 ? m_pModel->Row(m_nSelRow) : nullptr;
    if (!record) {
        m_pMeter->ShowNothing();
        return;
    }
    QString result;
    QString unit;
    for (int c = 0; c < m_columns.size() && c < record->cells.size(); ++c) {
        if (m_columns[c].kind != HistoryColumn::Fixed)
            continue;
        if (m_columns[c].index == 5)
            result = record->cells[c];
        else if (m_columns[c].index == 6)
            unit = record->cells[c];
    }
    m_pMeter->ShowReading(result, unit);
}

void CHistory::PaintPicture() {
    if (!m_bShowPicture) {
        m_pPicture->hide();
        return;
    }
    QImage image;
    if (m_bPicturePending) {
        // The replacement until the source's bytes arrive (never the photograph of the record
        // selected before).
        image = LoadRecordPicture(GetPicFolder());
    } else if (!m_pictureBytes.isEmpty()) {
        QBuffer buffer(&m_pictureBytes);
        QImageReader reader(&buffer);
        reader.setAutoTransform(false); // as stored, like the device page shows it
        image = reader.read();
    }
    if (image.isNull() && !m_bPicturePending)
        image = LoadRecordPicture(m_strPicturePath);
    if (!image.isNull()) {
        // Shown at its own size; what does not fit is clipped by the page.
        m_picture = QPixmap::fromImage(image);
        m_pPicture->resize(image.size());
    } else {
        // Neither the picture nor its replacement: an empty frame, never the photograph of
        // the record selected before, which would be taken for this record's.
        m_picture = QPixmap();
    }
    m_pPicture->show();
    m_pPicture->raise();
    m_pPicture->update();
    LayoutSide();
}

bool CHistory::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pPicture && event->type() == QEvent::Paint) {
        QPainter painter(m_pPicture);
        if (!m_picture.isNull())
            painter.drawPixmap(0, 0, m_picture);
        return true;
    }
    if (watched == m_pSide && event->type() == QEvent::Resize)
        LayoutSide();
    return QWidget::eventFilter(watched, event);
}

void CHistory::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0.0, QColor(0xF4, 0xF7, 0xFB));
    gradient.setColorAt(1.0, QColor(0xDD, 0xE5, 0xEF));
    painter.fillRect(event->rect(), gradient);
}

void CHistory::LayoutBar(int pageWidth) {
    // Controls above the list, left to right, at their natural widths; when the page is too
    // narrow the gaps give up room first, then the label margins, the device box and the date
    // pickers.
    struct Item {
        QWidget* control;
        int width;
        int minimum;
        int gapAfter;
    };
    auto natural = [](QWidget* control) { return control->sizeHint().width(); };
    QVector<Item> items = {
        {m_pDeviceLabel, natural(m_pDeviceLabel) + 12, natural(m_pDeviceLabel) + 4, 4},
        {m_pDeviceBox, 160, 140, 14},
        {m_pStartLabel, natural(m_pStartLabel) + 12, natural(m_pStartLabel) + 4, 4},
        {m_pStartDate, 120, 110, 14},
        {m_pEndLabel, natural(m_pEndLabel) + 12, natural(m_pEndLabel) + 4, 4},
        {m_pEndDate, 120, 110, 20},
        {m_pQuery, qMax(80, natural(m_pQuery)), natural(m_pQuery), 6},
        {m_pExportExcel, qMax(80, natural(m_pExportExcel)), natural(m_pExportExcel), 6},
        {m_pExportPdf, qMax(80, natural(m_pExportPdf)), natural(m_pExportPdf), 6},
    };
    if (!m_pSync->isHidden())
        items.append({m_pSync, qMax(80, natural(m_pSync)), natural(m_pSync), 6});
    if (!m_pSource->isHidden())
        items.append({m_pSource, qMax(110, natural(m_pSource)), natural(m_pSource), 6});
    if (!m_pCancelRead->isHidden())
        items.append({m_pCancelRead, qMax(80, natural(m_pCancelRead)), natural(m_pCancelRead), 6});
    int total = 0;
    for (const Item& item : items)
        total += item.width + item.gapAfter;
    int excess = total - (pageWidth - 2 * kMargin);
    for (Item& item : items) {
        if (excess <= 0)
            break;
        const int give = qMin(excess, qMax(0, item.gapAfter - 4));
        item.gapAfter -= give;
        excess -= give;
    }
    for (Item& item : items) {
        if (excess <= 0)
            break;
        const int give = qMin(excess, item.width - item.minimum);
        item.width -= give;
        excess -= give;
    }
    int x = kMargin;
    for (const Item& item : items) {
        item.control->setGeometry(x, kBarTop, item.width, kBarHeight);
        x += item.width + item.gapAfter;
    }
    // The hidden deletion button keeps a place after the others.
    m_pDelete->setGeometry(x, kBarTop, qMax(80, natural(m_pDelete)), kBarHeight);
}

void CHistory::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A new style or font changes the natural widths of the controls above the list.
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange)
        LayoutBar(width());
}

void CHistory::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int w = event->size().width();
    const int h = event->size().height();

    LayoutBar(w);
    PlaceExportBar();

    // The filters on a second row: the search box takes what the others leave.
    const int modeWidth = qMax(130, m_pMode->sizeHint().width());
    const int boundWidth = 110;
    const int countWidth = 170;
    const int overWidth = qMax(120, m_pOver->sizeHint().width());
    const int searchWidth =
        qMax(120, w - 2 * kMargin - modeWidth - 2 * boundWidth - overWidth - countWidth - 5 * 8);
    int x = kMargin;
    m_pSearch->setGeometry(x, kFilterTop, searchWidth, kBarHeight);
    x += searchWidth + 8;
    m_pMode->setGeometry(x, kFilterTop, modeWidth, kBarHeight);
    x += modeWidth + 8;
    m_pMin->setGeometry(x, kFilterTop, boundWidth, kBarHeight);
    x += boundWidth + 8;
    m_pMax->setGeometry(x, kFilterTop, boundWidth, kBarHeight);
    x += boundWidth + 8;
    m_pOver->setGeometry(x, kFilterTop, overWidth, kBarHeight);
    x += overWidth + 8;
    m_pCount->setGeometry(x, kFilterTop, countWidth, kBarHeight);

    // The list and the side (picture, meter) below; the list gets the width the side leaves.
    m_pTabs->setGeometry(kMargin, kListTop, qMax(0, w - 2 * kMargin), kTabHeight);
    const QRect below(kMargin, kListTop + kTabHeight, qMax(0, w - 2 * kMargin),
                      qMax(0, h - kListTop - kTabHeight - kMargin));
    m_pSplitter->setGeometry(below);
    m_pStats->setGeometry(below);
    PlaceSplitter();
}

void CHistory::PlaceSplitter() {
    // The side keeps the width the user chose, or the width the picture and meter need; the
    // list takes the rest.
    const int total = qMax(0, m_pSplitter->width() - m_pSplitter->handleWidth());
    const int want = m_nUserSide > 0 ? m_nUserSide : kSideWidth;
    const int side = qMax(0, qMin(want, total - kMinListWidth));
    if (m_pSplitter->sizes().value(1) == side && m_pSplitter->sizes().value(0) == total - side)
        return;
    const bool restoring = m_bRestoring;
    m_bRestoring = true;
    m_pSplitter->setSizes({total - side, side});
    m_bRestoring = restoring;
}

void CHistory::LayoutSide() {
    // The picture at the side's top left, the meter under it: no empty area between them.
    m_pPicture->move(kMargin, 0);
    const int pictureHeight = !m_pPicture->isHidden()
                                  ? qMax(m_pPicture->height(), kPictureWidth * 3 / 4)
                                  : kPictureWidth * 3 / 4;
    const int y = qMin(pictureHeight + kMargin, m_pSide->height() - kMeterSize);
    m_pMeter->setGeometry(kMargin, qMax(0, y), kMeterSize, kMeterSize);
}

// ---------------------------------------------------------------------------------------
// Deletion on the earlier KelInfo table (the button is never shown)

void CHistory::OnBnClickedDelete() {
    m_liveTicket->store(++m_queryTicket);
    m_bQueryPending = false;
    m_pModel->ClearRows();
    ForgetSelection();

    const QString start = StartDateText();
    const QString end = EndDateText();

    SQLite::Database db;
    db.Open(m_strDbPath);
    const SQLite::Table table = db.QuerySQL(Statements::SelectKelInfo(start, end));
    m_deleteFiles.clear();
    const int column = m_nCols - 1;
    for (int r = 0; r < table.GetRowCount(); ++r)
        m_deleteFiles << (column >= 0 && column < table.GetColCount() ? table.Cell(r, column)
                                                                      : QString());
    if (m_deleteFiles.isEmpty()) {
        m_bShowPicture = false;
        return;
    }
    db.ExecuteSQL(Statements::DeleteKelInfo(start, end));
    Seal::RecordDeletion(db, GetPicFolder(), m_deleteFiles,
                         QStringLiteral("KelInfo %1 .. %2").arg(start, end),
                         QStringLiteral("page"));
    db.Close();
    for (const QString& name : std::as_const(m_deleteFiles))
        if (!name.isEmpty())
            QFile::remove(name);
    m_deleteFiles.clear();
    m_bShowPicture = true;
    m_nRows = 0;
    m_nCols = 0;
    PaintPicture();
}
