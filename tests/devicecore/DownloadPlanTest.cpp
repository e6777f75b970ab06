// How the download buttons read the record-number boxes, and the picture names and folders.
#include "base/Paths.h"
#include "device/core/DownloadWorker.h"
#include "device/core/PictureStore.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace Download;

TEST(DownloadPlan, SingleReadsTheFromBoxLikeTheDecimalConversion) {
    EXPECT_EQ(SingleNumber(""), 0u);
    EXPECT_EQ(SingleNumber("12"), 12u);
    EXPECT_EQ(SingleNumber("  7abc"), 7u);
    EXPECT_EQ(SingleNumber("+3"), 3u);
    EXPECT_EQ(SingleNumber("abc"), 0u);
    bool overflow = false;
    EXPECT_EQ(SingleNumber("-5", &overflow), 0xFFFFFFFFu);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(SingleNumber("99999999999", &overflow), 0xFFFFFFFFu);
    EXPECT_TRUE(overflow);

    PlanResult r = PlanSingle("0", 10);
    EXPECT_TRUE(r.start); // record 0 is asked for
    EXPECT_EQ(r.plan.kind, Kind::Single);
    EXPECT_EQ(r.plan.first, 0u);
    r = PlanSingle("11", 10);
    EXPECT_FALSE(r.start);
    EXPECT_EQ(r.key, "NumberMustLessTotoal");
    r = PlanSingle("-1", 10);
    EXPECT_FALSE(r.start);
    EXPECT_EQ(r.key, "NumberMustLessTotoal");
    r = PlanSingle("10", 10);
    EXPECT_TRUE(r.start);
    EXPECT_EQ(r.plan.first, 10u);
    r = PlanSingle("3", 0);
    EXPECT_FALSE(r.start);
    EXPECT_EQ(r.key, "NoRecords");
    EXPECT_TRUE(r.clearFrom);
}

TEST(DownloadPlan, AllAndEmptyBoxes) {
    PlanResult r = PlanAll(3);
    EXPECT_TRUE(r.start);
    EXPECT_EQ(r.plan.kind, Kind::All);
    EXPECT_EQ(r.plan.first, 1u);
    EXPECT_EQ(r.plan.last, 3u);
    EXPECT_EQ(r.plan.progressMaximum(), 3);
    r = PlanAll(0);
    EXPECT_FALSE(r.start);
    EXPECT_EQ(r.key, "NoRecords");

    r = PlanDownload("", "", 4); // both boxes empty: all records
    EXPECT_TRUE(r.start);
    EXPECT_EQ(r.plan.kind, Kind::All);
    EXPECT_EQ(r.plan.last, 4u);
    r = PlanDownload("1", "", 0);
    EXPECT_FALSE(r.start);
    EXPECT_EQ(r.key, "NoRecords");
    EXPECT_TRUE(r.clearFrom);
    EXPECT_TRUE(r.clearTo);
}

TEST(DownloadPlan, RangeBoxes) {
    PlanResult r = PlanDownload("", "5", 9);
    ASSERT_TRUE(r.start);
    EXPECT_EQ(r.plan.kind, Kind::Range);
    EXPECT_EQ(r.plan.first, 1u);
    EXPECT_EQ(r.plan.last, 5u);
    EXPECT_TRUE(r.clearFrom);
    EXPECT_FALSE(r.clearTo);

    r = PlanDownload("4", "", 9);
    EXPECT_EQ(r.plan.first, 4u);
    EXPECT_EQ(r.plan.last, 9u);
    EXPECT_FALSE(r.clearFrom);
    EXPECT_TRUE(r.clearTo);

    r = PlanDownload("1234567", "3", 9); // seven characters
    EXPECT_EQ(r.plan.first, 0u);
    EXPECT_TRUE(r.clearFrom);
    r = PlanDownload("123456", "3", 9); // six characters are still a number
    EXPECT_EQ(r.plan.first, 123456u);
    r = PlanDownload("2", "123456", 9); // six characters are too many for the end
    EXPECT_EQ(r.plan.last, 0u);
    EXPECT_TRUE(r.clearTo);
    r = PlanDownload("2", "12345", 9);
    EXPECT_EQ(r.plan.last, 12345u);
    r = PlanDownload("1a", "3b", 9);
    EXPECT_EQ(r.plan.first, 0u);
    EXPECT_EQ(r.plan.last, 0u);

    r = PlanDownload("7", "3", 9); // start after end: nothing, but still a download
    EXPECT_TRUE(r.start);
    EXPECT_EQ(r.plan.progressMaximum(), 0);
    r = PlanDownload("3", "7", 9);
    EXPECT_EQ(r.plan.progressMaximum(), 5);
}

