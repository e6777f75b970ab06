#include "app/shell/RecordPicture.h"

#include "base/Paths.h"

#include <QCoreApplication>
#include <QImageReader>

namespace {
QImage loadAsStored(const QString& path) {
    if (path.isEmpty())
        return QImage();
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read();
}
} // namespace

QImage LoadRecordPicture(const QString& path, QString* shownFile) {
    QString shown = path;
    QImage image = loadAsStored(shown);
    if (image.isNull()) {
        shown = GetAppFolder() + QStringLiteral("/failer.jpg");
        image = loadAsStored(shown);
        if (image.isNull()) {
            // A program folder set up elsewhere (BRTX_HOME) may lack it: the one installed
            // beside the executable.
            shown = QCoreApplication::applicationDirPath() + QStringLiteral("/failer.jpg");
            image = loadAsStored(shown);
        }
        if (image.isNull())
            shown.clear();
    }
    if (shownFile)
        *shownFile = shown;
    return image;
}
