// The rules of an instrument's log: pass or fail at the tolerance boundaries, an expired
// standard, what a new entry is refused for, due dates, and a record's state across
// calibration boundaries.
#include "instruments/Calibration.h"

#include <gtest/gtest.h>

using Calibration::State;
using Instruments::LogEntry;

namespace {

const QDateTime kNow(QDate(2026, 12, 9), QTime(12, 0));

Calibration::Input Accuracy(const QString& measured, const QString& tolerance,
                            const QString& expiry = QStringLiteral("2027-06-30"),
                            const QString& date = QStringLiteral("2026-12-01")) {
    Calibration::Input in;
    in.device = QStringLiteral("0123456789");
    in.kind = QStringLiteral("accuracy");
    in.date = date;
    in.technician = QStringLiteral("Lee");
    in.standardKind = QStringLiteral("dry-gas");
    in.lot = QStringLiteral("G-77");
    in.expiry = expiry;
    in.target = QStringLiteral("0.080");
    in.unit = QStringLiteral("mg/L");
    in.measured = measured.split(QLatin1Char(','));
    in.tolerance = tolerance;
    return in;
}

LogEntry Entry(const char* kind, const char* at, const char* result, bool superseded = false) {
    LogEntry e;
    e.kind = QLatin1String(kind);
    e.at = QLatin1String(at);
    e.result = QLatin1String(result);
    e.superseded = superseded;
    return e;
}

} // namespace

TEST(Calibration, PassOrFailAtTheBoundaries) {
    const struct {
        const char* measured;
        const char* tolerance;
        const char* expiry;
        const char* result;
        const char* reason; // part of the reason, for a failure
    } cases[] = {
        {"0.072,0.088", "10%", "2027-06-30", "pass", ""},
        {"0.072,0.088", "0.008", "2027-06-30", "pass", ""},
        {"0.0719", "10%", "2027-06-30", "fail", "0.0719 outside 0.072 to 0.088"},
        {"0.080,0.088001", "0.008", "2027-06-30", "fail", "0.088001 outside"},
        {"0.080", "0", "2027-06-30", "pass", ""},
        {"0.080", "10%", "2026-12-01", "pass", ""}, // expires that day: still in force
        {"0.080", "10%", "2026-11-30", "fail", "expired on 2026-11-30"},
        {"0.081 mg/L", "10%", "2027-06-30", "pass", ""},
    };
    for (const auto& c : cases) {
        LogEntry e;
        const QString refused =
            Calibration::Prepare(Accuracy(QLatin1String(c.measured), QLatin1String(c.tolerance),
                                          QLatin1String(c.expiry)),
                                 kNow, &e);
        ASSERT_TRUE(refused.isEmpty()) << c.measured << ": " << refused.toStdString();
        EXPECT_EQ(e.result, QLatin1String(c.result)) << c.measured << " " << c.tolerance;
        EXPECT_TRUE(e.reason.contains(QLatin1String(c.reason))) << e.reason.toStdString();
    }
}

TEST(Calibration, BadEntriesAreRefusedWithTheReason) {
    const struct {
        const char* field;
        const char* value;
        const char* says;
    } cases[] = {
        {"date", "2026-12-10", "future"},
        {"date", "2026-13-01", "--date takes"},
        {"measured", "0.08x1", "--measured \"0.08x1\""},
        {"measured", "abc", "is not a number"},
        {"measured", "0.080 g/L", "is in g/L, the target in mg/L"},
        {"tolerance", "-0.008", "--tolerance takes"},
        {"tolerance", "ten", "--tolerance takes"},
        {"target", "0", "--target takes a positive number"},
        {"expiry", "", "--expiry takes"},
        {"lot", "", "--lot"},
        {"kind", "cleaning", "--kind takes"},
        {"standard", "bottle", "--standard-kind takes"},
    };
    for (const auto& c : cases) {
        Calibration::Input in = Accuracy(QStringLiteral("0.080"), QStringLiteral("10%"));
        const QString v = QLatin1String(c.value);
        const QString field = QLatin1String(c.field);
        if (field == QLatin1String("date"))
            in.date = v;
        else if (field == QLatin1String("measured"))
            in.measured = {v};
        else if (field == QLatin1String("tolerance"))
            in.tolerance = v;
        else if (field == QLatin1String("target"))
            in.target = v;
        else if (field == QLatin1String("expiry"))
            in.expiry = v;
        else if (field == QLatin1String("lot"))
            in.lot = v;
        else if (field == QLatin1String("kind"))
            in.kind = v;
        else
            in.standardKind = v;
        EXPECT_TRUE(Calibration::Prepare(in, kNow, nullptr).contains(QLatin1String(c.says)))
            << c.field << "=" << c.value << ": "
            << Calibration::Prepare(in, kNow, nullptr).toStdString();
    }
}

