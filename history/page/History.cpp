#include "history/page/History.h"

#include "app/shell/ControlId.h"
#include "app/shell/RecordPicture.h"
#include "base/Language.h"
#include "base/Paths.h"
#include "controls/Meter.h"
#include "history/page/HistoryModel.h"
#include "store/SQLite.h"
#include "store/Seal.h"
#include "store/Statements.h"

#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFile>
#include <QFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QTableView>

namespace {

const char* const kDateFormat = "yyyy-MM-dd";

// Layout of the controls above the list, in pixels.
constexpr int kMargin = 8;
constexpr int kBarTop = 10;
constexpr int kBarHeight = 30;
constexpr int kListTop = 52;
constexpr int kMeterSize = 190;

template <class T> T* Made(T* control, int id) {
    SetControlId(control, id);
    return control;
}

} // namespace

CHistory::CHistory(QWidget* parent) : QWidget(parent) {
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
    m_pMeter = Made(new CMeter(this), kMeter);
    m_pList = Made(new QTableView(this), kList);
    m_pPicture = Made(new QFrame(this), kPicture);

    // Value meter: a light needle and the colour bands; the page never gives it a value.
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

    // The deletion button works on a table this program never makes; it is never offered.
    m_pDelete->hide();

    m_pModel = new CHistoryModel(this);
    m_pList->setModel(m_pModel);
    m_pList->setShowGrid(true);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pList->setWordWrap(false);
    m_pList->setAlternatingRowColors(true);
    m_pList->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The row header is the seal column (see CHistoryModel::headerData).
    m_pList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_pList->verticalHeader()->setDefaultSectionSize(m_pList->fontMetrics().height() + 8);
    m_pList->horizontalHeader()->setHighlightSections(false);
    m_pList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pList->horizontalHeader()->setStretchLastSection(false);
    // Automatic sizing looks at a sample of the rows, not at every one of a long list.
    m_pList->horizontalHeader()->setResizeContentsPrecision(500);

    m_pPicture->setFrameShape(QFrame::NoFrame);
    m_pPicture->installEventFilter(this);
    m_pPicture->hide();

    connect(m_pDeviceBox, &QComboBox::currentIndexChanged, this, &CHistory::OnCbnSelchangeDevice);
    connect(m_pQuery, &QPushButton::clicked, this, &CHistory::OnBnClickedQuery);
    connect(m_pExportExcel, &QPushButton::clicked, this, &CHistory::OnBnClickedExportExcel);
    connect(m_pExportPdf, &QPushButton::clicked, this, &CHistory::OnBnClickedExportPdf);
    connect(m_pDelete, &QPushButton::clicked, this, &CHistory::OnBnClickedDelete);
    connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CHistory::OnListSelectionChanged);

    resize(1100, 640);
    RefreshDeviceList();
}

CHistory::~CHistory() = default;

QWidget* CHistory::Control(int id) const {
    return FindControl<QWidget>(this, id, Qt::FindDirectChildrenOnly);
}

// ---------------------------------------------------------------------------------------
// Device list and columns

void CHistory::RefreshDeviceList() {
    const QString remembered = m_pDeviceBox->currentText();
    {
        const QSignalBlocker blocker(m_pDeviceBox);
        m_pDeviceBox->setUpdatesEnabled(false);
        m_pDeviceBox->clear();
        const QStringList devices = m_query.DeviceList();
        m_pDeviceBox->addItems(devices);
        int select = devices.isEmpty() ? -1 : 0;
        if (!remembered.isEmpty()) {
            const int found = devices.indexOf(remembered);
            if (found >= 0)
                select = found;
        }
        m_pDeviceBox->setCurrentIndex(select);
        m_pDeviceBox->setUpdatesEnabled(true);
    }
    m_strDevice = m_pDeviceBox->currentText();
    if (m_strDevice != remembered)
        RebuildColumns();
}

void CHistory::OnCbnSelchangeDevice() {
    const QString device = m_pDeviceBox->currentText();
    if (device == m_strDevice)
        return;
    m_strDevice = device;
    RebuildColumns();
}

