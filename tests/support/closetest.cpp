#include "support/closetest.h"

#include "support/downloadjob.h"
#include "support/testenv.h"
#include "ui/downloaddialog.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

namespace testsupport {

namespace {

const DWORD kBoundMs = 3000;     // WM_CLOSE to a hidden window
const DWORD kQuitMs = 40000;     // the whole close sequence, a 20 s log upload budget included
const DWORD kHiddenMs = 10000;   // how long a round looks for the window to go
const int kDefaultCloses = 100;  // the closes tools/test makes in all tests together

unsigned long Seed() { return EnvNumber("VELMOT_CLOSE_SEED", 20261208u); }
unsigned long U(ULONGLONG ms) { return static_cast<unsigned long>(ms); }

CloseTally& Total() {
  static CloseTally total;
  return total;
}

void PrintTally(const char* name, CloseTally tally) {
  std::vector<DWORD>& ms = tally.hidden;
  std::sort(ms.begin(), ms.end());
  auto below = [&](DWORD t) { return std::lower_bound(ms.begin(), ms.end(), t) - ms.begin(); };
  // The nearest rank: the smallest time that percent of the closes do not exceed.
  auto percentile = [&](size_t percent) {
    const size_t rank = (ms.size() * percent + 99) / 100;
    return U(ms[rank ? rank - 1 : 0]);
  };
  const long misses = static_cast<long>(ms.size()) - below(kBoundMs + 1);
  std::printf("closes %-16s %4d closes, %ld over %lu ms, %d/%d runs completed, %.0f s", name,
              static_cast<int>(ms.size()), misses, U(kBoundMs), tally.completed, tally.runs,
              static_cast<double>(tally.ms) / 1000.0);
  if (!ms.empty())
    std::printf(", ms min %lu median %lu p90 %lu p99 %lu max %lu", U(ms.front()), percentile(50),
                percentile(90), percentile(99), U(ms.back()));
  std::printf("\ncloses %-16s", name);
  DWORD low = 0;
  for (DWORD edge : {50ul, 100ul, 250ul, 500ul, 750ul, 1000ul, 2000ul, U(kBoundMs)}) {
    std::printf(" %lu-%lu:%ld", U(low), U(edge), static_cast<long>(below(edge) - below(low)));
    low = edge;
  }
  std::printf(" >=%lu:%ld\n", U(low), static_cast<long>(ms.size() - below(low)));
  std::fflush(stdout);
}

// The totals over the tests this process ran, once they have all run.
struct TotalsPrinter : ::testing::Environment {
  void TearDown() override {
    if (Total().hidden.empty()) return;
    std::printf("closes seed %lu\n", Seed());
    PrintTally("all", Total());
  }
};
[[maybe_unused]] ::testing::Environment* const totals =
    ::testing::AddGlobalTestEnvironment(new TotalsPrinter);

std::string Phase(DownloadDialog& dialog) {
  if (OwnedMessageBox(dialog.Window())) return "message box";
  const ProgressCounters progress = dialog.manager.Progress();
  if (progress.verifying) return "verifying";
  if (progress.copying) return "merging";
  if (dialog.manager.IsRunning()) return "downloading";
  return "request";
}

}  // namespace

bool CloseTest::Campaign() { return getenv("VELMOT_CLOSES") != nullptr; }

void CloseTest::TearDown() {
  tally_.ms = GetTickCount64() - started_;
  Total().runs += tally_.runs;
  Total().completed += tally_.completed;
  Total().ms += tally_.ms;
  Total().hidden.insert(Total().hidden.end(), tally_.hidden.begin(), tally_.hidden.end());
  PrintTally(name_, tally_);
}

std::vector<uint8_t> CloseTest::Begin(const char* name, const wchar_t* stem,
                                      std::vector<uint8_t> data, int delayMs) {
  name_ = name;
  release.reset(new GuiRelease(stem));
  release->AddFile("VelmotData.bin", data);
  release->Publish(delayMs);
  return data;
}

CloseTest::Round CloseTest::CloseOnce(DWORD delayMs, DWORD boxWaitMs,
                                      const std::function<void(DownloadDialog&)>& moment) {
  Round round;
  const ULONGLONG started = GetTickCount64();
  {
    DownloadDialog dialog(resources.module, release->DownloadFolder() + L"\\" + release->ExeName());
    HWND window = dialog.Window();
    dialog.Show();
    std::atomic<bool> over{false};
    std::thread closer([&] {
      round.box = Eventually([&] { return OwnedMessageBox(window) != nullptr; }, boxWaitMs);
      if (moment) moment(dialog);
      Eventually([&] { return over.load(); }, delayMs);
      if (over || dialog.IsClosing()) return;
      round.phase = Phase(dialog);
      const ULONGLONG posted = GetTickCount64();
      PostMessageW(window, WM_CLOSE, 0, 0);
      round.closed = true;
      // Polled every 5 ms, not through Eventually: this is the close time measured.
      while (IsWindowVisible(window) && GetTickCount64() - posted < kHiddenMs) Sleep(5);
      round.hiddenMs = static_cast<DWORD>(GetTickCount64() - posted);
    });
    const ULONGLONG shown = GetTickCount64();
    round.quit = Pump(kQuitMs + delayMs + boxWaitMs);
    over = true;
    closer.join();
    if (getenv("VELMOT_ROUND_TIMES"))
      std::printf("round: built %llu ms, quit %llu ms after show\n", shown - started,
                  GetTickCount64() - shown);
  }
  round.roundMs = static_cast<DWORD>(GetTickCount64() - started);
  return round;
}

bool CloseTest::Count(const Round& round, const std::string& context) {
  EXPECT_LE(round.hiddenMs, kBoundMs) << context << " (" << round.phase << ")";
  tally_.hidden.push_back(round.hiddenMs);
  return round.hiddenMs <= kBoundMs;
}

void CloseTest::Rounds(int share, DWORD minDelayMs, DWORD maxDelayMs, bool waitForBox,
                       const std::function<void()>& beforeRound,
                       const std::function<void()>& afterClose) {
  const unsigned long total = EnvNumber("VELMOT_CLOSES", kDefaultCloses);
  const int closes =
      std::max(1, static_cast<int>((total * share + kDefaultCloses / 2) / kDefaultCloses));
  const unsigned long seed = Seed() + closes;
  std::mt19937 random(seed);
  std::map<std::string, std::vector<DWORD>> byPhase;
  int done = 0;
  ULONGLONG roundsMs = 0;
  for (int attempt = 0; done < closes && attempt < closes * 3; ++attempt) {
    if (beforeRound) beforeRound();
    const DWORD delay = std::uniform_int_distribution<DWORD>(minDelayMs, maxDelayMs)(random);
    const Round round = CloseOnce(delay, waitForBox ? 30000 : 0);
    roundsMs += round.roundMs;
    EXPECT_TRUE(round.quit) << name_ << " round " << attempt << " never ended";
    if (!round.closed) continue;
    ++done;
    if (!Count(round, std::string(name_) + " round " + std::to_string(attempt) + " closed after " +
                          std::to_string(delay) + " ms, seed " + std::to_string(seed)))
      std::printf(
          "closes MISS %s round %d (seed %lu): closed %lu ms after the start while %s, "
          "hidden after %lu ms\n",
          name_, attempt, seed, U(delay), round.phase.c_str(), U(round.hiddenMs));
    byPhase[round.phase].push_back(round.hiddenMs);
    if (Campaign() && afterClose) afterClose();
  }
  EXPECT_EQ(done, closes) << name_;
  std::printf("%s: %d closes, %.1f s a round on average\n", name_, done,
              done ? static_cast<double>(roundsMs) / 1000.0 / done : 0.0);
  for (auto& entry : byPhase) {
    std::vector<DWORD>& ms = entry.second;
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %zu closes while %s: hidden after median %lu ms, max %lu ms\n", name_,
                ms.size(), entry.first.c_str(), U(ms[ms.size() / 2]), U(ms.back()));
  }
}

void CloseTest::Complete(const std::vector<uint8_t>& data) {
  ++tally_.runs;
  const Round round = CloseOnce(0, 90000);
  const bool over = round.box && round.quit;
  const bool whole = ReadFileBytes(release->LocalPath("VelmotData.bin")) == data;
  EXPECT_TRUE(over) << "the job did not end";
  EXPECT_TRUE(whole) << "the installer file is not the release's";
  tally_.completed += over && whole;
}

void CloseTest::Forget() {
  DeleteFileW(release->LocalPath("VelmotData.bin").c_str());
  RemoveTree(release->workFolder);
}

}  // namespace testsupport
