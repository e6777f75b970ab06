// The profile reader: the rules it shares with the usual INI readers, the encodings it
// accepts, and that edits of a file show at the next lookup.
#include "app/base/Profile.h"

#include "common/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <gtest/gtest.h>

namespace {

QString Read(const QByteArray& bytes, const QString& section, const QString& key,
             const QString& def = "DEF", int maxChars = 1023) {
    return ReadProfileStringFromBytes(bytes, section, key, def, maxChars);
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

TEST(Profile, NamesIgnoreCaseAndBlanksAreTrimmed) {
    const QByteArray ini = "  [ English ]  \n"
                           "  Title   =   Hello World  \n"
                           "\tTabbed\t=\tvalue\twith\ttabs\t\n"
                           "[GLOBAL]\nlanguage=Chinese\n";
    EXPECT_EQ(Read(ini, "english", "TITLE"), "Hello World");
    EXPECT_EQ(Read(ini, "ENGLISH", "title"), "Hello World");
    EXPECT_EQ(Read(ini, "English", "tabbed"), "value\twith\ttabs");
    EXPECT_EQ(Read(ini, "Global", "Language"), "Chinese");
    // Values keep their case.
    EXPECT_NE(Read(ini, "Global", "Language"), "chinese");
}

TEST(Profile, MatchingQuotesAreRemoved) {
    const QByteArray ini = "[S]\n"
                           "a=\"  padded  \"\n"
                           "b=\"only start\n"
                           "c=only end\"\n"
                           "d=\"\"\n"
                           "e='single'\n"
                           "f=\"\n"
                           "g=say \"hi\" now\n"
                           "h=\"in\"side\"\n"
                           "i='mixed\"\n"
                           "j=\"'both'\"\n"
                           "k=it's\n";
    EXPECT_EQ(Read(ini, "S", "a"), "  padded  ");
    EXPECT_EQ(Read(ini, "S", "b"), "\"only start");
    EXPECT_EQ(Read(ini, "S", "c"), "only end\"");
    EXPECT_EQ(Read(ini, "S", "d"), "");
    EXPECT_EQ(Read(ini, "S", "e"), "single");
    EXPECT_EQ(Read(ini, "S", "f"), "\"");
    EXPECT_EQ(Read(ini, "S", "g"), "say \"hi\" now");
    EXPECT_EQ(Read(ini, "S", "h"), "in\"side");
    EXPECT_EQ(Read(ini, "S", "i"), "'mixed\"");
    EXPECT_EQ(Read(ini, "S", "j"), "'both'"); // one pair only
    EXPECT_EQ(Read(ini, "S", "k"), "it's");
}

TEST(Profile, CommentsEmptyValuesAndMissingEntries) {
    const QByteArray ini = "; a comment [S]\n"
                           "[S]\n"
                           ";key=commented\n"
                           "   ; key=indented comment\n"
                           "empty=\n"
                           "noequals\n"
                           "semi=a;b\n"
                           "eq=a=b\n";
    EXPECT_EQ(Read(ini, "S", "key"), "DEF");
    EXPECT_EQ(Read(ini, "S", ";key"), "DEF");
    EXPECT_EQ(Read(ini, "S", "empty"), ""); // present but empty: not the default
    EXPECT_EQ(Read(ini, "S", "noequals"), "DEF");
    EXPECT_EQ(Read(ini, "S", "semi"), "a;b"); // ';' inside a value is text
    EXPECT_EQ(Read(ini, "S", "eq"), "a=b");   // the first '=' splits
    EXPECT_EQ(Read(ini, "S", "missing"), "DEF");
    EXPECT_EQ(Read(ini, "Other", "empty"), "DEF");
    EXPECT_EQ(Read("", "S", "x"), "DEF");
    // Keys before any section belong to none.
    EXPECT_EQ(Read("top=1\n[S]\n", "", "top"), "DEF");
}

TEST(Profile, FirstSectionAndFirstKeyWin) {
    const QByteArray ini = "[S]\nk=first\nk=second\nK=third\n"
                           "[s]\nk=other section\nnew=not read\n"
                           "[T]\nk=t\n";
    EXPECT_EQ(Read(ini, "S", "k"), "first");
    EXPECT_EQ(Read(ini, "S", "new"), "DEF");
    EXPECT_EQ(Read(ini, "T", "k"), "t");
}

TEST(Profile, EncodingsAndLineEnds) {
    const QString text = QString::fromUtf8("[Chinese]\r\nTitle=呼气酒精测试\r\nExit=退出\r\n"
                                           "[English]\rTitle=Breath\r");
    const QByteArray utf8 = text.toUtf8();
    QStringEncoder toUtf16(QStringEncoder::Utf16LE);
    const QByteArray utf16 = QByteArray("\xFF\xFE", 2) + QByteArray(toUtf16(text));
    const QByteArray bom8 = QByteArray("\xEF\xBB\xBF") + utf8;
    for (const QByteArray& bytes : {utf8, utf16, bom8}) {
        EXPECT_EQ(Read(bytes, "Chinese", "Title"), QString::fromUtf8("呼气酒精测试"));
        EXPECT_EQ(Read(bytes, "Chinese", "Exit"), QString::fromUtf8("退出"));
        EXPECT_EQ(Read(bytes, "English", "Title"), "Breath");
    }
    // A byte-order mark does not become part of the first section name.
    EXPECT_EQ(Read(QByteArray("\xEF\xBB\xBF[A]\nk=v\n"), "A", "k"), "v");
}

TEST(Profile, ValuesAreCutToTheLimit) {
    const QString longText(1500, QChar('x'));
    const QByteArray ini = "[S]\nlong=" + longText.toUtf8() + "\nshort=abc\n";
    EXPECT_EQ(Read(ini, "S", "long").size(), 1023);
    EXPECT_EQ(Read(ini, "S", "long", "", 259).size(), 259);
    EXPECT_EQ(Read(ini, "S", "short", "", 2), "ab");
    // A cut never leaves half of a character outside the basic plane.
    const QString emoji = QString::fromUtf8("a\xF0\x9F\x98\x80");
    EXPECT_EQ(Read("[S]\ne=" + emoji.toUtf8(), "S", "e", "", 2), "a");
}

TEST(Profile, FileReadsAndEditsShowAtOnce) {
    brtxtest::TempHome home(false);
    const QString path = home.file("test.ini");
    EXPECT_EQ(ReadProfileString(path, "S", "k", "missing file"), "missing file");

    WriteFile(path, "[S]\nk=one\n");
    EXPECT_EQ(ReadProfileString(path, "S", "k", ""), "one");
    // Same size, written at once after the first: still seen.
    WriteFile(path, "[S]\nk=two\n");
    EXPECT_EQ(ReadProfileString(path, "S", "k", ""), "two");
    WriteFile(path, "[S]\nk=three and longer\n");
    EXPECT_EQ(ReadProfileString(path, "S", "k", ""), "three and longer");
    QFile::remove(path);
    EXPECT_EQ(ReadProfileString(path, "S", "k", "gone"), "gone");
    // A folder of that name is not a file.
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_EQ(ReadProfileString(path, "S", "k", "dir"), "dir");
}
