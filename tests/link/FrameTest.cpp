// Request bytes, device number texts, reply acceptance and the bounds of every reply parser,
// on hand-made byte strings.
#include "link/DeviceFrame.h"

#include <QByteArray>
#include <gtest/gtest.h>

using namespace DeviceFrame;

namespace {

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// A read reply: 68 addr 68 81 L id0 id1 payload CS 16 with L = 2 + payload.
QByteArray ReadReply(uint8_t id0, uint8_t id1, const QByteArray& payload,
                     const QByteArray& addr = Hex("00 01 23 45 67 89")) {
    QByteArray f;
    f.append(char(0x68)).append(addr).append(char(0x68)).append(char(0x81));
    const uint32_t L = uint32_t(2 + payload.size());
    for (int i = 0; i < 4; ++i)
        f.append(char((L >> (8 * i)) & 0xFF));
    f.append(char(id0)).append(char(id1)).append(payload);
    f.append(char(0x00)).append(char(0x16));
    return f;
}

QByteArray Text(const QByteArray& t) {
    QByteArray b;
    b.append(char(t.size())).append(t).append(char(0));
    return b;
}

// A record text block of one record with the given fields (others empty up to 40).
QByteArray RecordBlock(const QList<QByteArray>& fields) {
    QByteArray b;
    b.append(char(40));
    for (int k = 0; k < 40; ++k)
        b.append(Text(k < fields.size() ? fields[k] : QByteArray()));
    return b;
}

// A record reply: picture, text block, then w; L = 8 + picture + w (w at 10+L).
QByteArray RecordReplyBytes(uint32_t no, const QByteArray& pic, const QByteArray& text,
                            int wOverride = -1, int lDelta = 0) {
    QByteArray f = Hex("68 00 01 23 45 67 89 68 81 00 00 00 00 02 10");
    f.append(char(no & 0xFF)).append(char((no >> 8) & 0xFF)).append(char((no >> 16) & 0xFF));
    f.append(pic).append(text);
    const uint32_t L = uint32_t(f.size() - 10 + lDelta);
    const int w = wOverride >= 0 ? wOverride : int(text.size());
    f.append(char(w & 0xFF)).append(char((w >> 8) & 0xFF));
    for (int i = 0; i < 4; ++i)
        f[9 + i] = char((L >> (8 * i)) & 0xFF);
    f.append(char(0x00)).append(char(0x16));
    return f;
}

} // namespace

TEST(Frame, FixedRequestsAreByteExact) {
    EXPECT_EQ(BuildReadDeviceInfo(), Hex("68 13 13 13 13 13 13 68 01 02 00 00 FF 00 16"));
    EXPECT_EQ(BuildReadTitleInfo(), Hex("68 13 13 13 13 13 13 68 01 02 00 03 FF 00 16"));
    EXPECT_EQ(BuildDeleteDeviceFiles(), Hex("68 13 13 13 13 13 13 68 04 02 00 06 AA 00 16"));
    // Record 70000 = 0x011170: length field 4, 18 bytes in all.
    EXPECT_EQ(BuildReadRecord(70000), Hex("68 13 13 13 13 13 13 68 01 04 00 02 10 70 11 01 00 16"));
    EXPECT_EQ(BuildReadRecord(0x12345678).mid(13, 3), Hex("78 56 34")); // low 24 bits only
    EXPECT_EQ(BuildSetDeviceNumber("123456789012"),
              Hex("68 12 00 12 00 12 00 68 04 08 00 02 BB 12 34 56 78 90 12 00 16"));
}

TEST(Frame, SetClockCarriesTimeTextAndCheckByte) {
    const QDateTime t(QDate(2024, 3, 5), QTime(7, 8, 9));
    const QByteArray f = BuildSetClock(t);
    ASSERT_EQ(f.size(), 34);
    EXPECT_EQ(f.left(13), Hex("68 00 00 00 00 00 00 68 04 15 00 01 FF"));
    EXPECT_EQ(f.mid(13, 19), QByteArray("2024-03-05 07-08-09"));
    unsigned sum = 0;
    for (int i = 0; i < 32; ++i)
        sum += uint8_t(f[i]);
    EXPECT_EQ(uint8_t(f[32]), sum & 0xFF);
    EXPECT_EQ(uint8_t(f[33]), 0x16);

    // Without a time: the local time now.
    EXPECT_EQ(BuildSetClock().mid(13, 4), QByteArray::number(QDate::currentDate().year()));
}

