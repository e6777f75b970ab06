#pragma once
// The four status fields of the main window. Each setter finds the main window and sets its
// field; without a main window it does nothing. Safe from any thread: a call from another
// thread hands the text to the window thread (queued), so worker code never touches a widget.
// The fields are the main window's direct children 1001, 1002, 1032 and 1003; how ids are
// carried is described in app/shell/ControlId.h.
#include <QString>

class QWidget;

void SetStatusText(const QString& text);
void SetVersionText(const QString& text);
void SetDeviceIdText(const QString& text);
void SetTotalNumberText(const QString& text);

// Sets one field of the given window (its direct child id) on the calling thread, the way the
// setters do: a text too wide is drawn smaller, the whole text is the field's tip. Pages report
// their texts by signals; the main window connects them to this.
void ShowFieldText(QWidget* window, int id, const QString& text);

// The main window registers itself here (nullptr on destruction).
void RegisterMainWindow(QWidget* window);
QWidget* MainWindow();
