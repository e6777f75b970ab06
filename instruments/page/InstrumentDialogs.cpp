#include "instruments/page/InstrumentDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

namespace {

QString Text(const CLanguage& texts, const char* key) {
    const QString t = texts.GetText(QLatin1String(key));
    return t.isEmpty() ? QLatin1String(key) : t;
}

// A line edit with a "…" button that picks a file.
QWidget* WithBrowse(QLineEdit* edit, const std::function<QString()>& pick) {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(edit, 1);
    auto* browse = new QPushButton(QStringLiteral("…"), box);
    browse->setObjectName(QStringLiteral("browse"));
    QObject::connect(browse, &QPushButton::clicked, edit, [edit, pick] {
        const QString path = pick();
        if (!path.isEmpty())
            edit->setText(path);
    });
    row->addWidget(browse);
    return box;
}

} // namespace

CLogEntryDialog::CLogEntryDialog(const CLanguage& texts, const QList<Instruments::LogEntry>& log,
                                 QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("logEntryDialog"));
    setWindowTitle(Text(texts, "InstAddEntry"));
    QStringList kindNames, standardNames;
    texts.GetTextList(kindNames, QStringLiteral("InstKindNames"), QStringLiteral(","));
    texts.GetTextList(standardNames, QStringLiteral("InstStandardNames"), QStringLiteral(","));
    m_kind = new QComboBox(this);
    for (int i = 0; i < Calibration::Kinds().size(); ++i)
        m_kind->addItem(kindNames.value(i, Calibration::Kinds()[i]), Calibration::Kinds()[i]);
    m_kind->setCurrentIndex(1); // accuracy checks are the most frequent
    m_date = new QDateTimeEdit(QDateTime::currentDateTime(), this);
    m_date->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    m_date->setCalendarPopup(true);
    m_technician = new QLineEdit(this);
    m_standardKind = new QComboBox(this);
    for (int i = 0; i < Calibration::StandardKinds().size(); ++i)
        m_standardKind->addItem(standardNames.value(i, Calibration::StandardKinds()[i]),
                                Calibration::StandardKinds()[i]);
    m_lot = new QLineEdit(this);
    m_expiry = new QDateEdit(QDate::currentDate().addMonths(6), this);
    m_expiry->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    m_expiry->setCalendarPopup(true);
    m_target = new QLineEdit(this);
    m_target->setPlaceholderText(QStringLiteral("0.080"));
    m_unit = new QLineEdit(QStringLiteral("mg/L"), this);
    m_measured = new QLineEdit(this);
    m_measured->setPlaceholderText(QStringLiteral("0.079, 0.081"));
    m_tolerance = new QLineEdit(this);
    m_tolerance->setPlaceholderText(QStringLiteral("10% / 0.008"));
    m_attach = new QLineEdit(this);
    m_supersedes = new QComboBox(this);
    m_supersedes->addItem(QStringLiteral("-"), qint64(0));
    for (const Instruments::LogEntry& e : log)
        if (!e.superseded)
            m_supersedes->addItem(QStringLiteral("%1  %2  %3").arg(e.id).arg(e.kind, e.at), e.id);

    auto* form = new QFormLayout;
    form->addRow(Text(texts, "InstKind"), m_kind);
    form->addRow(Text(texts, "InstDate"), m_date);
    form->addRow(Text(texts, "InstTechnician"), m_technician);
    form->addRow(Text(texts, "InstStandard"), m_standardKind);
    form->addRow(Text(texts, "InstLot"), m_lot);
    form->addRow(Text(texts, "InstExpiry"), m_expiry);
    form->addRow(Text(texts, "InstTarget"), m_target);
    form->addRow(Text(texts, "InstUnit"), m_unit);
    form->addRow(Text(texts, "InstMeasured"), m_measured);
    form->addRow(Text(texts, "InstTolerance"), m_tolerance);
    form->addRow(Text(texts, "InstAttachment"), WithBrowse(m_attach, [this, texts] {
                     return QFileDialog::getOpenFileName(
                         this, Text(texts, "InstAttachment"), QString(),
                         QStringLiteral("PDF / images (*.pdf *.png *.jpg *.jpeg);;* (*)"));
                 }));
    form->addRow(Text(texts, "InstSupersedes"), m_supersedes);
    m_measuredOnly = {m_standardKind, m_lot, m_expiry, m_target, m_unit, m_measured, m_tolerance};
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    connect(m_kind, &QComboBox::currentIndexChanged, this, &CLogEntryDialog::KindChanged);
    KindChanged();
}