TEST(Frame, DeviceNumberEncodingFollowsAtoiPerPair) {
    EXPECT_EQ(EncodeDeviceNumber("000123456789"), Hex("00 01 23 45 67 89"));
    // Pairs "99", " 9", "x9", "a9", "9-", "1": blanks lead, other non-digits end the value.
    EXPECT_EQ(EncodeDeviceNumber("99 9x9a99-1"), Hex("99 09 00 00 09 01"));
    // "-1" is -1, modulo 256 is 255: (25 << 4) | 5, cut to a byte.
    EXPECT_EQ(uint8_t(EncodeDeviceNumber("-1").at(0)), uint8_t(((25 << 4) | 5) & 0xFF));
    // A short text gives zero bytes for the missing pairs.
    EXPECT_EQ(EncodeDeviceNumber("12"), Hex("12 00 00 00 00 00"));
}

TEST(Frame, DeviceNumberTextFromAddress) {
    EXPECT_EQ(DeviceNumberFromAddress(Hex("00 00 00 12 34 56"), "4Q"), "00123456");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("00 00 00 00 00 07"), "4Q"), "00000007");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("12 34 56 78 90 12"), "4Q"), "123456789012");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("00 00 00 0A BC 01"), "4Q"), "000abc01");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("00 00 00 0A BC 01"), "15"), "000ABC01");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("00 00 00 00 00 00"), "4Q"), "00000000");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("12 34 FF 78 90 12"), "4Q"), " ");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("FF 00 00 00 00 00"), "15"), " ");
    EXPECT_EQ(DeviceNumberFromAddress(Hex("12 34"), "4Q"), " "); // too short: no number
    // After SetDeviceNumber: BCD per nibble.
    EXPECT_EQ(DeviceNumberFromBcd(Hex("12 34 56 78 90 12")), "123456789012");
    EXPECT_EQ(DeviceNumberFromBcd(Hex("00 00 00 00 00 07")), "000000000007");
    EXPECT_EQ(DeviceNumberFromBcd(Hex("0A 00 00 00 00 00")), "100000000000");
}

TEST(Frame, ReplyAcceptanceLooksAtControlAndIdentifierOnly) {
    QByteArray ok = Hex("68 00 01 23 45 67 89 68 84 02 00 02 BB 00 16");
    EXPECT_TRUE(AcceptReply(Command::SetDeviceNumber, ok, int(ok.size())));
    QByteArray badCheck = ok;
    badCheck[13] = char(0x77); // the check byte is never examined
    EXPECT_TRUE(AcceptReply(Command::SetDeviceNumber, badCheck, int(badCheck.size())));
    QByteArray badIdent = ok;
    badIdent[12] = char(0xBC);
    EXPECT_FALSE(AcceptReply(Command::SetDeviceNumber, badIdent, int(badIdent.size())));
    EXPECT_FALSE(AcceptReply(Command::DeleteDeviceFiles, ok, int(ok.size())));
    // The identifier must have arrived: bytes past `received` do not count.
    EXPECT_FALSE(AcceptReply(Command::SetDeviceNumber, ok, 12));

    const QByteArray info = ReadReply(0x00, 0xFF, Hex("05 00 00"));
    EXPECT_TRUE(AcceptReply(Command::ReadDeviceInfo, info, int(info.size())));
    EXPECT_FALSE(AcceptReply(Command::ReadTitleInfo, info, int(info.size())));
    QByteArray wrongControl = info;
    wrongControl[8] = char(0x84);
    EXPECT_FALSE(AcceptReply(Command::ReadDeviceInfo, wrongControl, int(info.size())));
}

TEST(Frame, DeviceInfoParsing) {
    DeviceInfo info;
    const QByteArray r = ReadReply(0x00, 0xFF, Hex("70 11 01"), Hex("00 00 00 12 34 56"));
    ASSERT_TRUE(ParseDeviceInfo(r, int(r.size()), info, "4Q"));
    EXPECT_EQ(info.totalRecords, 70000u);
    EXPECT_EQ(info.deviceNumber, "00123456");
    EXPECT_EQ(info.address, Hex("00 00 00 12 34 56"));
    // The total's bytes must have arrived.
    EXPECT_FALSE(ParseDeviceInfo(r, 17, info, "4Q"));
}

