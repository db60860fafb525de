// The close bound: from WM_CLOSE to a hidden window takes at most 3 s, whatever the job is
// doing at that moment: asking the web service (its answer held back), renewing a refused
// link (the same), downloading (on a stalled connection too), reusing, merging and verifying,
// and with a message box open. The
// window is built in this process, so that a hundred closes cost one program start; each
// round starts the job, closes at a random moment from another thread and measures until
// the window is out of sight, then lets the close sequence end (log upload included). A
// run left alone afterwards must complete from the parts the closed runs kept.
//
// tools/test runs 100 closes. VELMOT_CLOSES=N (tools/close-campaign) scales every test to its
// share of N closes and follows every close with a run left alone that must complete from
// what that close kept (then the next round starts afresh); VELMOT_CLOSE_SEED=S changes the
// random moments. Each test prints its closes, misses of the
// bound, completed runs and the distribution of close times; the process prints the totals.
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/inprocesswindow.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

using testsupport::GuiRelease;

namespace {

const DWORD kBoundMs = 3000;    // WM_CLOSE to a hidden window
const DWORD kQuitMs = 40000;    // the whole close sequence, a 20 s log upload budget included
const DWORD kHiddenMs = 10000;  // how long a round looks for the window to go

// The closes tools/test makes in all tests together; each test's share is out of these.
const int kDefaultCloses = 100;

// A campaign asked for more (or fewer) closes than tools/test makes.
bool Campaign() { return getenv("VELMOT_CLOSES") != nullptr; }

// A test's share of the closes: `share` out of every 100.
int Closes(int share) {
  const unsigned long total = testsupport::EnvNumber("VELMOT_CLOSES", kDefaultCloses);
  return std::max(1, static_cast<int>((total * share + kDefaultCloses / 2) / kDefaultCloses));
}

unsigned long Seed() { return testsupport::EnvNumber("VELMOT_CLOSE_SEED", 20261208u); }

// The figures of one test, or of all of them.
struct Tally {
  int closes = 0;
  int misses = 0;
  int runs = 0;       // runs left alone to complete
  int completed = 0;  // ... that delivered the installer's bytes
  ULONGLONG ms = 0;   // the test's duration
  std::vector<DWORD> hidden;
};

Tally& Total() {
  static Tally total;
  return total;
}

DWORD Percentile(const std::vector<DWORD>& sorted, int percent) {
  // The nearest rank: the smallest time that percent of the closes do not exceed.
  const size_t rank = (sorted.size() * percent + 99) / 100;
  return sorted[rank ? rank - 1 : 0];
}

void PrintTally(const char* name, Tally tally) {
  std::vector<DWORD>& ms = tally.hidden;
  std::sort(ms.begin(), ms.end());
  std::printf("closes %-16s %4d closes, %d over %lu ms, %d/%d runs completed, %.0f s", name,
              tally.closes, tally.misses, static_cast<unsigned long>(kBoundMs), tally.completed,
              tally.runs, static_cast<double>(tally.ms) / 1000.0);
  if (!ms.empty())
    std::printf(
        ", ms min %lu median %lu p90 %lu p99 %lu max %lu", static_cast<unsigned long>(ms.front()),
        static_cast<unsigned long>(Percentile(ms, 50)),
        static_cast<unsigned long>(Percentile(ms, 90)),
        static_cast<unsigned long>(Percentile(ms, 99)), static_cast<unsigned long>(ms.back()));
  std::printf("\n");
  static const DWORD kEdges[] = {50, 100, 250, 500, 750, 1000, 2000, kBoundMs};
  std::printf("closes %-16s", name);
  DWORD low = 0;
  for (DWORD edge : kEdges) {
    const auto n =
        std::count_if(ms.begin(), ms.end(), [&](DWORD t) { return t >= low && t < edge; });
    std::printf(" %lu-%lu:%ld", static_cast<unsigned long>(low), static_cast<unsigned long>(edge),
                static_cast<long>(n));
    low = edge;
  }
  std::printf(
      " >=%lu:%ld\n", static_cast<unsigned long>(low),
      static_cast<long>(std::count_if(ms.begin(), ms.end(), [&](DWORD t) { return t >= low; })));
  std::fflush(stdout);
}

// Adds a test's figures to the totals and prints them.
void Report(const char* name, const Tally& tally) {
  Tally& total = Total();
  total.closes += tally.closes;
  total.misses += tally.misses;
  total.runs += tally.runs;
  total.completed += tally.completed;
  total.ms += tally.ms;
  total.hidden.insert(total.hidden.end(), tally.hidden.begin(), tally.hidden.end());
  PrintTally(name, tally);
}

// The totals over the tests this process ran, once they have all run.
class TotalsPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Total().closes) {
      std::printf("closes seed %lu\n", Seed());
      PrintTally("all", Total());
    }
  }
};
[[maybe_unused]] ::testing::Environment* const totals =
    ::testing::AddGlobalTestEnvironment(new TotalsPrinter);

