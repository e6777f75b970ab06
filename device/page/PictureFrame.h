#pragma once
// The picture shown in the device page's picture frame (control 1030): drawn at its natural
// size with its top-left corner at the frame's top-left corner; the frame clips what does not
// fit. The view is a child that always covers its frame, so the frame's own size and layout
// never change with the picture.
#include <QImage>
#include <QString>
#include <QWidget>

class CPictureView : public QWidget {
    Q_OBJECT
public:
    // Becomes a child of frame and follows its size.
    explicit CPictureView(QWidget* frame);

    // Loads the file through LoadRecordPicture; when it cannot be loaded, failer.jpg is shown
    // instead. Returns true when the file itself was loaded.
    bool ShowFile(const QString& path);
    void Clear();
    const QImage& Image() const { return m_image; }
    QString ShownFile() const { return m_shownFile; } // the file actually drawn

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QImage m_image;
    QString m_shownFile;
};
