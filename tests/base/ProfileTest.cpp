// The profile reader: the rules it shares with the usual INI readers, the encodings it
// accepts, and that edits of a file show at the next lookup.
#include "base/Profile.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <gtest/gtest.h>

namespace {
QString Read(const QByteArray& bytes, const QString& section, const QString& key,
             int maxChars = 1023) {
    return ReadProfileStringFromBytes(bytes, section, key, "DEF", maxChars);
}
} // namespace

TEST(Profile, CaseBlanksQuotesAndComments) {
    const QByteArray ini = "; comment [S]\n"
                           "  [ English ]  \n"
                           "  Title   =   Hello World  \n"
                           "\tTabbed\t=\tvalue\twith\ttabs\t\n"
                           "a=\"  padded  \"\n"
                           "b=\"only start\n"
                           "c='single'\n"
                           "d=\"\"\n"
                           "e=\"in\"side\"\n"
                           "f='mixed\"\n"
                           "g=\"\n"
                           ";key=commented\n"
                           "   ; key2=indented comment\n"
                           "empty=\n"
                           "noequals\n"
                           "semi=a;b\n"
                           "eq=a=b\n";
    EXPECT_EQ(Read(ini, "ENGLISH", "title"), "Hello World");
    EXPECT_EQ(Read(ini, "english", "TABBED"), "value\twith\ttabs");
    EXPECT_EQ(Read(ini, "English", "a"), "  padded  ");
    EXPECT_EQ(Read(ini, "English", "b"), "\"only start");
    EXPECT_EQ(Read(ini, "English", "c"), "single");
    EXPECT_EQ(Read(ini, "English", "d"), "");
    EXPECT_EQ(Read(ini, "English", "e"), "in\"side");
    EXPECT_EQ(Read(ini, "English", "f"), "'mixed\"");
    EXPECT_EQ(Read(ini, "English", "g"), "\"");
    EXPECT_EQ(Read(ini, "English", "key"), "DEF");
    EXPECT_EQ(Read(ini, "English", "key2"), "DEF");
    EXPECT_EQ(Read(ini, "English", "empty"), ""); // present but empty: not the default
    EXPECT_EQ(Read(ini, "English", "noequals"), "DEF");
    EXPECT_EQ(Read(ini, "English", "semi"), "a;b"); // no comments inside a value
    EXPECT_EQ(Read(ini, "English", "eq"), "a=b");
    EXPECT_EQ(Read(ini, "English", "missing"), "DEF");
    EXPECT_EQ(Read(ini, "Other", "title"), "DEF");
    EXPECT_EQ(Read("top=1\n[S]\n", "", "top"), "DEF"); // keys before any section
}

TEST(Profile, FirstSectionAndFirstKeyWin) {
    const QByteArray ini = "[S]\nk=first\nK=second\n[s]\nk=other\nnew=not read\n[T]\nk=t\n";
    EXPECT_EQ(Read(ini, "S", "k"), "first");
    EXPECT_EQ(Read(ini, "S", "new"), "DEF");
    EXPECT_EQ(Read(ini, "T", "k"), "t");
}

TEST(Profile, EncodingsLineEndsAndCuts) {
    const QString text =
        QString::fromUtf8("[Chinese]\r\nTitle=呼气酒精测试\r\n[English]\rTitle=B\r");
    QStringEncoder toUtf16(QStringEncoder::Utf16LE);
    const QByteArray utf16 = QByteArray("\xFF\xFE", 2) + QByteArray(toUtf16(text));
    for (const QByteArray& bytes : {text.toUtf8(), utf16, "\xEF\xBB\xBF" + text.toUtf8()}) {
        EXPECT_EQ(Read(bytes, "Chinese", "Title"), QString::fromUtf8("呼气酒精测试"));
        EXPECT_EQ(Read(bytes, "English", "Title"), "B");
    }
    const QByteArray ini = "[S]\nlong=" + QByteArray(1500, 'x') + "\ne=a\xF0\x9F\x98\x80\n";
    EXPECT_EQ(Read(ini, "S", "long").size(), 1023);
    EXPECT_EQ(Read(ini, "S", "long", 259).size(), 259);
    EXPECT_EQ(Read(ini, "S", "e", 2), "a"); // never half of a surrogate pair
}

TEST(Profile, FileEditsShowAtTheNextLookup) {
    brtxtest::TempHome home(false);
    const QString path = home.file("test.ini");
    auto write = [&](const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    EXPECT_EQ(ReadProfileString(path, "S", "k", "missing"), "missing");
    write("[S]\nk=one\n");
    EXPECT_EQ(ReadProfileString(path, "S", "k", ""), "one");
    write("[S]\nk=two\n"); // same size, at once
    EXPECT_EQ(ReadProfileString(path, "S", "k", ""), "two");
    QFile::remove(path);
    EXPECT_EQ(ReadProfileString(path, "S", "k", "gone"), "gone");
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_EQ(ReadProfileString(path, "S", "k", "dir"), "dir");
}
