// The device page's station mode: a CStation serving every docked instrument (as brtx-cli
// watch does) and a table of instruments with their state, in place of the record tree.
#include "base/Language.h"
#include "central/CentralConfig.h"
#include "central/CentralSync.h"
#include "device/core/DownloadWorker.h"
#include "device/core/Station.h"
#include "device/page/FirstPage.h"

#include <QCheckBox>
#include <QDateTime>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>

#include <memory>

namespace {
constexpr int kPassMs = 10000; // between two looks at what is docked
enum Column { ColSource, ColDevice, ColState, ColLast, ColNew };
} // namespace

class CFirstPage::StationPart : public QObject {
public:
    explicit StationPart(CFirstPage* page) : QObject(page), m_page(page) {
        m_timer.setInterval(kPassMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_station)
                m_station->StartPass();
        });
    }

    void Start() {
        Station::Options options;
        const CLanguage& texts = m_page->Texts();
        options.link = ReadLinkOptions(texts);
        options.program = QStringLiteral("page");
        bool ok = false;
        const uint capacity =
            texts.ReadGlobal(QStringLiteral("InstrumentCapacity")).trimmed().toUInt(&ok);
        options.capacity = ok ? capacity : 0;
        const QString central = Central::CentralUrl(texts);
        if (!central.isEmpty()) {
            options.sync = Central::DeviceSync(central);
        }
        m_station = std::make_unique<CStation>(texts, options);
        connect(m_station.get(), &CStation::queued, this, [this](const QString& source) {
            setState(source, {}, m_page->GetText(QStringLiteral("StationWaiting")));
        });
        connect(m_station.get(), &CStation::progress, this,
                [this](const QString& source, const QString& device, quint32 done, quint32 n) {
                    setState(
                        source, device,
                        Download::FillNumbers(m_page->GetText(QStringLiteral("StationDownloading")),
                                              {qint64(done), qint64(n)}));
                });
        connect(m_station.get(), &CStation::served, this, &StationPart::served);
        connect(m_station.get(), &CStation::message, m_page, &CFirstPage::statusChanged);
        connect(m_station.get(), &CStation::idle, this, [this] {
            if (m_station && m_station->IsStopping())
                Ended();
        });
        m_station->StartPass();
        m_timer.start();
    }

    void Stop() {
        m_timer.stop();
        if (m_station)
            m_station->Stop(); // idle() follows once the records in flight are stored
    }

    void Ended() {
        // Ended from the station's own signal: it goes once that has returned.
        m_station.release()->deleteLater();
        m_page->m_stationSwitch->setEnabled(true);
        m_page->m_stationTable->hide();
        m_page->m_split->show();
        m_page->UpdateControls();
    }

    bool On() const { return m_station != nullptr; }

    int rowOf(const QString& source) {
        QTableWidget* table = m_page->m_stationTable;
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->item(row, ColSource)->text() == source)
                return row;
        const int row = table->rowCount();
        table->insertRow(row);
        for (int c = ColSource; c <= ColNew; ++c)
            table->setItem(row, c, new QTableWidgetItem);
        table->item(row, ColSource)->setText(source);
        return row;
    }
    void setState(const QString& source, const QString& device, const QString& state) {
        QTableWidget* table = m_page->m_stationTable;
        const int row = rowOf(source);
        if (!device.isEmpty())
            table->item(row, ColDevice)->setText(device);
        table->item(row, ColState)->setText(state);
    }
    void served(const Station::Report& report) {
        QString state = m_page->GetText(QStringLiteral("StationDone"));
        if (!report.ok)
            state = Download::FillTexts(m_page->GetText(QStringLiteral("StationFailed")),
                                        {report.warnings.join(QStringLiteral("; "))});
        setState(report.source, report.device, state);
        QTableWidget* table = m_page->m_stationTable;
        const int row = rowOf(report.source);
        if (!report.device.isEmpty()) {
            table->item(row, ColLast)
                ->setText(
                    QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            table->item(row, ColNew)->setText(QString::number(report.downloaded));
        }
        // Warnings (memory nearly full, files deleted, ...) go to the status line as well.
        if (!report.warnings.isEmpty())
            emit m_page->statusChanged(report.Line());
    }

    CFirstPage* m_page;
    std::unique_ptr<CStation> m_station;
    QTimer m_timer;
};

void CFirstPage::EndStation() {
    // Before the page's texts go: the station's workers read them until they end.
    delete m_stationPart;
    m_stationPart = nullptr;
}

void CFirstPage::InitStation() {
    m_stationPart = new StationPart(this);
    connect(m_stationSwitch, &QCheckBox::toggled, this, &CFirstPage::SetStationMode);
}

bool CFirstPage::IsStationMode() const {
    return m_stationPart && m_stationPart->On();
}

void CFirstPage::SetStationMode(bool on) {
    if (!m_stationPart || on == IsStationMode() ||
        (m_stationPart->m_station && m_stationPart->m_station->IsStopping()))
        return;
    if (on) {
        if (m_exchange->IsBusy() || m_session.Route() != LinkRoute::None) {
            m_stationSwitch->setChecked(false);
            return;
        }
        m_stationTable->setRowCount(0);
        m_split->hide();
        m_stationTable->show();
        m_stationPart->Start();
        m_stationSwitch->setChecked(true);
        UpdateControls();
    } else {
        // Off: the switch waits (disabled) until the downloads in flight have ended.
        m_stationSwitch->setEnabled(false);
        m_stationSwitch->setChecked(false);
        m_stationPart->Stop();
    }
}