// What the job was doing when the close came.
std::string Phase(DownloadDialog& dialog) {
  if (testsupport::OwnedMessageBox(dialog.Window())) return "message box";
  const ProgressCounters progress = dialog.manager.Progress();
  if (progress.verifying) return "verifying";
  if (progress.copying) return "merging";
  if (dialog.manager.IsRunning()) return "downloading";
  return "request";
}

struct Round {
  bool closed = false;  // false: the window was already closing when the close was due
  std::string phase;
  DWORD hiddenMs = 0;
  DWORD roundMs = 0;  // construction to destruction
  bool quit = false;
};

// One run of the window: Show, then from another thread either wait delayMs or until a
// message box is open (and then until moment returns, when given), post WM_CLOSE and time
// the way to a hidden window.
Round CloseOnce(HMODULE resources, const GuiRelease& release, DWORD delayMs, bool waitForBox,
                const std::function<void(DownloadDialog&)>& moment = nullptr) {
  Round round;
  const ULONGLONG started = GetTickCount64();
  {
    DownloadDialog dialog(resources, release.DownloadFolder() + L"\\" + release.ExeName());
    HWND window = dialog.Window();
    dialog.Show();
    std::atomic<bool> over{false};
    std::thread closer([&] {
      if (waitForBox) {
        testsupport::Eventually([&] { return testsupport::OwnedMessageBox(window) != nullptr; },
                                30000);
      }
      if (moment) moment(dialog);
      const ULONGLONG until = GetTickCount64() + delayMs;
      while (GetTickCount64() < until && !over) Sleep(5);
      if (over || dialog.IsClosing()) return;
      round.phase = Phase(dialog);
      const ULONGLONG posted = GetTickCount64();
      PostMessageW(window, WM_CLOSE, 0, 0);
      round.closed = true;
      while (IsWindowVisible(window) && GetTickCount64() - posted < kHiddenMs) Sleep(5);
      round.hiddenMs = static_cast<DWORD>(GetTickCount64() - posted);
    });
    const ULONGLONG shown = GetTickCount64();
    round.quit = testsupport::Pump(kQuitMs + delayMs + (waitForBox ? 30000 : 0));
    over = true;
    closer.join();
    if (getenv("VELMOT_ROUND_TIMES"))
      std::printf("round: built %llu ms, quit %llu ms after show\n", shown - started,
                  GetTickCount64() - shown);
  }
  round.roundMs = static_cast<DWORD>(GetTickCount64() - started);
  return round;
}

// Runs rounds until `closes` closes happened (a round whose job ended first does not count),
// checks each against the bound, adds them to tally and prints the figures. In a campaign
// each close is followed by afterClose (a completing run).
void CloseRounds(const char* name, HMODULE resources, const GuiRelease& release, int closes,
                 DWORD minDelayMs, DWORD maxDelayMs, bool waitForBox, Tally& tally,
                 const std::function<void()>& beforeRound,
                 const std::function<void()>& afterClose) {
  const unsigned long seed = Seed() + closes;
  std::mt19937 random(seed);
  std::map<std::string, std::vector<DWORD>> byPhase;
  int done = 0;
  ULONGLONG roundsMs = 0;
  for (int attempt = 0; done < closes && attempt < closes * 3; ++attempt) {
    if (beforeRound) beforeRound();
    const DWORD delay = std::uniform_int_distribution<DWORD>(minDelayMs, maxDelayMs)(random);
    const Round round = CloseOnce(resources, release, delay, waitForBox);
    roundsMs += round.roundMs;
    EXPECT_TRUE(round.quit) << name << " round " << attempt << " never ended";
    if (!round.closed) continue;
    ++done;
    EXPECT_LE(round.hiddenMs, kBoundMs) << name << " round " << attempt << " closed after " << delay
                                        << " ms (" << round.phase << "), seed " << seed;
    if (round.hiddenMs > kBoundMs) {
      ++tally.misses;
      std::printf(
          "closes MISS %s round %d (seed %lu): closed %lu ms after the start while %s, "
          "hidden after %lu ms\n",
          name, attempt, seed, static_cast<unsigned long>(delay), round.phase.c_str(),
          static_cast<unsigned long>(round.hiddenMs));
    }
    ++tally.closes;
    tally.hidden.push_back(round.hiddenMs);
    byPhase[round.phase].push_back(round.hiddenMs);
    if (Campaign() && afterClose) afterClose();
  }
  EXPECT_EQ(done, closes) << name;
  std::printf("%s: %d closes, %.1f s a round on average\n", name, done,
              done ? static_cast<double>(roundsMs) / 1000.0 / done : 0.0);
  for (auto& entry : byPhase) {
    std::vector<DWORD>& ms = entry.second;
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %zu closes while %s: hidden after median %lu ms, max %lu ms\n", name,
                ms.size(), entry.first.c_str(), static_cast<unsigned long>(ms[ms.size() / 2]),
                static_cast<unsigned long>(ms.back()));
  }
}

