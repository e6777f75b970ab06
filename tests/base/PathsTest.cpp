// Path and folder helpers, including a program folder whose name is not ASCII.
#include "base/Paths.h"

#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

TEST(Paths, NonAsciiProgramFolderAndOneLevelFolders) {
    brtxtest::TempHome home(false, QString::fromUtf8("程序 文件夹 é"));
    const QString root = home.path();
    EXPECT_EQ(GetAppFolder(), root);
    EXPECT_EQ(GetPicFolder(), root + "/pic");
    EXPECT_EQ(GetPdfFolder(), root + "/pdf");
    EXPECT_EQ(GetAdbFolder(), root + "/adbcopy");
    EXPECT_EQ(GetDatabasePath(), root + "/brtx.db");
    EXPECT_FALSE(FileExists(GetPicFolder())); // the helpers do not touch the disk

    const QString device = GetPicFolder() + QString::fromUtf8("/设备001");
    EXPECT_FALSE(CreateFolder(device)); // no parents are made
    EXPECT_TRUE(CreateFolder(GetPicFolder()));
    EXPECT_TRUE(CreateFolder(device));
    EXPECT_FALSE(CreateFolder(device)); // already there
    EXPECT_TRUE(FolderExists(device));
    EXPECT_TRUE(QDir(root + QString::fromUtf8("/pic/设备001")).exists());

    const QString file = device + QString::fromUtf8("/图片.jpg");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FolderExists(file));
    EXPECT_FALSE(FileExists(device + "/none.jpg"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(CreateFolder(""));
    ASSERT_TRUE(QFile::link(root + "/nowhere", root + "/dangling"));
    EXPECT_TRUE(FileExists(root + "/dangling")); // an entry, but no folder
    EXPECT_FALSE(FolderExists(root + "/dangling"));
}

TEST(Paths, HomeIsMadeAbsoluteAndCleanElseTheExecutableFolder) {
    brtxtest::TempHome home(false);
    qputenv("BRTX_HOME", QFile::encodeName(home.path() + "//"));
    EXPECT_EQ(GetDatabasePath(), home.path() + "/brtx.db");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(home.path()));
    qputenv("BRTX_HOME", "./sub/");
    EXPECT_EQ(GetPicFolder(), home.path() + "/sub/pic");
    QDir::setCurrent(before);

    qunsetenv("BRTX_HOME"); // TempHome puts back what was there
    EXPECT_EQ(GetAppFolder(), QCoreApplication::applicationDirPath());
}

// A folder that is no installed copy (here the test program's own, which has neither a
// Language.ini nor a ../share/brtx) keeps the old rule: nothing is made or copied at start.
// Installed copies are checked end to end by scripts/check-package.sh.
TEST(Paths, ProgramFolderWithoutShareIsNoInstalledCopy) {
    brtxtest::TempHome home(false);
    const QString missing = home.path() + "/not-yet";
    qputenv("BRTX_HOME", QFile::encodeName(missing));
    EXPECT_FALSE(IsInstalledCopy());
    EXPECT_EQ(GetShippedFolder(), QCoreApplication::applicationDirPath());
    EXPECT_EQ(GetShippedFile("failer.jpg"), QCoreApplication::applicationDirPath() + "/failer.jpg");
    EXPECT_EQ(PrepareDataFolder(), QString());
    EXPECT_FALSE(FileExists(missing));
    EXPECT_TRUE(DescribeDataFolder().startsWith(missing + " (BRTX_HOME"));
    qunsetenv("BRTX_HOME");
    EXPECT_TRUE(DescribeDataFolder().contains("holds its own Language.ini"));
}
