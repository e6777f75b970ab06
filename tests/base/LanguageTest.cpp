// Localisation: the process-wide table, list splitting, and the shipped Language.ini.
#include "app/base/Language.h"
#include "app/base/Profile.h"

#include "common/TestSupport.h"

#include <QFile>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

// A program folder with the given Language.ini and a fresh process-wide table.
struct LanguageHome {
    brtxtest::TempHome home;
    explicit LanguageHome(const QByteArray& ini) : home(false) {
        home.writeLanguage(ini);
        ResetLanguage();
    }
    ~LanguageHome() { ResetLanguage(); }
};

const QStringList kEveryKey = {
    // main window
    "Title", "Home", "History", "Exit", "DeviceID", "TotalNumber", "Status",
    // connection
    "ConnectUSB", "USBConneting", "ConnectUSBOK", "ConnectUSBFailed", "DisconnectUSB",
    "DisconnectUSBOK", "GetDevFail", "DeviceFinding", "DeviceFindOK", "GetIPFail", "WifiConnect",
    "WifiConnecting", "WifiConnectOK", "WifiConnectFailed", "WifiDisconnect", "WifiDisconnectOK",
    "ManualIP", "SwVersion", "BtnGetDevID", "BtnSetTime", "BtnSetDeviceID", "BtnDownload",
    "BtnDownloadOne", "BtnDownloadAll", "BtnDelFile", "Start", "End",
    // settings commands
    "SetTimeOk", "SetTimeFail", "DevIdMust12Digits", "SetDevIdOk", "SetDevIdFail", "DelFileOk",
    "DelFileFail",
    // download and pictures
    "NoRecords", "NumberMustLessTotoal", "DownloadFinish", "DownloadRecordOK", "DownloadRecordFail",
    "TheImgExist", "SaveTheImgFail", "ReadTheImgFail",
    // history
    "DeviceNo", "StartTime", "EndTime", "BtnQuery", "BtnExport", "BtnExPDF", "BtnDelete",
    "ShowFields", "GPS", "TestModeAuto", "TestModeManual", "TestModeRefuse", "TestModeDiscontinued",
    // report and meter
    "ClickRecord", "ExportPdfOK", "ExportPdfFail", "KelValue"};

// Texts used as a format with one record number.
const QStringList kFormatKeys = {"DownloadRecordOK", "DownloadRecordFail", "TheImgExist",
                                 "SaveTheImgFail", "ReadTheImgFail"};

} // namespace

TEST(Language, MissingFileGivesDefaultsAndEmptyTexts) {
    brtxtest::TempHome home(false);
    ResetLanguage();
    EXPECT_EQ(ReadLanguage(), "English");
    EXPECT_EQ(ReadDeviceType(), "4Q");
    EXPECT_EQ(GetText("Title"), "");
    QStringList list{"stale"};
    EXPECT_EQ(GetTextList(list, "ShowFields", ","), 0);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(Language().ReadGlobal("StrictTiming", "0"), "0");
    EXPECT_EQ(Language().FilePath(), home.file("Language.ini"));
    ResetLanguage();
}

TEST(Language, LanguageIsReadOnceOtherValuesEveryTime) {
    LanguageHome lh("[Global]\nLanguage=chinese\nDeviceType=15\nStrictTiming=1\n"
                    "[Chinese]\nHome=首页\n[English]\nHome=Home\n");
    // The section matches without regard to case; the name itself is kept as written.
    EXPECT_EQ(ReadLanguage(), "chinese");
    EXPECT_EQ(GetText("Home"), QString::fromUtf8("首页"));
    EXPECT_EQ(ReadDeviceType(), "15");
    EXPECT_EQ(Language().ReadGlobal("strictTiming"), "1");

    lh.home.writeLanguage("[Global]\nLanguage=English\nDeviceType=4Q\nStrictTiming=0\n"
                          "[Chinese]\nHome=主页\n[English]\nHome=Home\n");
    EXPECT_EQ(ReadLanguage(), "chinese");                       // until the next start
    EXPECT_EQ(GetText("Home"), QString::fromUtf8("主页"));      // texts follow the edit
    EXPECT_EQ(ReadDeviceType(), "4Q");                          // read every time
    EXPECT_EQ(Language().ReadGlobal("StrictTiming", "x"), "0"); // read every time
    ResetLanguage();
    EXPECT_EQ(ReadLanguage(), "English");
    EXPECT_EQ(GetText("Home"), "Home");
}

TEST(Language, NameValuesAreCutTo259) {
    const QByteArray longName(400, 'L');
    LanguageHome lh("[Global]\nLanguage=" + longName + "\nDeviceType=" + longName + "\n");
    EXPECT_EQ(ReadLanguage().size(), 259);
    EXPECT_EQ(ReadDeviceType().size(), 259);
}