// Lets a run go on until its job is over. The releases here hold no setup (a setup started
// from this console process would be one more process to outlive the test), so a job that
// completes ends with the manager's box saying that setup is missing; the window is closed
// then. True when the box came and the window closed.
bool RunUntilTheJobIsOver(HMODULE resources, const GuiRelease& release) {
  DownloadDialog dialog(resources, release.DownloadFolder() + L"\\" + release.ExeName());
  HWND window = dialog.Window();
  dialog.Show();
  bool over = false;
  std::thread closer([&] {
    over = testsupport::Eventually([&] { return testsupport::OwnedMessageBox(window) != nullptr; },
                                   90000);
    PostMessageW(window, WM_CLOSE, 0, 0);
  });
  const bool quit = testsupport::Pump(120000);
  closer.join();
  return over && quit;
}

// A run left alone after the closes: counted as completed when its job ended in the box with
// the installer file holding exactly data.
void CompletingRun(HMODULE resources, const GuiRelease& release, const std::vector<uint8_t>& data,
                   Tally& tally) {
  ++tally.runs;
  const bool over = RunUntilTheJobIsOver(resources, release);
  const bool whole =
      testsupport::ReadFileBytes(release.DownloadFolder() + L"/VelmotD_7ata.bin") == data;
  EXPECT_TRUE(over) << "the job did not end";
  EXPECT_TRUE(whole) << "the installer file is not the release's";
  tally.completed += over && whole;
}

// The next round starts afresh: no installer file, no part files.
void Forget(const GuiRelease& release) {
  DeleteFileW((release.DownloadFolder() + L"/VelmotD_7ata.bin").c_str());
  testsupport::RemoveTree(release.workFolder);
}

// One kind of job closed again and again: the program's resources, the test's figures, and
// its name in the messages and the printed figures, which are added to the totals at its end.
class DownloadDialogClose : public testsupport::InProcessWindowTest {
 protected:
  void TearDown() override {
    tally.ms = GetTickCount64() - started_;
    Report(name, tally);
  }

  // Rounds closed at a random moment between minDelayMs and maxDelayMs (see CloseRounds).
  void Rounds(const GuiRelease& release, int share, DWORD minDelayMs, DWORD maxDelayMs,
              bool waitForBox, const std::function<void()>& beforeRound,
              const std::function<void()>& afterClose) {
    CloseRounds(name, resources.module, release, Closes(share), minDelayMs, maxDelayMs, waitForBox,
                tally, beforeRound, afterClose);
  }
  // Publishes data as the release's one file (the service's answer held back delayMs).
  static std::vector<uint8_t> Publish(GuiRelease& release, std::vector<uint8_t> data,
                                      int delayMs = 0) {
    release.AddFile("VelmotData.bin", data);
    release.Publish(delayMs);
    return data;
  }
  void Complete(const GuiRelease& release, const std::vector<uint8_t>& data) {
    CompletingRun(resources.module, release, data, tally);
  }

  const char* name = "";
  Tally tally;

 private:
  const ULONGLONG started_ = GetTickCount64();
};

}  // namespace

TEST_F(DownloadDialogClose, DuringTheRequestWithTheAnswerHeldBack) {
  name = "request";
  GuiRelease release(L"VelmotCloseRequest");
  // Each abandoned request keeps its connection to the service until the answer comes, and
  // WinINet opens only a few connections per server: the next rounds' log uploads wait for
  // them (the window is hidden by then; only the round takes longer). A hold of 2 s still
  // outlasts every close and keeps the rounds short.
  const std::vector<uint8_t> data = Publish(release, testsupport::RandomBytes(3000, 10), 2000);
  // In a campaign the answer still comes late after each close, but the completing run
  // waits for it.
  Rounds(release, 30, 0, 1200, false, nullptr, [&] {
    Complete(release, data);
    Forget(release);
  });
}