TEST(Frame, TitleParsingCutsLongTitlesAndStopsAtTheReceivedBytes) {
    QByteArray payload;
    payload.append(char(1));
    payload.append(Text(QByteArray(230, 'T')));               // 230 bytes: kept as 200
    payload.append(Text(QString::fromUtf8("姓名").toUtf8())); // UTF-8
    payload.append(Text(" "));
    // A 200-byte cut that would split a 3-byte character drops that character whole.
    QByteArray split = QByteArray(199, 'a') + QString::fromUtf8("名").toUtf8();
    payload.append(Text(split));
    for (int k = 4; k < 20; ++k)
        payload.append(Text("T" + QByteArray::number(k)));
    const QByteArray r = ReadReply(0x03, 0xFF, payload);
    TitleGroup g;
    ASSERT_TRUE(ParseTitleInfo(r, int(r.size()), g));
    EXPECT_EQ(g.groupIndex, 1);
    ASSERT_EQ(g.titles.size(), 20);
    EXPECT_EQ(g.titles[0], QString(200, 'T'));
    EXPECT_EQ(g.titles[1], QString::fromUtf8("姓名"));
    EXPECT_EQ(g.titles[2], " ");
    EXPECT_EQ(g.titles[3], QString(199, 'a'));
    EXPECT_EQ(g.titles[19], "T19");

    // Without the group index the reply fails; a cut inside the entries keeps the complete
    // ones and leaves the others blank, so the link still works.
    const int lastTextEnd = int(r.size()) - 3; // skipped byte, check byte, end byte follow
    EXPECT_TRUE(ParseTitleInfo(r, lastTextEnd, g));
    EXPECT_EQ(g.titles[19], "T19");
    for (int n : {0, 15})
        EXPECT_FALSE(ParseTitleInfo(r, n, g)) << n;
    const QList<QPair<int, int>> complete = {{16, 0}, {17, 0}, {250, 1}, {lastTextEnd - 1, 19}};
    for (const auto& [n, whole] : complete) {
        ASSERT_TRUE(ParseTitleInfo(r, n, g)) << n;
        ASSERT_EQ(g.titles.size(), 20) << n;
        EXPECT_EQ(g.titles.count(QString()), 20 - whole) << n;
    }
    // A zeroed buffer bigger than the bytes received is not read past them.
    QByteArray big = r.left(40);
    big.resize(10240, 0);
    ASSERT_TRUE(ParseTitleInfo(big, 40, g));
    EXPECT_EQ(g.titles.count(QString()), 20);
}

TEST(Frame, RecordReplyLayoutAndTextBlock) {
    QList<QByteArray> fields;
    fields << "XX0123456789ABCD" // device number field: last 12 bytes kept
           << "7"
           << "2024-01-07"
           << "08:04:19"
           << "Auto";
    while (fields.size() < 40)
        fields << "f" + QByteArray::number(fields.size());
    fields[15] = QByteArray(230, 'x'); // longer than 200: kept whole
    fields[36] = QString::fromUtf8("北纬").toUtf8();
    fields[38] = QByteArray("\xff\xfe", 2); // not UTF-8: empty
    const QByteArray block = RecordBlock(fields) + RecordBlock({"a", "8"});
    const QByteArray pic = QByteArray::fromHex("FFD8FFE000104A464946") + QByteArray(50, 'p');
    const QByteArray r = RecordReplyBytes(7, pic, block);

    RecordReply out;
    ASSERT_EQ(ParseRecordReply(r, int(r.size()), out), RecordStatus::Ok);
    EXPECT_EQ(out.recordNo, 7u);
    EXPECT_EQ(out.textBytes, block.size());
    EXPECT_EQ(out.pictureLength, pic.size());
    EXPECT_EQ(out.picture, pic);
    EXPECT_EQ(r.mid(out.pictureOffset, out.pictureLength), pic);
    ASSERT_EQ(out.records.size(), 2);
    const ParsedRecord& a = out.records[0];
    EXPECT_EQ(a.fieldCount, 40);
    ASSERT_EQ(a.fields.size(), 40);
    EXPECT_EQ(a.fields[0], QString("23456789ABCD"));
    EXPECT_EQ(a.fields[1], "7");
    EXPECT_EQ(a.fields[4], "Auto");
    EXPECT_EQ(a.fields[15], QString(230, 'x'));
    EXPECT_EQ(a.lengths[15], 230);
    EXPECT_EQ(a.fields[36], QString::fromUtf8("北纬"));
    EXPECT_EQ(a.fields[38], QString());
    EXPECT_EQ(a.fields[39], "f39");
    // The second record has two fields; the rest are empty.
    EXPECT_EQ(out.records[1].fields[1], "8");
    EXPECT_EQ(out.records[1].fields[2], QString());
    EXPECT_EQ(out.records[1].fields.size(), 40);
}

