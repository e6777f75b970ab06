// Localisation: what a CLanguage reads when, list splitting, and the shipped Language.ini.
#include "base/Language.h"
#include "base/Profile.h"

#include "common/TestSupport.h"

#include <QFile>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

// A program folder with the given Language.ini.
struct LanguageHome {
    brtxtest::TempHome home{false};
    explicit LanguageHome(const QByteArray& ini) { home.writeLanguage(ini); }
};

const QStringList kFormatKeys = {"DownloadRecordOK", "DownloadRecordFail", "TheImgExist",
                                 "SaveTheImgFail",   "ReadTheImgFail",     "DownloadFinishFailed"};
// clang-format off
const QStringList kEveryKey = QString(
    "Title Home History Exit DeviceID TotalNumber Status ConnectUSB USBConneting "
    "ConnectUSBOK ConnectUSBFailed DisconnectUSB DisconnectUSBOK GetDevFail DeviceFinding "
    "DeviceFindOK GetIPFail WifiConnect WifiConnecting WifiConnectOK WifiConnectFailed "
    "WifiDisconnect WifiDisconnectOK ManualIP SwVersion BtnGetDevID BtnSetTime "
    "BtnSetDeviceID BtnDownload BtnDownloadOne BtnDownloadAll BtnDelFile Start End SetTimeOk "
    "SetTimeFail DevIdMust12Digits SetDevIdOk SetDevIdFail DelFileOk DelFileFail NoRecords "
    "NumberMustLessTotoal DownloadFinish DeviceNo StartTime EndTime BtnQuery BtnExport "
    "BtnExPDF BtnDelete ShowFields GPS TestModeAuto TestModeManual TestModeRefuse "
    "TestModeDiscontinued ClickRecord ExportPdfOK ExportPdfFail KelValue").split(' ') + kFormatKeys;
// clang-format on

} // namespace

TEST(Language, MissingFileGivesDefaultsAndEmptyTexts) {
    LanguageHome lh("");
    QFile::remove(lh.home.file("Language.ini"));
    const CLanguage texts;
    EXPECT_EQ(texts.ReadLanguage(), "English");
    EXPECT_EQ(texts.ReadDeviceType(), "4Q");
    EXPECT_EQ(texts.GetText("Title"), "");
    QStringList list{"stale"};
    EXPECT_EQ(texts.GetTextList(list, "ShowFields", ","), 0);
    EXPECT_TRUE(list.isEmpty());
}

TEST(Language, LanguageIsReadOnceOtherValuesEveryTime) {
    const QByteArray longName(400, 'L');
    LanguageHome lh("[Global]\nLanguage=chinese\nDeviceType=15\nStrictTiming=1\n"
                    "[Chinese]\nHome=首页\n[English]\nHome=Home\n");
    const CLanguage texts;
    // The section matches without regard to case; the name itself is kept as written.
    EXPECT_EQ(texts.ReadLanguage(), "chinese");
    EXPECT_EQ(texts.GetText("Home"), QString::fromUtf8("首页"));
    EXPECT_EQ(texts.ReadDeviceType(), "15");
    EXPECT_EQ(texts.ReadGlobal("strictTiming"), "1");

    lh.home.writeLanguage("[Global]\nLanguage=English\nDeviceType=" + longName +
                          "\n[Chinese]\nHome=主页\n[English]\nHome=Home\n");
    EXPECT_EQ(texts.ReadLanguage(), "chinese");                  // until the next start
    EXPECT_EQ(texts.GetText("Home"), QString::fromUtf8("主页")); // texts follow the edit
    EXPECT_EQ(texts.ReadDeviceType().size(), 259);               // read every time, cut
    EXPECT_EQ(texts.ReadGlobal("StrictTiming", "0"), "0");
    EXPECT_EQ(CLanguage().GetText("Home"), "Home"); // the next start's object
}

