#include "app/shell/RecordPicture.h"

#include "base/Paths.h"

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
            // A data folder set up elsewhere (BRTX_HOME, an installed copy) lacks it: the one
            // shipped with the program.
            shown = GetShippedFile(QStringLiteral("failer.jpg"));
            image = loadAsStored(shown);
        }
        if (image.isNull())
            shown.clear();
    }
    if (shownFile)
        *shownFile = shown;
    return image;
}
