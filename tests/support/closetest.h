// The fixture of the download window's close tests: each test closes one kind of job again
// and again in a window built in the test process (a hundred closes cost one program start),
// posting WM_CLOSE at a random moment from another thread, timing the way to a hidden window
// and letting the close sequence end (log upload included). Each test prints its figures
// (closes, misses of the bound, completed runs, close times); the process prints the totals.
// VELMOT_CLOSES=N (tools/close-campaign) scales each test to its share of N closes (100 by
// default) and follows every close with a run left alone that must complete from what the
// close kept; VELMOT_CLOSE_SEED=S changes the random moments.
#pragma once

#include "support/guirelease.h"
#include "support/inprocesswindow.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class DownloadDialog;

namespace testsupport {

// The figures of one close test, or of all of them.
struct CloseTally {
  std::vector<DWORD> hidden;  // each close's time to a hidden window
  int runs = 0;               // runs left alone to complete
  int completed = 0;          // ... that delivered the installer's bytes
  ULONGLONG ms = 0;           // the test's duration
};

class CloseTest : public InProcessWindowTest {
 protected:
  struct Round {
    bool box = false;     // the message box came within the time waited for it
    bool closed = false;  // false: the window was already closing when the close was due
    std::string phase;    // what the job was doing then
    DWORD hiddenMs = 0;
    DWORD roundMs = 0;  // construction to destruction
    bool quit = false;
  };

  void TearDown() override;
  // Names the test in messages and figures, and publishes its release with data as its one
  // file (the service's answer held back delayMs).
  std::vector<uint8_t> Begin(const char* name, const wchar_t* stem, std::vector<uint8_t> data,
                             int delayMs = 0);
  // One run of the window: Show, then from another thread wait up to boxWaitMs for a message
  // box, until moment returns (when given) and delayMs, post WM_CLOSE and time the way to a
  // hidden window.
  Round CloseOnce(DWORD delayMs, DWORD boxWaitMs,
                  const std::function<void(DownloadDialog&)>& moment = nullptr);
  // Checks a close against the bound (3 s to a hidden window) and counts it; false for a miss.
  bool Count(const Round& round, const std::string& context);
  // Rounds closed at random moments between minDelayMs and maxDelayMs (after the box, with
  // waitForBox) until the test's share (out of 100) of the closes happened; a round whose job
  // ended first does not count. In a campaign afterClose follows each close.
  void Rounds(int share, DWORD minDelayMs, DWORD maxDelayMs, bool waitForBox,
              const std::function<void()>& beforeRound, const std::function<void()>& afterClose);
  // A run left alone: it must end in the manager's box (the releases hold no setup: one
  // started from the test process would outlive it) with the installer file holding data.
  void Complete(const std::vector<uint8_t>& data);
  // The next round starts afresh: no installer file, no part files.
  void Forget();
  static bool Campaign();

  std::unique_ptr<GuiRelease> release;

 private:
  const char* name_ = "";
  CloseTally tally_;
  const ULONGLONG started_ = GetTickCount64();
};

}  // namespace testsupport