TEST(Language, TextListKeepsEmptyPieces) {
    LanguageHome lh("[English]\n"
                    "Three=a,b,c\n"
                    "Gaps=,a,,b,\n"
                    "One=single\n"
                    "Multi=a::b::::c\n"
                    "Empty=\n"
                    "Comma=,\n");
    QStringList list;
    EXPECT_EQ(GetTextList(list, "Three", ","), 3);
    EXPECT_EQ(list, QStringList({"a", "b", "c"}));
    EXPECT_EQ(GetTextList(list, "Gaps", ","), 5);
    EXPECT_EQ(list, QStringList({"", "a", "", "b", ""}));
    EXPECT_EQ(GetTextList(list, "One", ","), 1);
    EXPECT_EQ(list, QStringList({"single"}));
    EXPECT_EQ(GetTextList(list, "Three", ""), 1);
    EXPECT_EQ(list, QStringList({"a,b,c"}));
    EXPECT_EQ(GetTextList(list, "Multi", "::"), 4);
    EXPECT_EQ(list, QStringList({"a", "b", "", "c"}));
    EXPECT_EQ(GetTextList(list, "Comma", ","), 2);
    EXPECT_EQ(list, QStringList({"", ""}));
    list = QStringList{"old"};
    EXPECT_EQ(GetTextList(list, "Empty", ","), 0);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(GetTextList(list, "Missing", ","), 0);
    EXPECT_TRUE(list.isEmpty());
}

TEST(Language, LookupsFromManyThreadsWhileTheFileChanges) {
    LanguageHome lh("[English]\nKey=stable\n");
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                // The writer replaces the file, so a reader may find it missing or not yet
                // fully written; it never sees anything but a piece of a value written.
                const QString v = GetText("Key");
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
    EXPECT_EQ(GetText("Key"), "final");
}

TEST(ShippedLanguageFile, EveryKeyHasTextInBothLanguages) {
    const QString ini = brtxtest::sourceDir() + "/assets/Language.ini";
    EXPECT_EQ(ReadProfileString(ini, "Global", "Language", ""), "English");
    EXPECT_EQ(ReadProfileString(ini, "Global", "DeviceType", ""), "4Q");
    for (const QString section : {"English", "Chinese"}) {
        SCOPED_TRACE(section.toStdString());
        for (const QString& key : kEveryKey) {
            EXPECT_FALSE(ReadProfileString(ini, section, key, "").trimmed().isEmpty())
                << key.toStdString();
        }
        // Formats take exactly one number and nothing else.
        for (const QString& key : kFormatKeys) {
            const QString text = ReadProfileString(ini, section, key, "");
            EXPECT_EQ(text.count("%d"), 1) << key.toStdString();
            EXPECT_EQ(text.count('%'), 1) << key.toStdString();
        }
        // No other text carries a format character that would be taken literally.
        for (const QString& key : kEveryKey) {
            if (kFormatKeys.contains(key))
                continue;
            EXPECT_FALSE(ReadProfileString(ini, section, key, "").contains('%'))
                << key.toStdString();
        }
    }
}

TEST(ShippedLanguageFile, ShowFieldsNamesSevenHeadingsThatFit) {
    // Each heading replaces a default one and is cut to its length.
    const QList<int> widths = {10, 9, 4, 4, 9, 11, 4};
    const QString ini = brtxtest::sourceDir() + "/assets/Language.ini";
    for (const QString section : {"English", "Chinese"}) {
        SCOPED_TRACE(section.toStdString());
        const QStringList keys =
            ReadProfileString(ini, section, "ShowFields", "").split(',', Qt::KeepEmptyParts);
        ASSERT_EQ(keys.size(), 7);
        for (int i = 0; i < keys.size(); ++i) {
            const QString text = ReadProfileString(ini, section, keys[i], "");
            EXPECT_FALSE(text.isEmpty()) << keys[i].toStdString();
            EXPECT_LE(text.size(), widths[i]) << keys[i].toStdString();
        }
    }
}

TEST(ShippedLanguageFile, ChineseSectionThroughTheTable) {
    brtxtest::TempHome home;
    QByteArray ini;
    {
        QFile f(home.file("Language.ini"));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        ini = f.readAll();
    }
    ini.replace("Language=English", "Language=Chinese");
    home.writeLanguage(ini);
    ResetLanguage();
    EXPECT_EQ(ReadLanguage(), "Chinese");
    EXPECT_EQ(GetText("Exit"), QString::fromUtf8("退出"));
    EXPECT_TRUE(GetText("DownloadRecordOK").contains("%d"));
    // A quoted value keeps its trailing blank so a number can follow it.
    EXPECT_TRUE(GetText("DeviceID").endsWith(' '));
    ResetLanguage();
}
