#pragma once
// Program folder layout. The program folder is the folder of the running executable,
// unless the environment variable BRTX_HOME names another folder.
#include <QString>

QString GetAppFolder();    // program folder, no trailing separator
QString GetPicFolder();    // <program>/pic
QString GetPdfFolder();    // <program>/pdf
QString GetAdbFolder();    // <program>/adbcopy
QString GetDatabasePath(); // <program>/brtx.db

bool FolderExists(const QString& path); // an entry that is a folder
bool FileExists(const QString& path);   // any entry (file or folder)
bool CreateFolder(const QString& path); // one level only; parents must exist
