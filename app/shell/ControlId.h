#pragma once
// How controls are found by their dialog id.
//
// Every control that has an id carries it twice: its objectName is the id in decimal text
// ("1004") and its dynamic property "ctrlId" holds the id as an int. Ids are unique within one
// dialog only (the main window or one page): the main window's own controls are its direct
// children, so search it with Qt::FindDirectChildrenOnly; a page's controls are found from the
// page. Example: FindControl<QAbstractButton>(mainWindow, MainIds::kHistory).
#include <QString>
#include <QWidget>

namespace MainIds {
constexpr int kPageArea = 1000;     // hidden frame marking the page area
constexpr int kVersion = 1001;      // status field: program version
constexpr int kDeviceId = 1002;     // status field: device number
constexpr int kTotal = 1032;        // status field: record total
constexpr int kStatus = 1003;       // status field: operation status line
constexpr int kHome = 1004;         // page button "Home"
constexpr int kHistory = 1005;      // page button "History"
constexpr int kExit = 1007;         // "Exit"
constexpr int kUnused = 1006;       // hidden, not used
constexpr int kMinimise = 1008;     // minimise image button
constexpr int kClose = 1009;        // close image button
constexpr int kTitle = 1010;        // hidden title label
constexpr int kDeviceHost = 10000;  // host of the device page
constexpr int kHistoryHost = 10001; // host of the history page

constexpr int kInstruments = 1011;      // page button "Instruments"
constexpr int kInstrumentsHost = 10002; // host of the instruments page
} // namespace MainIds

// Gives a control its id (object name and "ctrlId" property).
inline void SetControlId(QWidget* control, int id) {
    control->setObjectName(QString::number(id));
    control->setProperty("ctrlId", id);
}

// The control with the given id under dialog, or nullptr.
template <class T = QWidget>
T* FindControl(const QWidget* dialog, int id,
               Qt::FindChildOptions options = Qt::FindDirectChildrenOnly) {
    return dialog ? dialog->findChild<T*>(QString::number(id), options) : nullptr;
}
