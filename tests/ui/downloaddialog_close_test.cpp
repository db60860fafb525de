// The close bound: from WM_CLOSE to a hidden window takes at most 3 s, whatever the job is
// doing at that moment: asking the web service (its answer held back), renewing a refused
// link (the same), downloading (on a stalled connection too), reusing, merging and verifying,
// and with a message box open. A run left alone afterwards must complete from the parts the
// closed runs kept. tools/test runs 100 closes; support/closetest.h says how a campaign
// scales them.
#include "support/closetest.h"
#include "support/downloadjob.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::RandomBytes;

namespace {

class DownloadDialogClose : public testsupport::CloseTest {};

}  // namespace

TEST_F(DownloadDialogClose, DuringTheRequestWithTheAnswerHeldBack) {
  // Each abandoned request keeps its connection to the service until the answer comes, and
  // WinINet opens only a few connections per server: the next rounds' log uploads wait for
  // them (the window is hidden by then; only the round takes longer). A hold of 2 s still
  // outlasts every close and keeps the rounds short. In a campaign the completing run waits
  // for the late answer.
  const auto data = Begin("request", L"VelmotCloseRequest", RandomBytes(3000, 10), 2000);
  Rounds(30, 0, 1200, false, nullptr, [&] {
    Complete(data);
    Forget();
  });
}

// The manager renews a refused link with the same download request as the window's; a close
// while the web service holds that answer back must not wait for it (three attempts of up
// to 130 s each).
TEST_F(DownloadDialogClose, DuringTheRenewalOfARefusedLinkWithTheAnswerHeldBack) {
  Begin("renewal", L"VelmotCloseRenew", RandomBytes(3000, 14));
  release->host.SetBehaviour("rel/0_VelmotData.bin", {{"status", 403}});
  // The window's request is answered at once; from then on the service holds its answers
  // back for longer than a round lasts, and the close comes while the renewal waits.
  const Round round = CloseOnce(200, 0, [&](DownloadDialog& dialog) {
    EXPECT_TRUE(testsupport::Eventually([&] { return dialog.manager.IsRunning(); }, 30000));
    release->Publish(25000);
    EXPECT_TRUE(testsupport::Eventually([&] { return release->DownloadRequests() >= 2; }, 30000));
  });
  EXPECT_TRUE(round.quit);
  ASSERT_TRUE(round.closed);
  Count(round, "closed during the renewal");
}

TEST_F(DownloadDialogClose, WhileDownloadingAndStalledThenTheNextRunCompletes) {
  const auto data = Begin("stalled download", L"VelmotCloseStall", RandomBytes(25000000, 11));
  // The first parts come at a pace a close can land in; the last never comes in time: its
  // connection stalls after a few bytes.
  release->host.SetBehaviour("rel/0_VelmotData.bin", {{"then", {{"rate", 20000000}}}});
  release->host.SetBehaviour("rel/1_VelmotData.bin", {{"then", {{"rate", 20000000}}}});
  const nlohmann::json stall = {{"then", {{"stallAfter", 100000}, {"stallMs", 5000}}}};
  release->host.SetBehaviour("rel/2_VelmotData.bin", stall);
  // In a campaign each close is followed by a run whose last part no longer stalls; the
  // first parts are then fetched afresh for the next round.
  Rounds(30, 200, 2500, false, nullptr, [&] {
    EXPECT_TRUE(release->PartFilesAreIntact("VelmotData.bin"));
    release->host.SetBehaviour("rel/2_VelmotData.bin", nlohmann::json::object());
    Complete(data);
    release->host.SetBehaviour("rel/2_VelmotData.bin", stall);
    Forget();
  });
  EXPECT_TRUE(release->PartFilesAreIntact("VelmotData.bin"));
  release->host.SetBehaviour("rel/2_VelmotData.bin", nlohmann::json::object());
  Complete(data);
  // The first part was fetched by the early rounds and reused by all later ones.
  if (!Campaign()) {
    EXPECT_LE(release->host.Requests("rel/0_VelmotData.bin").size(), 3u);
  }
}

TEST_F(DownloadDialogClose, WhileReusingMergingAndVerifying) {
  const std::vector<uint8_t> part = RandomBytes(10000000, 12);
  std::vector<uint8_t> data;
  for (int k = 0; k < 3; ++k) data.insert(data.end(), part.begin(), part.end());
  Begin("disk work", L"VelmotCloseDisk", data);
  // Every round starts with all parts in the work folder and no installer file: the job
  // then only reuses, merges and verifies (and ends in its box when no close comes first).
  auto prepare = [&] {
    DeleteFileW(release->LocalPath("VelmotData.bin").c_str());
    CreateDirectoryW(release->workFolder.c_str(), nullptr);
    for (int k = 0; k < 3; ++k)
      if (!testsupport::FileExists(release->PartPath("VelmotData.bin", k)))
        testsupport::WriteFileBytes(release->PartPath("VelmotData.bin", k), part);
  };
  Rounds(25, 0, 500, false, prepare, [&] {
    prepare();
    Complete(data);
  });
  prepare();
  Complete(data);
  EXPECT_TRUE(release->host.Requests("rel/0_VelmotData.bin").empty());
}

TEST_F(DownloadDialogClose, WithAMessageBoxOpen) {
  // No setup in the release: after the verification the manager says so in a box. In a
  // campaign each close is followed by a run that reuses the verified file and ends there.
  const auto data = Begin("box", L"VelmotCloseBox", RandomBytes(3000, 13));
  Rounds(15, 0, 300, true, nullptr, [&] { Complete(data); });
}
