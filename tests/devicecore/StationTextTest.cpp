// The station's memory warning and its Wi-Fi targets, case by case.
#include "device/core/Station.h"

#include <gtest/gtest.h>

TEST(StationText, CapacityWarningFromEightyPercent) {
    struct Case {
        quint32 total, capacity;
        const char* expected;
    };
    const Case cases[] = {
        {1612, 2000, "00123456 holds 1,612 of 2,000 records: delete its files after the download"},
        {1600, 2000, "00123456 holds 1,600 of 2,000 records: delete its files after the download"},
        {1599, 2000, ""},
        {2500, 2000, "00123456 holds 2,500 of 2,000 records: delete its files after the download"},
        {4000000000u, 4294967295u,
         "00123456 holds 4,000,000,000 of 4,294,967,295 records: "
         "delete its files after the download"},
        {1612, 0, ""}, // no capacity set
    };
    for (const Case& c : cases)
        EXPECT_EQ(Station::CapacityWarning("00123456", c.total, c.capacity),
                  QString::fromUtf8(c.expected))
            << c.total << " of " << c.capacity;
}

TEST(StationText, WifiTargets) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        quint16 port;
    };
    const Case cases[] = {
        {"192.168.1.20", true, "192.168.1.20", 7575},
        {" 127.0.0.1:17575 ", true, "127.0.0.1", 17575},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"300.1.1.1", false, "", 0},
        {"station.example", false, "", 0},
    };
    for (const Case& c : cases) {
        QString host;
        quint16 port = 0;
        ASSERT_EQ(Station::ParseWifiTarget(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, QString::fromLatin1(c.host)) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}
