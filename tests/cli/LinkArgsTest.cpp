// The command line's link choice: --wifi ADDRESS, --usb [SERIAL], and the positional words
// a command keeps for itself.
#include "app/cli/LinkArgs.h"

#include <gtest/gtest.h>

TEST(CliLinkArgs, RoutesSerialsAndTrailingWords) {
    LinkTarget t;
    QString error;
    QStringList args{"--wifi", "10.0.0.1", "extra"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error));
    EXPECT_EQ(t.route, LinkRoute::Wifi);
    EXPECT_EQ(t.address, "10.0.0.1");
    EXPECT_EQ(args, QStringList{"extra"});

    args = {"--usb"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error));
    EXPECT_EQ(t.route, LinkRoute::Usb);
    EXPECT_TRUE(t.serial.isEmpty());

    args = {"--usb", "SER1", "--all"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error));
    EXPECT_EQ(t.serial, "SER1");
    EXPECT_EQ(args, QStringList{"--all"});

    // set-id: the only word after --usb is the command's own DIGITS, not a serial.
    args = {"--usb", "123456789012"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error, 1));
    EXPECT_TRUE(t.serial.isEmpty());
    EXPECT_EQ(args, QStringList{"123456789012"});
    args = {"--usb", "SER1", "123456789012"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error, 1));
    EXPECT_EQ(t.serial, "SER1");
    EXPECT_EQ(args, QStringList{"123456789012"});

    args = {"--usb=SER2"};
    ASSERT_TRUE(TakeLinkArgs(args, t, error));
    EXPECT_EQ(t.serial, "SER2");

    for (const QStringList& bad :
         {QStringList{}, QStringList{"--wifi"}, QStringList{"--wifi", "--usb"},
          QStringList{"--wifi", "1.2.3.4", "--usb"}}) {
        args = bad;
        EXPECT_FALSE(TakeLinkArgs(args, t, error)) << bad.join(' ').toStdString();
        EXPECT_FALSE(error.isEmpty());
    }
}