TEST(Calibration, RecordStateAcrossCalibrationBoundaries) {
    const Calibration::Intervals intervals{365, 30};
    const QList<LogEntry> log = {
        Entry("calibration", "2026-01-10 09:00:00", "pass"),
        Entry("accuracy", "2026-01-10 10:00:00", "pass"),
        Entry("accuracy", "2026-03-01 10:00:00", "fail"),
        Entry("accuracy", "2026-03-02 10:00:00", "fail", true), // corrected by the next
        Entry("accuracy", "2026-03-02 11:00:00", "pass"),
    };
    const struct {
        const char* test;
        State state;
        const char* why;
    } cases[] = {
        {"2026-01-09 12:00:00", State::Lapsed, "no calibration before the test"},
        {"2026-01-10 09:30:00", State::Lapsed, "no accuracy check before the test"},
        {"2026-01-10 10:00:00", State::InCalibration, ""},
        {"2026-02-09 23:00:00", State::InCalibration, ""}, // day 30 of the check
        {"2026-02-10 08:00:00", State::Lapsed, "lapsed on 2026-02-09"},
        {"2026-03-01 12:00:00", State::Lapsed, "accuracy check of 2026-03-01 failed"},
        {"2026-03-02 12:00:00", State::InCalibration, ""},
        {"2027-01-11 08:00:00", State::Lapsed, "calibration of 2026-01-10 lapsed"},
    };
    for (const auto& c : cases) {
        const Calibration::RecordState s = Calibration::StateAt(
            log, intervals,
            QDateTime::fromString(QLatin1String(c.test), QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        EXPECT_EQ(s.state, c.state) << c.test << ": " << s.why.toStdString();
        EXPECT_TRUE(s.why.contains(QLatin1String(c.why))) << c.test << ": " << s.why.toStdString();
    }
    EXPECT_EQ(Calibration::StateAt({Entry("note", "2026-01-01 00:00:00", "")}, intervals,
                                   QDateTime(QDate(2026, 2, 1), QTime(8, 0)))
                  .state,
              State::Unknown);
    const Calibration::Due due = Calibration::NextDue(log, intervals);
    EXPECT_EQ(due.calibration, QDate(2027, 1, 10));
    EXPECT_EQ(due.accuracy, QDate(2026, 4, 1));
}

TEST(Calibration, WhatALinkSaysAboutDueDates) {
    const QDate today(2026, 12, 9);
    const struct {
        QDate calibration, accuracy;
        const char* key;
        qint64 days;
        const char* date;
    } cases[] = {
        {QDate(2027, 6, 1), QDate(2026, 12, 14), "AccuracyDueIn", 5, ""},
        {QDate(2026, 12, 9), QDate(2026, 12, 14), "CalibrationDueIn", 0, ""},
        {QDate(2027, 6, 1), QDate(2026, 11, 2), "AccuracyOverdue", 0, "2026-11-02"},
        {QDate(2026, 12, 8), QDate(2026, 11, 2), "CalibrationOverdue", 0, "2026-12-08"},
        {QDate(2027, 6, 1), QDate(2026, 12, 24), "", 0, ""},
        {QDate(), QDate(), "", 0, ""},
    };
    for (const auto& c : cases) {
        const Calibration::Notice n = Calibration::DueNotice({c.calibration, c.accuracy}, today);
        EXPECT_EQ(n.key, QLatin1String(c.key)) << c.key;
        EXPECT_EQ(n.days, c.days) << c.key;
        EXPECT_EQ(n.date, QLatin1String(c.date)) << c.key;
    }
}