void CHistory::RebuildColumns() {
    m_query.LoadColumns(m_strDevice);
    m_nRows = m_query.ResultRows();
    m_nCols = m_query.ResultColumns();

    m_pList->setUpdatesEnabled(false);
    m_pModel->SetHeadings(m_query.Headings());
    ForgetSelection();
    // A sixth of the list's width, but never narrower than the heading: before the page is
    // first shown the list is not laid out yet and a sixth of it would cut every heading.
    const int width = m_pList->width() / 6;
    QHeaderView* header = m_pList->horizontalHeader();
    for (int c = 0; c < m_pModel->columnCount(); ++c)
        m_pList->setColumnWidth(c, qMax(width, header->sectionSizeHint(c)));
    m_pList->setUpdatesEnabled(true);
}

// ---------------------------------------------------------------------------------------
// Query

QString CHistory::StartDateText() const {
    return m_pStartDate->date().toString(kDateFormat);
}

QString CHistory::EndDateText() const {
    return m_pEndDate->date().toString(kDateFormat);
}

void CHistory::OnBnClickedQuery() {
    // A long list takes a moment to read.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_nRows = 0;
    m_nCols = 0;
    m_query.Query(StartDateText(), EndDateText());
    m_nRows = m_query.ResultRows();
    m_nCols = m_query.ResultColumns();

    m_pList->setUpdatesEnabled(false);
    m_pModel->SetRows(m_query.Rows());
    ForgetSelection();
    m_pList->setUpdatesEnabled(true);
    SizeColumns();
    QApplication::restoreOverrideCursor();
}

void CHistory::SizeColumns() {
    // Each column gets the larger of its fit-to-contents and fit-to-heading widths; the
    // contents are measured on a sample of the rows (the header's contents precision).
    for (int c = 0; c < m_pModel->columnCount(); ++c)
        if (m_pList->columnWidth(c) > 0)
            m_pList->resizeColumnToContents(c);
}

int CHistory::ListRowCount() const {
    return m_pModel->rowCount();
}

int CHistory::ListColumnCount() const {
    return m_pModel->columnCount();
}

QString CHistory::ListHeading(int c) const {
    const QStringList& headings = m_pModel->Headings();
    return c >= 0 && c < headings.size() ? headings[c] : QString();
}

QString CHistory::ListCell(int r, int c) const {
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
    m_pPicture->hide();
}

void CHistory::OnListSelectionChanged() {
    const QModelIndexList rows = m_pList->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    int row = rows.first().row();
    for (const QModelIndex& index : rows)
        row = qMin(row, index.row());

    m_nSelRow = row;
    const QStringList& paths = m_query.Paths();
    m_strSelPath = row < paths.size() ? paths[row] : QString();
    // The stored Path starts with its own separator and uses backslashes; either separator
    // names a folder level here.
    QString relative = m_strSelPath;
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    m_strPicturePath = GetPicFolder() + relative;
    m_bShowPicture = true;
    PaintPicture();
}

void CHistory::PaintPicture() {
    if (!m_bShowPicture) {
        m_pPicture->hide();
        return;
    }
    const QImage image = LoadRecordPicture(m_strPicturePath);
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
}

bool CHistory::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pPicture && event->type() == QEvent::Paint) {
        QPainter painter(m_pPicture);
        if (!m_picture.isNull())
            painter.drawPixmap(0, 0, m_picture);
        return true;
    }
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

    // The list takes the left half; the picture frame sits in the middle and keeps its top.
    const int half = w / 2;
    m_pList->setGeometry(kMargin, kListTop, qMax(0, half - 2 * kMargin), qMax(0, h - 60));
    m_pPicture->move(half, kListTop);

    // The meter stands in the lower right corner.
    m_pMeter->setGeometry(w - kMeterSize - kMargin, h - kMeterSize - kMargin, kMeterSize,
                          kMeterSize);
}

// ---------------------------------------------------------------------------------------
// Deletion on the earlier KelInfo table (the button is never shown)

void CHistory::OnBnClickedDelete() {
    m_pModel->ClearRows();
    m_query.ClearRows();
    ForgetSelection();

    const QString start = StartDateText();
    const QString end = EndDateText();

    SQLite::Database db;
    db.Open(m_query.DatabasePath());
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
