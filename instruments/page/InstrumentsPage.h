#pragma once
// The Instruments page: the register of instruments (device number, type, label, serial,
// model, location, status with its date, links, last download, record count, next due dates
// with the overdue ones marked), an edit form for the selected one, its log (with superseded
// entries marked), its drift chart (saved as PNG or SVG), a dialog that adds a log entry and
// one that makes a discovery package.
//
// The database is read and written on a worker thread; the page only shows the answers.
// Every control carries its id as objectName and "ctrlId" (see InstrumentIds).
#include "base/Language.h"
#include "instruments/Register.h"

#include <QWidget>

#include <atomic>

class CInstrumentsWorker;
class QChart;
class QChartView;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStandardItemModel;
class QTabWidget;
class QTableView;
namespace Discovery {
struct Options;
}

namespace InstrumentIds {
constexpr int kRegister = 1201; // the register's table
constexpr int kLabel = 1202;    // edit form fields
constexpr int kSerial = 1203;
constexpr int kModel = 1204;
constexpr int kLocation = 1205;
constexpr int kStatus = 1206;
constexpr int kCalibrationDays = 1207;
constexpr int kAccuracyDays = 1208;
constexpr int kNotes = 1209;
constexpr int kSave = 1210;
constexpr int kAddEntry = 1211;
constexpr int kDiscovery = 1212;
constexpr int kTabs = 1213;  // Log / Drift chart
constexpr int kLog = 1214;   // the log's table
constexpr int kChart = 1215; // the chart view
constexpr int kSavePng = 1216;
constexpr int kSaveSvg = 1217;
constexpr int kProgress = 1218; // the discovery package's progress
} // namespace InstrumentIds

class CInstrumentsPage : public QWidget {
    Q_OBJECT
public:
    explicit CInstrumentsPage(QWidget* parent = nullptr, const CLanguage* texts = nullptr);
    ~CInstrumentsPage() override;

    QWidget* Control(int id) const;
    // Makes the page's resources (its navigation icon ":/brtx/instruments.png") available.
    static void InitResources();

    // Reads the register again (the selected instrument stays selected).
    void Refresh();
    // Selects an instrument of the register (its log and chart are read); false when it is not
    // in the list.
    bool Select(const QString& device);
    QString SelectedDevice() const { return m_device; }
    // Waits (handling events) until the page's reads and writes have ended; false on timeout.
    bool WaitIdle(int timeoutMs = 30000);

    QStandardItemModel* RegisterModel() const { return m_register; }
    QStandardItemModel* LogModel() const { return m_log; }
    QChart* Chart() const;
    const InstrumentRegister::Drift& ChartDrift() const { return m_drift; }

    // Stores the edit form's fields for the selected instrument.
    void SaveEdits();
    // Checks and stores a log entry for the selected instrument (attach: a file, or empty).
    void AddEntry(const Calibration::Input& input, const QString& attach);
    // Writes the selected instrument's drift chart (PNG, or SVG by the name).
    bool SaveChart(const QString& path);
    // Makes a discovery package on a worker of its own, showing its progress.
    void StartDiscovery(const Discovery::Options& options);
    bool DiscoveryRunning() const { return m_discoveryRunning; }

signals:
    // A text for the main window's status line.
    void statusChanged(const QString& text);

public slots:
    void OnAddEntry();  // the entry dialog
    void OnDiscovery(); // the discovery dialog

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString GetText(const char* key) const;
    QString FieldNames(QString reason) const;
    void ShowRegister(const QList<InstrumentRegister::Row>& rows);
    void ShowInstrument();
    void ShowDrift(const QString& device); // the drift chart of m_drift in place of the old
    void ShowLog(const QList<Instruments::LogEntry>& log);
    void LoadLog();
    void OnSelectionChanged();
    void Say(const QString& text);
    const InstrumentRegister::Row* SelectedRow() const;

    CLanguage m_language;
    CInstrumentsWorker* m_worker = nullptr;    // register and log
    CInstrumentsWorker* m_discovery = nullptr; // discovery packages
    QTableView* m_registerView = nullptr;
    QStandardItemModel* m_register = nullptr;
    QLineEdit* m_label = nullptr;
    QLineEdit* m_serial = nullptr;
    QLineEdit* m_model = nullptr;
    QLineEdit* m_location = nullptr;
    QComboBox* m_status = nullptr;
    QSpinBox* m_calibrationDays = nullptr;
    QSpinBox* m_accuracyDays = nullptr;
    QLineEdit* m_notes = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_addEntry = nullptr;
    QPushButton* m_discoveryButton = nullptr;
    QTabWidget* m_tabs = nullptr;
    QTableView* m_logView = nullptr;
    QStandardItemModel* m_log = nullptr;
    QChartView* m_chartView = nullptr;
    QPushButton* m_savePng = nullptr;
    QPushButton* m_saveSvg = nullptr;
    QProgressBar* m_progress = nullptr;

    QList<InstrumentRegister::Row> m_rows;
    QList<Instruments::LogEntry> m_entries; // of the selected instrument
    InstrumentRegister::Drift m_drift;
    QString m_device; // the selected instrument
    quint64 m_logTicket = 0;
    int m_busy = 0; // reads and writes not yet answered
    bool m_discoveryRunning = false;
    std::atomic<bool> m_discoveryCancel{false}; // set when the page closes
};
