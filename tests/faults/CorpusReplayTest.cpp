// Every input kept in fuzz/corpus/<target>/ (seeds, and inputs that once broke a parser) fed
// to its parser with the ordinary build, and under the sanitizer builds of scripts/sanitize.sh.
// The fuzz targets check more properties; this keeps the kept inputs passing without clang.
#include "common/TestSupport.h"

#include "base/Paths.h"
#include "base/Profile.h"
#include "device/core/PictureStore.h"
#include "link/AdbBridge.h"
#include "link/DeviceFrame.h"
#include "reports/Biff.h"
#include "reports/Cfb.h"
#include "reports/ExcelCtrl.h"
#include "reports/Report.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <gtest/gtest.h>

#include <functional>

using namespace DeviceFrame;

namespace {

using Replay = std::function<void(const QByteArray&, const std::string&)>;

void deviceInfo(const QByteArray& b, const std::string& name) {
    for (const char* type : {"4Q", "15"}) {
        DeviceInfo info;
        if (ParseDeviceInfo(b, int(b.size()), info, type)) {
            EXPECT_LE(info.totalRecords, 0xFFFFFFu) << name;
            EXPECT_TRUE(info.deviceNumber == " " || info.deviceNumber.size() >= 8) << name;
        }
    }
    for (Command c : {Command::ReadDeviceInfo, Command::SetDeviceNumber, Command::SetClock})
        AcceptReply(c, b, int(b.size()));
    EXPECT_EQ(EncodeDeviceNumber(QString::fromUtf8(b.left(24))).size(), 6) << name;
}

void titleInfo(const QByteArray& b, const std::string& name) {
    TitleGroup g;
    if (ParseTitleInfo(b, int(b.size()), g)) {
        EXPECT_EQ(g.titles.size(), kTitleCount) << name;
        for (const QString& t : g.titles)
            EXPECT_LE(t.toUtf8().size(), kMaxTextBytes) << name;
    }
}

void recordReply(const QByteArray& b, const std::string& name) {
    RecordReply r;
    if (ParseRecordReply(b, int(b.size()), r) == RecordStatus::Ok) {
        EXPECT_GE(r.pictureLength, 0) << name;
        EXPECT_EQ(r.picture.size(), r.pictureLength) << name;
        EXPECT_LE(qint64(r.length) + 12, b.size()) << name;
        for (const ParsedRecord& rec : r.records)
            EXPECT_EQ(rec.fields.size(), kFieldCount) << name;
    }
}

void adbDevices(const QByteArray& b, const std::string& name) {
    QStringList devices;
    const bool ok = ParseAdbDeviceList(QString::fromLocal8Bit(b), devices);
    EXPECT_EQ(ok, !devices.isEmpty()) << name;
    for (const QString& d : devices)
        EXPECT_FALSE(d.isEmpty() || d.contains('\n')) << name;
}

void profile(const QByteArray& b, const std::string& name) {
    if (b.size() < 2)
        return;
    const QString v = ReadProfileStringFromBytes(b.mid(2), "Global", "DeviceType", "x", 40);
    EXPECT_LE(v.size(), 40) << name;
}

void excelRow(const QByteArray& b, const std::string& name) {
    if (b.isEmpty())
        return;
    const QString text = QString::fromUtf8(b.mid(1));
    EXPECT_FALSE(CExcelCtrl::SplitRow(text, CExcelCtrl::kExcelSeparator).isEmpty()) << name;
    const QStringList values = text.split(QChar(0x1F));
    EXPECT_EQ(CExcelCtrl::SplitRow(CExcelCtrl::JoinRow(values, CExcelCtrl::kExcelSeparator),
                                   CExcelCtrl::kExcelSeparator),
              values)
        << name;
}

void xlsWorkbook(const QByteArray& b, const std::string& name) {
    QByteArray stream;
    QString error;
    Cfb::ReadStream(b, "Workbook", &stream, &error);
    QVector<Biff::Sheet> sheets;
    if (!Biff::ReadWorkbook(b, &sheets, &error)) {
        EXPECT_FALSE(error.isEmpty()) << name;
    }
}

void fileNames(const QByteArray& b, const std::string& name) {
    const QString text = QString::fromUtf8(b);
    QStringList parts = text.split(QChar(0x1F));
    while (parts.size() < 4)
        parts.append(QString());
    const QString picture =
        Picture::AlternativeName(7, Picture::DateTimeSuffix(parts[0], parts[1]));
    EXPECT_FALSE(picture.contains('/') || picture.contains('\\')) << name;
    const QString resolved = ResolvePicturePath("/root/pic", text);
    EXPECT_TRUE(resolved.isEmpty() || resolved.startsWith("/root/pic/")) << name;
    EXPECT_FALSE(resolved.split('/').contains("..")) << name;
    const QString report = ReportName(parts);
    EXPECT_FALSE(report.contains('/') || report.contains('\\')) << name;
    EXPECT_FALSE(HtmlEscape(text).contains('<')) << name;
}

TEST(CorpusReplay, EveryKeptInputPassesItsParser) {
    const QMap<QString, Replay> targets{{"device_info", deviceInfo},   {"title_info", titleInfo},
                                        {"record_reply", recordReply}, {"adb_devices", adbDevices},
                                        {"profile", profile},          {"excel_row", excelRow},
                                        {"xls_workbook", xlsWorkbook}, {"file_names", fileNames}};
    const QDir corpus(brtxtest::sourceDir() + "/fuzz/corpus");
    ASSERT_TRUE(corpus.exists());
    int inputs = 0;
    for (const QString& target : corpus.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        ASSERT_TRUE(targets.contains(target)) << "no replay for " << target.toStdString();
        const QDir dir(corpus.filePath(target));
        for (const QString& file : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(file));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            targets[target](f.readAll(), (target + "/" + file).toStdString());
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 20);
}

} // namespace
