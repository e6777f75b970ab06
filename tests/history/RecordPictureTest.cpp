// A record's photograph is shown as stored, on the history page as on the device page: its
// own pixel size, no orientation tag applied.
#include "HistoryDb.h"

#include "app/shell/RecordPicture.h"
#include "base/Language.h"
#include "common/TestSupport.h"
#include "history/page/History.h"

#include <QBuffer>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTableView>
#include <gtest/gtest.h>

namespace {

// A 40 x 20 JPEG carrying an orientation tag "rotate 90" (6) in an APP1 segment.
QByteArray TaggedJpeg() {
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    const QByteArray app1 = QByteArray::fromHex("FFE10022"
                                                "457869660000"     // "Exif\0\0"
                                                "4D4D002A00000008" // big-endian TIFF, IFD at 8
                                                "0001"             // one entry
                                                "011200030000000100060000" // orientation 6
                                                "00000000");               // no next IFD
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

TEST(RecordPicture, ShownAsStoredWithTheReplacementAsFallback) {
    brtxtest::TempHome home;
    const QString tagged = home.file("tagged.jpg");
    ASSERT_TRUE(WriteFile(tagged, TaggedJpeg()));
    // The tag is really there: a reader that applies it turns the picture.
    QImageReader turning(tagged);
    turning.setAutoTransform(true);
    ASSERT_EQ(turning.read().size(), QSize(20, 40));

    QString shown;
    EXPECT_EQ(LoadRecordPicture(tagged, &shown).size(), QSize(40, 20));
    EXPECT_EQ(shown, tagged);

    // Missing picture: failer.jpg; missing too: nothing.
    EXPECT_TRUE(LoadRecordPicture(home.file("none.jpg"), &shown).isNull());
    EXPECT_EQ(shown, QString());
    ASSERT_TRUE(QFile::copy(brtxtest::sourceDir() + "/assets/failer.jpg", home.file("failer.jpg")));
    const QImage failer = LoadRecordPicture(QString(), &shown);
    EXPECT_FALSE(failer.isNull());
    EXPECT_EQ(shown, home.file("failer.jpg"));

    // The history page frame takes the picture's stored size.
    historytest::Db db;
    db.Titles("D1", {"Alc"});
    db.Add({"D1", "1", "2024-05-05", "08:00:00", "Auto", "0.1", "mg/L", "\\D1\\00001.jpg"});
    QDir().mkpath(GetPicFolder() + "/D1");
    ASSERT_TRUE(WriteFile(GetPicFolder() + "/D1/00001.jpg", TaggedJpeg()));
    CHistory page;
    page.resize(1000, 600);
    page.show();
    qobject_cast<QDateEdit*>(page.Control(HistoryIds::kStartDate))->setDate(QDate(2024, 1, 1));
    qobject_cast<QDateEdit*>(page.Control(HistoryIds::kEndDate))->setDate(QDate(2024, 12, 31));
    page.OnBnClickedQuery();
    ASSERT_EQ(page.ListRowCount(), 1);
    qobject_cast<QTableView*>(page.Control(HistoryIds::kList))->selectRow(0);
    page.WaitForList(); // the photograph comes from the worker
    EXPECT_EQ(page.Control(HistoryIds::kPicture)->size(), QSize(40, 20));
}