TEST(Frame, RecordReplyRejections) {
    const QByteArray block = RecordBlock({"0123456789", "1"});
    const QByteArray pic(100, 'p');
    RecordReply out;

    // L = 2: no such record.
    const QByteArray none = Hex("68 00 01 23 45 67 89 68 81 02 00 00 00 02 10 00 16");
    EXPECT_EQ(ParseRecordReply(none, int(none.size()), out), RecordStatus::NoRecord);

    const QByteArray good = RecordReplyBytes(1, pic, block);
    const int L = int(good.size()) - 14;
    EXPECT_EQ(ParseRecordReply(good, int(good.size()), out), RecordStatus::Ok);
    // Every byte up to w (11 + L) must have arrived: 12 + L is enough, one fewer is not.
    EXPECT_EQ(ParseRecordReply(good, 12 + L, out), RecordStatus::Ok);
    EXPECT_EQ(ParseRecordReply(good, 11 + L, out), RecordStatus::Invalid);
    for (int n : {0, 8, 12, 13, 18, 60})
        EXPECT_EQ(ParseRecordReply(good, n, out), RecordStatus::Invalid) << n;

    // w below 10, w exactly L - 8 (no picture: fine), w one beyond.
    EXPECT_EQ(ParseRecordReply(RecordReplyBytes(1, pic, block, 9), 9999, out),
              RecordStatus::Invalid);
    const QByteArray noPic = RecordReplyBytes(1, QByteArray(), block);
    ASSERT_EQ(ParseRecordReply(noPic, int(noPic.size()), out), RecordStatus::Ok);
    EXPECT_EQ(out.pictureLength, 0);
    EXPECT_TRUE(out.picture.isEmpty());
    const QByteArray wBeyond = RecordReplyBytes(1, pic, block, L - 7);
    EXPECT_EQ(ParseRecordReply(wBeyond, int(wBeyond.size()), out), RecordStatus::Invalid);
    const QByteArray wHuge = RecordReplyBytes(1, pic, block, 0xFFFF);
    EXPECT_EQ(ParseRecordReply(wHuge, int(wHuge.size()), out), RecordStatus::Invalid);

    // An L beyond the received bytes, including one that overflows 32-bit sums.
    QByteArray bigL = good;
    bigL[9] = char(0xFF);
    bigL[10] = char(0xFF);
    bigL[11] = char(0xFF);
    bigL[12] = char(0xFF);
    EXPECT_EQ(ParseRecordReply(bigL, int(bigL.size()), out), RecordStatus::Invalid);
    EXPECT_EQ(ParseRecordReply(RecordReplyBytes(1, pic, block, -1, 100), int(good.size()), out),
              RecordStatus::Invalid);
}

TEST(Frame, RecordTextBlockNeverReadsPastItsEnd) {
    // A field whose length byte runs past the block is cut at the block's end.
    QByteArray block;
    block.append(char(40)).append(Text("0001")).append(char(50)).append("short");
    auto recs = ParseRecordText(block.constData(), int(block.size()));
    ASSERT_EQ(recs.size(), 1);
    EXPECT_EQ(recs[0].fields[0], "0001");
    EXPECT_EQ(recs[0].fields[1], "short");
    EXPECT_EQ(recs[0].lengths[1], 50);
    // A lone count byte is a record without fields; an empty block has no records.
    EXPECT_EQ(ParseRecordText("\x28", 1).size(), 1);
    EXPECT_TRUE(ParseRecordText("", 0).isEmpty());
    // A field 0 whose last 12 bytes would start inside a character drops the partial one.
    const QByteArray f0 = QString::fromUtf8("号").toUtf8() + QByteArray("12345678901");
    QByteArray b2;
    b2.append(char(40)).append(Text(f0));
    recs = ParseRecordText(b2.constData(), int(b2.size()));
    ASSERT_EQ(recs.size(), 1);
    EXPECT_EQ(recs[0].fields[0], "12345678901");
}
