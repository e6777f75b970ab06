#pragma once
// Where downloaded pictures live and under which names, and how one is written.
//
// Layout: <picture root>/<DeviceID>/<name>, the picture root being GetPicFolder().
// Names: "%05d.jpg" of the record number (wider numbers in full), or "%05d_%s.jpg" with the
// record's date (without '-') and time (without ':') when the plain file already existed.
// The database keeps the picture's place relative to the picture root with backslashes,
// "\DEVICE\00007.jpg", so files made on other systems stay valid; ResolvePicturePath
// (base/Paths.h) turns such a value (either separator) back into a file path on this system.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

namespace Picture {

// "%05d.jpg" of number.
QString PlainName(quint32 number);
// "%05d_%s.jpg" of number and suffix.
QString AlternativeName(quint32 number, const QString& suffix);
// The record's date with every '-' removed followed by its time with every ':' removed.
// Characters that cannot stand in a file name ('/', '\\', control characters) become '_', so
// a hostile date or time can never lead the file out of the device folder.
QString DateTimeSuffix(const QString& date, const QString& time);
// "\<deviceId>\<fileName>": the stored Path value.
QString StoredPath(const QString& deviceId, const QString& fileName);

// False for device identities that cannot name one folder level: empty, "." or "..", or
// holding a separator or a control character. Well-formed devices (hex digits, or the single
// space of an unreadable number) always pass.
bool IsUsableDeviceId(const QString& deviceId);

// <root>/<deviceId>.
QString DeviceFolder(const QString& picRoot, const QString& deviceId);

// Creates the picture root and the device folder when missing. Failures are not reported
// here: the later file creation fails instead.
void EnsureDeviceFolder(const QString& picRoot, const QString& deviceId);

// Removes the temporary files (".brtx-<pid>-<token>-<random>.part") that a process ended in the
// middle of SavePictureFile (or of a StoreBatch) left in folder. Files of a process that still
// runs (another brtx writing into the same folder right now, or this one) are left alone.
// Returns the number removed.
int RemoveLeftoverParts(const QString& folder);

enum class SaveResult {
    Saved,        // the whole picture is in place under its name
    Exists,       // a file of that name exists: nothing written
    CannotCreate, // the file could not be made or written completely: nothing left behind
};

// Writes bytes as <folder>/<fileName>. The bytes go to a temporary file in the same folder
// first, which then takes the final name only if that name is still free, so the final name
// never holds a partial picture and an existing file is never replaced; the bytes reach the
// disk before the name appears.
SaveResult SavePictureFile(const QString& folder, const QString& fileName, const QByteArray& bytes);

// The two halves of SavePictureFile, for a writer that stores several records in one
// transaction: WritePart writes the bytes to a private temporary file in folder and flushes
// them to the disk (false, nothing left behind, when it cannot); PublishPart gives that file
// its final name only if the name is still free (Exists: the part is removed, nothing
// replaced) and removes the part in every case. So the slow part (a new file, its bytes, the
// flush) runs before the transaction and only the naming inside it.
bool WritePart(const QString& folder, const QByteArray& bytes, QByteArray* part);
SaveResult PublishPart(const QByteArray& part, const QString& folder, const QString& fileName);
void DropPart(const QByteArray& part);
// Flushes the folder's entries (names just given) to the disk; false when it cannot.
bool SyncFolder(const QString& folder);

// The device tree: root "pic", the device's folder, and the pictures named in savedNames.
struct TreeNode {
    QString text; // shown in the tree
    QString path; // full path of the folder or file; empty for the root
    QVector<TreeNode> children;
    bool folder = true; // false for a picture file
};
// Walks the picture root: a folder is entered only when its name equals deviceId exactly; a
// file inside it is listed only when its name equals one of savedNames exactly. Entries come in the
// order of the folder listing (by name). A missing root gives the root node alone.
TreeNode BuildPictureTree(const QString& picRoot, const QString& deviceId,
                          const QStringList& savedNames);

} // namespace Picture