// The manager renews a refused link with the same download request as the window's; a close
// while the web service holds that answer back must not wait for it (three attempts of up
// to 130 s each).
TEST_F(DownloadDialogClose, DuringTheRenewalOfARefusedLinkWithTheAnswerHeldBack) {
  name = "renewal";
  GuiRelease release(L"VelmotCloseRenew");
  Publish(release, testsupport::RandomBytes(3000, 14));
  release.host.SetBehaviour("rel/0_VelmotData.bin", {{"status", 403}});
  const std::string form = "ReleaseName=" + testsupport::Narrow(release.name);
  auto requests = [&] { return testsupport::ServiceRequestsOf("RequestDownload", form).size(); };
  // The window's request is answered at once; from then on the service holds its answers
  // back for longer than a round lasts, and the close comes while the renewal waits.
  const Round round = CloseOnce(resources.module, release, 200, false, [&](DownloadDialog& dialog) {
    EXPECT_TRUE(testsupport::Eventually([&] { return dialog.manager.IsRunning(); }, 30000));
    release.Publish(25000);
    EXPECT_TRUE(testsupport::Eventually([&] { return requests() >= 2; }, 30000));
  });
  EXPECT_TRUE(round.quit);
  ASSERT_TRUE(round.closed);
  EXPECT_LE(round.hiddenMs, kBoundMs) << "closed during the renewal (" << round.phase << ")";
  tally.closes = 1;
  tally.misses = round.hiddenMs > kBoundMs;
  tally.hidden.push_back(round.hiddenMs);
}

TEST_F(DownloadDialogClose, WhileDownloadingAndStalledThenTheNextRunCompletes) {
  name = "stalled download";
  GuiRelease release(L"VelmotCloseStall");
  const std::vector<uint8_t> data = Publish(release, testsupport::RandomBytes(25000000, 11));
  // The first parts come at a pace a close can land in; the last never comes in time: its
  // connection stalls after a few bytes.
  release.host.SetBehaviour("rel/0_VelmotData.bin", {{"then", {{"rate", 20000000}}}});
  release.host.SetBehaviour("rel/1_VelmotData.bin", {{"then", {{"rate", 20000000}}}});
  const nlohmann::json stall = {{"then", {{"stallAfter", 100000}, {"stallMs", 5000}}}};
  release.host.SetBehaviour("rel/2_VelmotData.bin", stall);
  // In a campaign each close is followed by a run whose last part no longer stalls; the
  // first parts are then fetched afresh for the next round.
  auto completeThenForget = [&] {
    EXPECT_TRUE(release.PartFilesAreIntact("VelmotD_7ata.bin", 0));
    release.host.SetBehaviour("rel/2_VelmotData.bin", nlohmann::json::object());
    Complete(release, data);
    release.host.SetBehaviour("rel/2_VelmotData.bin", stall);
    Forget(release);
  };
  Rounds(release, 30, 200, 2500, false, nullptr, completeThenForget);
  EXPECT_TRUE(release.PartFilesAreIntact("VelmotD_7ata.bin", 0));

  release.host.SetBehaviour("rel/2_VelmotData.bin", nlohmann::json::object());
  Complete(release, data);
  if (!Campaign()) {
    // The first part was fetched by the early rounds and reused by all later ones.
    EXPECT_LE(release.host.Requests("rel/0_VelmotData.bin").size(), 3u);
  }
}

TEST_F(DownloadDialogClose, WhileReusingMergingAndVerifying) {
  name = "disk work";
  GuiRelease release(L"VelmotCloseDisk");
  const std::vector<uint8_t> part = testsupport::RandomBytes(10000000, 12);
  std::vector<uint8_t> data;
  for (int k = 0; k < 3; ++k) data.insert(data.end(), part.begin(), part.end());
  Publish(release, data);
  // Every round starts with all parts in the work folder and no installer file: the job
  // then only reuses, merges and verifies (and ends in its box when no close comes first).
  const std::wstring target = release.DownloadFolder() + L"/VelmotD_7ata.bin";
  auto prepare = [&] {
    DeleteFileW(target.c_str());
    CreateDirectoryW(release.workFolder.c_str(), nullptr);
    for (int k = 0; k < 3; ++k) {
      const std::wstring path = release.workFolder + L"/VelmotD_7ata.binpart" + std::to_wstring(k);
      if (!testsupport::FileExists(path)) testsupport::WriteFileBytes(path, part);
    }
  };
  Rounds(release, 25, 0, 500, false, prepare, [&] {
    prepare();
    Complete(release, data);
  });
  prepare();
  Complete(release, data);
  EXPECT_TRUE(release.host.Requests("rel/0_VelmotData.bin").empty());
}

TEST_F(DownloadDialogClose, WithAMessageBoxOpen) {
  name = "box";
  // No setup in the release: after the verification the manager says so in a box.
  GuiRelease release(L"VelmotCloseBox");
  const std::vector<uint8_t> data = Publish(release, testsupport::RandomBytes(3000, 13));
  // In a campaign each close is followed by a run that reuses the verified file and ends in
  // the box.
  Rounds(release, 15, 0, 300, true, nullptr, [&] { Complete(release, data); });
}