TEST(Language, TextListKeepsEmptyPieces) {
    LanguageHome lh("[English]\nGaps=,a,,b,\nOne=single\nMulti=a::b::::c\nEmpty=\n");
    const CLanguage texts;
    QStringList list;
    EXPECT_EQ(texts.GetTextList(list, "Gaps", ","), 5);
    EXPECT_EQ(list, QStringList({"", "a", "", "b", ""}));
    EXPECT_EQ(texts.GetTextList(list, "One", ","), 1);
    EXPECT_EQ(list, QStringList({"single"}));
    EXPECT_EQ(texts.GetTextList(list, "Gaps", ""), 1);
    EXPECT_EQ(list, QStringList({",a,,b,"}));
    EXPECT_EQ(texts.GetTextList(list, "Multi", "::"), 4);
    EXPECT_EQ(list, QStringList({"a", "b", "", "c"}));
    EXPECT_EQ(texts.GetTextList(list, "Empty", ","), 0);
    EXPECT_TRUE(list.isEmpty());
}

TEST(Language, LookupsFromManyThreadsWhileTheFileChanges) {
    LanguageHome lh("[English]\nKey=stable\n");
    const CLanguage texts; // one object shared by every thread
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            // The writer replaces the file, so a reader may find it missing or part-written.
            while (!stop) {
                const QString v = texts.GetText("Key");
                if (!QString("stable").startsWith(v) && !QString("changed").startsWith(v))
                    ++bad;
            }
        });
    }
    for (int i = 0; i < 50; ++i)
        lh.home.writeLanguage(i % 2 ? "[English]\nKey=stable\n" : "[English]\nKey=changed\n");
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    lh.home.writeLanguage("[English]\nKey=final\n");
    EXPECT_EQ(texts.GetText("Key"), "final");
}

TEST(ShippedLanguageFile, EveryKeyHasTextInBothLanguages) {
    const QString ini = brtxtest::sourceDir() + "/assets/Language.ini";
    EXPECT_EQ(ReadProfileString(ini, "Global", "Language", ""), "English");
    EXPECT_EQ(ReadProfileString(ini, "Global", "DeviceType", ""), "4Q");
    const QList<int> headingWidths = {10, 9, 4, 4, 9, 11, 4}; // the headings they replace
    for (const QString section : {"English", "Chinese"}) {
        SCOPED_TRACE(section.toStdString());
        for (const QString& key : kEveryKey) {
            const QString text = ReadProfileString(ini, section, key, "");
            EXPECT_FALSE(text.trimmed().isEmpty()) << key.toStdString();
            // Formats take exactly one number; no other text holds a '%'.
            EXPECT_EQ(text.count('%'), kFormatKeys.contains(key) ? 1 : 0) << key.toStdString();
            if (kFormatKeys.contains(key)) {
                EXPECT_EQ(text.count("%d"), 1) << key.toStdString();
            }
        }
        const QStringList keys = ReadProfileString(ini, section, "ShowFields", "").split(',');
        ASSERT_EQ(keys.size(), 7);
        for (int i = 0; i < keys.size(); ++i) {
            const QString text = ReadProfileString(ini, section, keys[i], "");
            EXPECT_FALSE(text.isEmpty()) << keys[i].toStdString();
            EXPECT_LE(text.size(), headingWidths[i]) << keys[i].toStdString();
        }
        // A quoted value keeps the blank that separates it from the number after it.
        EXPECT_TRUE(ReadProfileString(ini, section, "DeviceID", "").endsWith(' '));
    }
}

TEST(LanguageFormats, GetTextNumberReplacesTheFirstConversionOnly) {
    LanguageHome home("[Global]\nLanguage=English\n[English]\n"
                      "A=Record %d done\nB=%ld of %d\nC=%s %x 100%\nD=\nE=%u%%\n");
    const CLanguage texts;
    EXPECT_EQ(texts.GetTextNumber("A", 7), QString("Record 7 done"));
    EXPECT_EQ(texts.GetTextNumber("B", 123456789012), QString("123456789012 of %d"));
    // Other conversions stay as they are; the text is never a printf format.
    EXPECT_EQ(texts.GetTextNumber("C", 5), QString("%s %x 100%"));
    EXPECT_EQ(texts.GetTextNumber("D", 5), QString());
    EXPECT_EQ(texts.GetTextNumber("Missing", 5), QString());
    EXPECT_EQ(texts.GetTextNumber("E", 0), QString("0%%"));
}