TEST(DownloadPicture, NamesAndStoredPaths) {
    EXPECT_EQ(Picture::PlainName(7), "00007.jpg");
    EXPECT_EQ(Picture::PlainName(123456), "123456.jpg");
    const QString suffix = Picture::DateTimeSuffix("2024-03-05", "07:08:09");
    EXPECT_EQ(suffix, "20240305070809");
    EXPECT_EQ(Picture::AlternativeName(7, suffix), "00007_20240305070809.jpg");
    EXPECT_EQ(Picture::StoredPath("00123456", "00007.jpg"), "\\00123456\\00007.jpg");
    // A hostile date or time cannot lead the name out of the device folder.
    EXPECT_EQ(Picture::DateTimeSuffix("../../x", "a\\b"), ".._.._xa_b");

    EXPECT_TRUE(Picture::IsUsableDeviceId("00123456"));
    EXPECT_TRUE(Picture::IsUsableDeviceId(" "));
    EXPECT_FALSE(Picture::IsUsableDeviceId(""));
    EXPECT_FALSE(Picture::IsUsableDeviceId(".."));
    EXPECT_FALSE(Picture::IsUsableDeviceId("a/b"));
    EXPECT_FALSE(Picture::IsUsableDeviceId("a\\b"));

    // Either separator resolves under the picture root; nothing leaves it.
    EXPECT_EQ(ResolvePicturePath("/p/pic", "\\DEV\\00007.jpg"), "/p/pic/DEV/00007.jpg");
    EXPECT_EQ(ResolvePicturePath("/p/pic", "/DEV/00007.jpg"), "/p/pic/DEV/00007.jpg");
    EXPECT_EQ(ResolvePicturePath("/p/pic", "\\DEV/x.jpg"), "/p/pic/DEV/x.jpg");
    EXPECT_EQ(ResolvePicturePath("/p/pic", "\\..\\..\\etc\\passwd"), "");
    EXPECT_EQ(ResolvePicturePath("/p/pic", ""), "");
}

TEST(DownloadPicture, SaveNeverReplacesAndLeavesNoPartialFile) {
    brtxtest::TempHome home(false);
    const QString folder = home.file("pic/DEV");
    Picture::EnsureDeviceFolder(home.file("pic"), "DEV");
    ASSERT_TRUE(QDir(folder).exists());

    const QByteArray first("\xFF\xD8 first picture", 16);
    EXPECT_EQ(Picture::SavePictureFile(folder, "00001.jpg", first), Picture::SaveResult::Saved);
    EXPECT_EQ(Picture::SavePictureFile(folder, "00001.jpg", "other"), Picture::SaveResult::Exists);
    QFile f(folder + "/00001.jpg");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), first); // the existing picture is untouched

    // An empty picture is an empty file.
    EXPECT_EQ(Picture::SavePictureFile(folder, "00002.jpg", QByteArray()),
              Picture::SaveResult::Saved);
    EXPECT_EQ(QFileInfo(folder + "/00002.jpg").size(), 0);

    // A folder that does not exist: nothing can be made, and nothing is left behind.
    EXPECT_EQ(Picture::SavePictureFile(home.file("pic/NONE"), "00001.jpg", first),
              Picture::SaveResult::CannotCreate);

    // No temporary files remain.
    const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(names, QStringList({"00001.jpg", "00002.jpg"}));
}

TEST(DownloadPicture, TreeShowsOnlyThisDevicesSavedPictures) {
    brtxtest::TempHome home(false);
    const QString root = home.file("pic");
    for (const char* path : {"pic/D/00001.jpg", "pic/D/00003.jpg", "pic/D/00004.jpg",
                             "pic/OTHER/00003.jpg", "pic/00003.jpg"}) {
        QDir().mkpath(QFileInfo(home.file(path)).path());
        QFile f(home.file(path));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const Picture::TreeNode tree = Picture::BuildPictureTree(root, "D", {"00004.jpg", "00003.jpg"});
    EXPECT_EQ(tree.text, "pic");
    EXPECT_TRUE(tree.path.isEmpty());
    // Other devices' folders and stray files in the root never appear.
    ASSERT_EQ(tree.children.size(), 1);
    const Picture::TreeNode& dev = tree.children[0];
    EXPECT_EQ(dev.text, "D");
    EXPECT_EQ(dev.path, root + "/D");
    ASSERT_EQ(dev.children.size(), 2);
    EXPECT_EQ(dev.children[0].text, "00003.jpg");
    EXPECT_EQ(dev.children[1].text, "00004.jpg");
    EXPECT_EQ(dev.children[1].path, root + "/D/00004.jpg");
    EXPECT_TRUE(dev.folder);
    EXPECT_FALSE(dev.children[0].folder || dev.children[1].folder);

    const Picture::TreeNode none = Picture::BuildPictureTree(home.file("missing"), "D", {"x"});
    EXPECT_TRUE(none.children.isEmpty());
}