void CLogEntryDialog::KindChanged() {
    const bool measured = Calibration::IsMeasured(m_kind->currentData().toString());
    for (QWidget* w : m_measuredOnly)
        w->setEnabled(measured);
}

Calibration::Input CLogEntryDialog::Input() const {
    Calibration::Input in;
    in.kind = m_kind->currentData().toString();
    in.date = m_date->dateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    in.technician = m_technician->text();
    in.supersedes = m_supersedes->currentData().toLongLong();
    if (Calibration::IsMeasured(in.kind)) {
        in.standardKind = m_standardKind->currentData().toString();
        in.lot = m_lot->text();
        in.expiry = m_expiry->date().toString(Qt::ISODate);
        in.target = m_target->text().trimmed();
        in.unit = m_unit->text();
        for (const QString& v : m_measured->text().split(QLatin1Char(','), Qt::SkipEmptyParts))
            in.measured << v.trimmed();
        in.tolerance = m_tolerance->text();
    }
    return in;
}

QString CLogEntryDialog::Attachment() const {
    return m_attach->text().trimmed();
}

CDiscoveryDialog::CDiscoveryDialog(const CLanguage& texts, const QString& device, QWidget* parent)
    : QDialog(parent), m_device(device) {
    setObjectName(QStringLiteral("discoveryDialog"));
    setWindowTitle(Text(texts, "InstDiscovery"));
    m_everything = new QCheckBox(Text(texts, "InstEveryRecord"), this);
    m_everything->setChecked(true);
    m_start = new QDateEdit(QDate::currentDate().addYears(-1), this);
    m_end = new QDateEdit(QDate::currentDate(), this);
    for (QDateEdit* d : {m_start, m_end}) {
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        d->setCalendarPopup(true);
        d->setEnabled(false);
        connect(m_everything, &QCheckBox::toggled, d, &QWidget::setDisabled);
    }
    // The period cannot be entered backwards: each end bounds the other.
    m_end->setMinimumDate(m_start->date());
    m_start->setMaximumDate(m_end->date());
    connect(m_start, &QDateEdit::dateChanged, m_end, &QDateEdit::setMinimumDate);
    connect(m_end, &QDateEdit::dateChanged, m_start, &QDateEdit::setMaximumDate);
    m_redact = new QLineEdit(this);
    m_redact->setPlaceholderText(QStringLiteral("Name,Age"));
    m_pictures = new QCheckBox(Text(texts, "InstPictures"), this);
    m_pictures->setChecked(true);
    connect(m_redact, &QLineEdit::textChanged, this, [this](const QString& t) {
        // Redacting leaves the pictures out.
        m_pictures->setEnabled(t.trimmed().isEmpty());
    });
    m_out = new QLineEdit(QDir::homePath() + QStringLiteral("/discovery-%1-%2.zip")
                                                 .arg(device, QDate::currentDate().toString(
                                                                  QStringLiteral("yyyyMMdd"))),
                          this);
    auto* form = new QFormLayout;
    form->addRow(QString(), m_everything);
    form->addRow(Text(texts, "StartTime"), m_start);
    form->addRow(Text(texts, "EndTime"), m_end);
    form->addRow(Text(texts, "InstRedact"), m_redact);
    form->addRow(QString(), m_pictures);
    form->addRow(Text(texts, "InstPackageFile"), WithBrowse(m_out, [this, texts] {
                     return QFileDialog::getSaveFileName(this, Text(texts, "InstDiscovery"),
                                                         m_out->text(), QStringLiteral("*.zip"));
                 }));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (m_out->text().trimmed().isEmpty())
            m_out->setFocus(); // the package needs a file name
        else
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

Discovery::Options CDiscoveryDialog::Options() const {
    Discovery::Options o;
    o.device = m_device;
    if (!m_everything->isChecked()) {
        o.start = m_start->date().toString(Qt::ISODate);
        o.end = m_end->date().toString(Qt::ISODate);
    }
    o.redact = m_redact->text().split(QLatin1Char(','), Qt::SkipEmptyParts);
    o.pictures = m_pictures->isChecked() && o.redact.isEmpty();
    o.out = m_out->text().trimmed();
    if (!o.out.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        o.out += QStringLiteral(".zip");
    return o;
}
