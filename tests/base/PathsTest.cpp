// Path and folder helpers, including a program folder whose name is not ASCII.
#include "app/base/Paths.h"

#include "common/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

TEST(Paths, ProgramFolderFromHomeWithNonAsciiName) {
    brtxtest::TempHome home(false, QString::fromUtf8("程序 文件夹 é"));
    const QString root = home.path();
    ASSERT_TRUE(QDir(root).exists());
    EXPECT_EQ(GetAppFolder(), root);
    EXPECT_EQ(GetPicFolder(), root + "/pic");
    EXPECT_EQ(GetPdfFolder(), root + "/pdf");
    EXPECT_EQ(GetAdbFolder(), root + "/adbcopy");
    EXPECT_EQ(GetDatabasePath(), root + "/brtx.db");

    // The helpers do not touch the disk.
    EXPECT_FALSE(FileExists(GetPicFolder()));
    EXPECT_TRUE(FolderExists(root));

    // Folders: one level at a time, device folders named by text that is not ASCII.
    const QString device = GetPicFolder() + QString::fromUtf8("/设备001");
    EXPECT_FALSE(CreateFolder(device)); // pic is missing: no parents are made
    EXPECT_FALSE(FolderExists(GetPicFolder()));
    EXPECT_TRUE(CreateFolder(GetPicFolder()));
    EXPECT_TRUE(CreateFolder(device));
    EXPECT_FALSE(CreateFolder(device)); // already there
    EXPECT_TRUE(FolderExists(device));
    EXPECT_TRUE(FileExists(device));
    EXPECT_TRUE(QDir(root + QString::fromUtf8("/pic/设备001")).exists());

    // A file is found by FileExists but is not a folder.
    const QString file = device + QString::fromUtf8("/图片.jpg");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FolderExists(file));
    EXPECT_FALSE(CreateFolder(file + "/below"));
    EXPECT_FALSE(FileExists(device + "/none.jpg"));
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FolderExists(""));
    EXPECT_FALSE(CreateFolder(""));
}

TEST(Paths, HomeIsMadeAbsoluteAndClean) {
    brtxtest::TempHome home(false);
    qputenv("BRTX_HOME", QFile::encodeName(home.path() + "//"));
    EXPECT_EQ(GetAppFolder(), home.path());
    EXPECT_EQ(GetDatabasePath(), home.path() + "/brtx.db");

    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(home.path()));
    ASSERT_TRUE(QDir().mkdir("sub"));
    qputenv("BRTX_HOME", "./sub/");
    EXPECT_EQ(GetAppFolder(), home.path() + "/sub");
    EXPECT_EQ(GetPicFolder(), home.path() + "/sub/pic");
    QDir::setCurrent(before);
}

TEST(Paths, WithoutHomeTheExecutableFolderIsUsed) {
    const QByteArray old = qgetenv("BRTX_HOME");
    const bool had = qEnvironmentVariableIsSet("BRTX_HOME");
    qunsetenv("BRTX_HOME");
    EXPECT_EQ(GetAppFolder(), QCoreApplication::applicationDirPath());
    EXPECT_EQ(GetDatabasePath(), QCoreApplication::applicationDirPath() + "/brtx.db");
    if (had)
        qputenv("BRTX_HOME", old);
}

TEST(Paths, LinkToAFolderCountsAsFolder) {
    brtxtest::TempHome home(false);
    ASSERT_TRUE(CreateFolder(home.file("real")));
    ASSERT_TRUE(QFile::link(home.file("real"), home.file("link")));
    EXPECT_TRUE(FolderExists(home.file("link")));
    // A dangling link is an entry, but not a folder.
    ASSERT_TRUE(QFile::link(home.file("nowhere"), home.file("dangling")));
    EXPECT_TRUE(FileExists(home.file("dangling")));
    EXPECT_FALSE(FolderExists(home.file("dangling")));
}
