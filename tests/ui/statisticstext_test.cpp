#include "ui/statisticstext.h"

#include <gtest/gtest.h>

namespace {

StatisticsInput Downloading(uint64_t total, uint64_t finished, uint64_t inProgress,
                            uint64_t speed) {
  StatisticsInput in;
  in.speedKBps = speed;
  in.total = total;
  in.downloaded = finished + inProgress;
  in.totalBytes = total;
  in.finishedBytes = finished;
  in.inProgressBytes = inProgress;
  return in;
}

}  // namespace

TEST(StatisticsText, HalfwayAtTwoMegabytesPerSecond) {
  StatisticsView view = StatisticsText::Compose(Downloading(1048576000, 524288000, 0, 2048));
  EXPECT_EQ(view.phase, StatisticsPhase::kDownloading);
  EXPECT_EQ(view.values, L"1024000 kB\r\n512000 kB\r\n2048 kB/s\r\n50 %\r\n0 h : 4 m : 10 s");
  EXPECT_EQ(view.labels, L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n");
  EXPECT_EQ(view.progress, 50);
  EXPECT_EQ(view.valuesVisibility, Visibility::kShow);
  EXPECT_EQ(view.pauseVisibility, Visibility::kShow);
  EXPECT_EQ(view.labelsVisibility, Visibility::kKeep);
}

TEST(StatisticsText, FirstCallShowsZerosWithoutTimeLeft) {
  StatisticsView view = StatisticsText::Compose(StatisticsInput{});
  EXPECT_EQ(view.phase, StatisticsPhase::kDownloading);
  EXPECT_EQ(view.values, L"0 kB\r\n0 kB\r\n0 kB/s\r\n0 %");
  EXPECT_EQ(view.progress, 0);
  EXPECT_EQ(view.pauseVisibility, Visibility::kShow);
}

TEST(StatisticsText, PausedHasNoTimeLeftLine) {
  StatisticsView view = StatisticsText::Compose(Downloading(50000000, 10000000, 2500000, 0));
  EXPECT_EQ(view.values, L"48828 kB\r\n12207 kB\r\n0 kB/s\r\n25 %");
}

TEST(StatisticsText, EachCountIsDividedByThousandOnItsOwn) {
  // 999 + 999 bytes are two zeros, not 1998 / 1000 = 1.
  EXPECT_EQ(StatisticsText::DownloadPercent(100000, 999, 999), 0);
  EXPECT_EQ(StatisticsText::DownloadPercent(3000, 1999, 1999), 66);
  EXPECT_EQ(StatisticsText::VerifyPercent(3000, 2999), 66);
}

TEST(StatisticsText, TotalBelowThousandIsZeroPercentAndNeverProcessing) {
  StatisticsView view = StatisticsText::Compose(Downloading(999, 999, 0, 1));
  EXPECT_EQ(view.phase, StatisticsPhase::kDownloading);
  EXPECT_EQ(view.progress, 0);
  EXPECT_EQ(StatisticsText::DownloadPercent(999, 999, 0), 0);
  EXPECT_EQ(StatisticsText::VerifyPercent(999, 999), 0u);
}

TEST(StatisticsText, EverythingInIsProcessing) {
  StatisticsView view = StatisticsText::Compose(Downloading(25000000, 25000000, 0, 300));
  EXPECT_EQ(view.phase, StatisticsPhase::kProcessing);
  EXPECT_EQ(view.labels, L"Processing downloaded files, please wait...\r\n");
  EXPECT_EQ(view.values, L"");
  EXPECT_EQ(view.progress, 100);
  EXPECT_EQ(view.labelsVisibility, Visibility::kShow);
  EXPECT_EQ(view.valuesVisibility, Visibility::kHide);
  EXPECT_EQ(view.pauseVisibility, Visibility::kHide);
}

TEST(StatisticsText, PartsCountedAtFullSizeStayAtHundredPercent) {
  // Three reused parts of a 25,000,000-byte file count 30,000,000 bytes.
  EXPECT_EQ(StatisticsText::DownloadPercent(25000000, 30000000, 0), 100);
  EXPECT_EQ(StatisticsText::Compose(Downloading(25000000, 30000000, 0, 1)).phase,
            StatisticsPhase::kProcessing);
}

TEST(StatisticsText, CopyingShowsTheMergeProgress) {
  StatisticsInput in = Downloading(30000000, 30000000, 0, 100);
  in.copying = true;
  in.copyPercent = 33;
  StatisticsView view = StatisticsText::Compose(in);
  EXPECT_EQ(view.phase, StatisticsPhase::kCopying);
  EXPECT_EQ(view.labels, L"Copying downloaded files, please wait...\r\n33% completed");
  EXPECT_EQ(view.values, L"");
  EXPECT_EQ(view.progress, 33);
  EXPECT_EQ(view.valuesVisibility, Visibility::kHide);
  EXPECT_EQ(view.pauseVisibility, Visibility::kHide);
  EXPECT_EQ(view.labelsVisibility, Visibility::kKeep);
}

TEST(StatisticsText, VerifyingWinsOverCopying) {
  StatisticsInput in = Downloading(20000000, 20000000, 0, 100);
  in.copying = true;
  in.copyPercent = 10;
  in.verifying = true;
  in.verifiedBytes = 15000000;
  StatisticsView view = StatisticsText::Compose(in);
  EXPECT_EQ(view.phase, StatisticsPhase::kVerifying);
  EXPECT_EQ(view.labels, L"Verifying setup files 75% completed");
  EXPECT_EQ(view.values, L"");
  EXPECT_EQ(view.progress, 75);
  EXPECT_EQ(view.labelsVisibility, Visibility::kShow);
  EXPECT_EQ(view.valuesVisibility, Visibility::kHide);
  EXPECT_EQ(view.pauseVisibility, Visibility::kHide);
}

TEST(StatisticsText, VerifyingWithNoTotalIsZeroPercent) {
  StatisticsInput in;
  in.verifying = true;
  in.verifiedBytes = 5000;
  EXPECT_EQ(StatisticsText::Compose(in).labels, L"Verifying setup files 0% completed");
}

TEST(StatisticsText, MoreDownloadedThanTotalLeavesNoTime) {
  // The meter's figures may run ahead of the total (reused parts count in full).
  StatisticsInput in = Downloading(1500, 999, 999, 4);
  in.downloaded = 9000;
  StatisticsView view = StatisticsText::Compose(in);
  EXPECT_EQ(view.phase, StatisticsPhase::kDownloading);
  EXPECT_EQ(view.values, L"1 kB\r\n8 kB\r\n4 kB/s\r\n0 %\r\n0 h : 0 m : 0 s");
  EXPECT_EQ(StatisticsText::TimeLeft(100, 200, 1), L"0 h : 0 m : 0 s");
}

TEST(StatisticsText, TimeLeftSplitsHoursMinutesSeconds) {
  // 3,725,000 kB to go at 1000 kB/s: 3725 s = 1 h 2 m 5 s.
  EXPECT_EQ(StatisticsText::TimeLeft(3725000ull * 1024, 0, 1000), L"1 h : 2 m : 5 s");
  EXPECT_EQ(StatisticsText::TimeLeft(1023, 0, 1), L"0 h : 0 m : 0 s");
  // An absurd estimate stays a positive number of hours.
  std::wstring huge = StatisticsText::TimeLeft(~0ull, 0, 1);
  EXPECT_EQ(huge.find(L'-'), std::wstring::npos) << huge;
}

TEST(StatisticsText, WaitingForTheNetworkSaysWhyAndWhenTheNextTryComes) {
  StatisticsInput in = Downloading(100000, 50000, 0, 0);
  in.networkRetrySeconds = 16;
  StatisticsView view = StatisticsText::Compose(in);
  EXPECT_EQ(view.phase, StatisticsPhase::kWaitingForNetwork);
  EXPECT_EQ(view.labels,
            L"The network is unavailable. The download goes on by itself when it is back.\r\n"
            L"Next try in 16 s.");
  EXPECT_EQ(view.progress, 50);  // what is done stays shown
  EXPECT_EQ(view.labelsVisibility, Visibility::kShow);
  EXPECT_EQ(view.valuesVisibility, Visibility::kHide);
  EXPECT_EQ(view.pauseVisibility, Visibility::kKeep);
  in.signInPage = true;
  in.networkRetrySeconds = 1;
  EXPECT_EQ(StatisticsText::Compose(in).labels,
            L"The network answered with a sign-in page instead of the download. Open your web "
            L"browser and sign in to the network; the download then goes on by itself.\r\n"
            L"Next try in 1 s.");
}
