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

StatisticsInput Copying(StatisticsInput in, uint32_t percent) {
  in.copying = true;
  in.copyPercent = percent;
  return in;
}

StatisticsInput Verifying(StatisticsInput in, uint64_t verified) {
  in.verifying = true;
  in.verifiedBytes = verified;
  return in;
}

StatisticsInput WaitingForNetwork(StatisticsInput in, uint64_t seconds, bool signInPage) {
  in.networkRetrySeconds = seconds;
  in.signInPage = signInPage;
  return in;
}

const Visibility kKeep = Visibility::kKeep;
const Visibility kShow = Visibility::kShow;
const Visibility kHide = Visibility::kHide;

}  // namespace

// One update in each phase: every text, the progress and what is shown or hidden.
TEST(StatisticsText, EachPhaseComposesItsTextsProgressAndVisibility) {
  const struct Case {
    const char* what;
    StatisticsInput in;
    StatisticsPhase phase;
    const wchar_t* labels;
    const wchar_t* values;
    int32_t progress;
    Visibility labelsShown, valuesShown, pauseShown;
  } cases[] = {
      {"halfway at 2 MB/s", Downloading(1048576000, 524288000, 0, 2048),
       StatisticsPhase::kDownloading,
       L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n",
       L"1024000 kB\r\n512000 kB\r\n2048 kB/s\r\n50 %\r\n0 h : 4 m : 10 s", 50, kKeep, kShow,
       kShow},
      {"everything in is processing", Downloading(25000000, 25000000, 0, 300),
       StatisticsPhase::kProcessing, L"Processing downloaded files, please wait...\r\n", L"", 100,
       kShow, kHide, kHide},
      {"copying shows the merge progress", Copying(Downloading(30000000, 30000000, 0, 100), 33),
       StatisticsPhase::kCopying, L"Copying downloaded files, please wait...\r\n33% completed", L"",
       33, kKeep, kHide, kHide},
      {"verifying wins over copying",
       Verifying(Copying(Downloading(20000000, 20000000, 0, 100), 10), 15000000),
       StatisticsPhase::kVerifying, L"Verifying setup files 75% completed", L"", 75, kShow, kHide,
       kHide},
      // What is done stays shown while the job waits for the network.
      {"waiting for the network", WaitingForNetwork(Downloading(100000, 50000, 0, 0), 16, false),
       StatisticsPhase::kWaitingForNetwork,
       L"The network is unavailable. The download goes on by itself when it is back.\r\n"
       L"Next try in 16 s.",
       L"", 50, kShow, kHide, kKeep},
      {"waiting for the network's sign-in page",
       WaitingForNetwork(Downloading(100000, 50000, 0, 0), 1, true),
       StatisticsPhase::kWaitingForNetwork,
       L"The network answered with a sign-in page instead of the download. Open your web "
       L"browser and sign in to the network; the download then goes on by itself.\r\n"
       L"Next try in 1 s.",
       L"", 50, kShow, kHide, kKeep},
  };
  for (const Case& c : cases) {
    const StatisticsView view = StatisticsText::Compose(c.in);
    EXPECT_EQ(view.phase, c.phase) << c.what;
    EXPECT_EQ(view.labels, c.labels) << c.what;
    EXPECT_EQ(view.values, c.values) << c.what;
    EXPECT_EQ(view.progress, c.progress) << c.what;
    EXPECT_EQ(view.labelsVisibility, c.labelsShown) << c.what;
    EXPECT_EQ(view.valuesVisibility, c.valuesShown) << c.what;
    EXPECT_EQ(view.pauseVisibility, c.pauseShown) << c.what;
  }
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

TEST(StatisticsText, PartsCountedAtFullSizeStayAtHundredPercent) {
  // Three reused parts of a 25,000,000-byte file count 30,000,000 bytes.
  EXPECT_EQ(StatisticsText::DownloadPercent(25000000, 30000000, 0), 100);
  EXPECT_EQ(StatisticsText::Compose(Downloading(25000000, 30000000, 0, 1)).phase,
            StatisticsPhase::kProcessing);
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
