// The C-style leading decimal conversion shared by the device-number payload and the Wi-Fi
// address check.
#include "link/DeviceFrame.h"

#include <gtest/gtest.h>

#include <limits>

using DeviceFrame::LeadingDecimal;

TEST(LeadingDecimal, ReadsLikeTheCConversion) {
    EXPECT_EQ(LeadingDecimal(u""), 0);
    EXPECT_EQ(LeadingDecimal(u"abc"), 0);
    EXPECT_EQ(LeadingDecimal(u"12x4"), 12);
    EXPECT_EQ(LeadingDecimal(u" \t\n\v\f\r7"), 7);
    EXPECT_EQ(LeadingDecimal(u"+3"), 3);
    EXPECT_EQ(LeadingDecimal(u"-42"), -42);
    EXPECT_EQ(LeadingDecimal(u"- 4"), 0);
    EXPECT_EQ(LeadingDecimal(u"1 2"), 1);
    // Only ASCII blanks are skipped and only ASCII digits read.
    EXPECT_EQ(LeadingDecimal(u"\u00a05"), 0);
    EXPECT_EQ(LeadingDecimal(u"\uff15"), 0);
    // Saturates instead of wrapping.
    EXPECT_EQ(LeadingDecimal(u"99999999999999999999999"), std::numeric_limits<long>::max());
    EXPECT_EQ(LeadingDecimal(u"-99999999999999999999999"), std::numeric_limits<long>::min());
}

TEST(LeadingDecimal, ReadsEachPayloadPair) {
    // Each pair is read as atoi reads it, modulo 256: " 9" 9, "-1" 255 (25 and 5), "+5" 5,
    // "x7" 0, "ab" 0, "0" (the last, short pair) 0.
    EXPECT_EQ(DeviceFrame::EncodeDeviceNumber(" 9-1+5x7ab0"), QByteArray::fromHex("099505000000"));
}
