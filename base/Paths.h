#pragma once
// Program folder layout.
//
// Two folders matter: the data folder, where the program keeps what it writes and what the user
// may edit (brtx.db, pic/, pdf/, adbcopy/, Language.ini), and the shipped folder, which holds
// the read-only files that come with the program (Language.ini as shipped, failer.jpg, the
// report's style sheets and logo).
//
// - BRTX_HOME set: the data folder is that folder.
// - A program folder that holds its own Language.ini (a build folder, a folder copied anywhere)
//   is both: everything stays beside the executable.
// - An installed copy (no Language.ini beside the executable, but ../share/brtx/Language.ini)
//   reads its shipped files from ../share/brtx and keeps its data in $XDG_DATA_HOME/brtx
//   (~/.local/share/brtx when XDG_DATA_HOME is unset or not absolute), for every user.
#include <QString>

QString GetAppFolder();    // data folder, no trailing separator
QString GetPicFolder();    // <data>/pic
QString GetPdfFolder();    // <data>/pdf
QString GetAdbFolder();    // <data>/adbcopy
QString GetDatabasePath(); // <data>/brtx.db

// The folder of the read-only files shipped with the program: <exe>/../share/brtx for an
// installed copy, else the executable's folder.
QString GetShippedFolder();
// A shipped file by name: <shipped folder>/<name>.
QString GetShippedFile(const QString& name);
// True for an installed copy (see above); decided once from the executable's folder.
bool IsInstalledCopy();

// Makes the data folder of an installed copy ready at start: creates it (with its parents),
// checks that files can be written there, copies the shipped Language.ini into it when it has
// none and checks that the Language.ini there still holds texts. Nothing is done for a program
// folder with its own Language.ini (as before). Returns an empty text when all is well, else
// a message for the user; the program must then not go on (it would write nowhere or
// somewhere unexpected).
QString PrepareDataFolder();

// Records, pictures and reports are personal data, private to the user who runs the program:
// folders are made 0700 and files 0600 whatever the umask (both programs also start with umask
// 077, so what libraries and child programs create is private too). MakeDataFolderPrivate
// tightens what an earlier version (or a copy) left open: the data folder, pic/ and pdf/ with
// every folder below them lose their group and other permissions, and so do brtx.db with its
// side files, desk.key, brtx-view.ini, report pages (*.html) in the folder and every file below
// pic/ and pdf/. A folder that is private already is not walked again, so a start costs a few
// look-ups. A folder nobody may write to (a protected copy) is left as it is. Links are never
// followed. Returns how many entries were changed (0: nothing was open), -1 when there is no
// data folder.
int MakeDataFolderPrivate();
// The mode bits a new private folder or file is made with.
constexpr unsigned kPrivateFolderMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;

// Which data folder is in use and why, one line for help texts.
QString DescribeDataFolder();

// The file path of a stored picture Path value ("\DEV\00007.jpg" or "/DEV/00007.jpg") under
// the picture root. Empty when the value would leave the root ("..") or names nothing. Every
// reader of a stored Path goes through this, so none of them reaches outside the root.
QString ResolvePicturePath(const QString& picRoot, const QString& storedPath);
// A Path value that comes from elsewhere (the central store) for a record of device: the value
// when it names a file right inside <picture root>/<device>/ ("\DEV\name" or "/DEV/name"),
// else empty: another device's folder, a deeper or outer folder, "." or "..", a doubled
// separator ("\\host\share"), a drive ("C:") or a control character.
QString DevicePicturePath(const QString& device, const QString& storedPath);

bool FolderExists(const QString& path); // an entry that is a folder
bool FileExists(const QString& path);   // any entry (file or folder)
bool CreateFolder(const QString& path); // one level only; parents must exist
