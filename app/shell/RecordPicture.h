#pragma once
// Loading a record's picture for the device page and the history page alike.
#include <QImage>
#include <QString>

// The picture at path as stored: its own pixel size and orientation (an orientation tag in
// the file is not applied, so both pages show the instrument's photograph the same way).
// When it cannot be loaded, "failer.jpg" of the program folder; a null image when that
// fails too. shownFile, when given, receives the file that was loaded (empty when none).
QImage LoadRecordPicture(const QString& path, QString* shownFile = nullptr);
