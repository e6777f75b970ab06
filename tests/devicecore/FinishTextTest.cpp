// The closing status text of a download, with the program's Language.ini and with one that
// does not know the failure-count key.
#include "base/Language.h"
#include "common/TestSupport.h"
#include "device/core/DownloadWorker.h"

#include <gtest/gtest.h>

using brtxtest::GetText;

using Download::FinishText;
using Download::StatusText;

TEST(DownloadFinishText, CountsFailuresAndFallsBackToThePlainText) {
    {
        brtxtest::TempHome home;
        EXPECT_EQ(FinishText(CLanguage(), 0), GetText("DownloadFinish"));
        EXPECT_TRUE(FinishText(CLanguage(), 3).contains("3"))
            << FinishText(CLanguage(), 3).toStdString();
        EXPECT_NE(FinishText(CLanguage(), 3), GetText("DownloadFinish"));
        EXPECT_EQ(StatusText(CLanguage(), "DownloadRecordOK", 12),
                  QString("Record 12 downloaded."));
        EXPECT_EQ(StatusText(CLanguage(), "DownloadRecordOK"), QString("Record %d downloaded."));
    }
    {
        // A Language.ini made for the instrument knows only the keys it always had.
        brtxtest::TempHome home(false);
        home.writeLanguage("[Global]\nLanguage=English\n[English]\nDownloadFinish=Done.\n");
        EXPECT_EQ(FinishText(CLanguage(), 0), QString("Done."));
        EXPECT_EQ(FinishText(CLanguage(), 3), QString("Done."));
    }
}
