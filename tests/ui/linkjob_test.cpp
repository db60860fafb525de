// The real program through an emulated internet link (support/linkrelay.h): what a far link
// costs in connections, a line that drops every connection, and pause, resume and close
// with parts in flight.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/linkrelay.h"
#include "support/testenv.h"

#include "download/job/downloadmanager.h"
#include "resource.h"

#include <velmot/config.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

namespace {

using testsupport::Eventually;
using testsupport::LinkRelay;

const DWORD kWindowMs = 30000;
const DWORD kJobMs = 240000;  // a whole release through a slow link, with margin
const size_t kPart = DownloadManager::kPartSize;

// A release of a setup and a data file whose host is the link, and the program for it.
struct LinkedRelease {
  testsupport::GuiRelease release;
  std::unique_ptr<testsupport::DmProcess> program;
  uint64_t bytes = 0;

  LinkedRelease(const LinkRelay& link, const wchar_t* stem, size_t dataBytes, unsigned seed)
      : release(stem) {
    const std::vector<uint8_t> setup = testsupport::FakeSetupBytes();
    release.AddFile("Setup.exe", setup);
    release.AddFile("VelmotData.bin", testsupport::RandomBytes(dataBytes, seed));
    release.hostName = link.Host();
    release.Publish();
    bytes = setup.size() + dataBytes;
    program.reset(new testsupport::DmProcess(release.DownloadFolder(), release.ExeName()));
  }
  // Requests of the data file's parts that asked for the rest of a part.
  size_t RangedRequests() const {
    size_t ranged = 0;
    for (const auto& request : release.host.Requests()) {
      const std::string path = request.value("path", "");
      if (path.find("_VelmotData.bin") != std::string::npos &&
          request["headers"].contains("range")) {
        ++ranged;
      }
    }
    return ranged;
  }
};

TEST(LinkJob, AFarLinkCostsNoMoreConnectionsThanPartsInFlightAndTwo) {
  LinkRelay link(40, 500);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotFar", 19 * kPart, 61);  // twenty parts with the setup's
  ASSERT_TRUE(run.program->Start());
  EXPECT_EQ(run.program->WaitForExit(kJobMs), 0u);
  EXPECT_TRUE(run.release.SetupStarted(10000));
  EXPECT_GE(link.Accepted(), 1u);
  EXPECT_LE(link.Accepted(), velmot::kPartsInFlight + 2);
}

// 2 MB/s, each connection reset 3 s after it opened: no 10 MB part arrives on one
// connection, so the job finishes only by going on from where each cut left it.
TEST(LinkJob, ALineThatDropsEveryConnectionFinishesWithRanges) {
  LinkRelay link(0, 16, 3);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotChoppy", 12000000, 62);
  ASSERT_TRUE(run.program->Start());
  EXPECT_EQ(run.program->WaitForExit(kJobMs), 0u);
  EXPECT_TRUE(run.release.SetupStarted(10000));
  EXPECT_GT(run.RangedRequests(), 0u);
  // The CRC info document, headers and TLS included.
  EXPECT_LE(link.BytesToClients(), run.bytes * 12 / 10);
}

TEST(LinkJob, PauseHoldsEveryPartInFlightResumeGoesOnWithRangesAndCloseHidesAtOnce) {
  LinkRelay link(20, 40);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotPause", 4 * kPart, 63);
  testsupport::DmProcess& program = *run.program;
  ASSERT_TRUE(program.Start());
  ASSERT_NE(program.FindWindowByCaption(run.release.Caption(), kWindowMs), nullptr);
  ASSERT_TRUE(Eventually([&] { return link.BytesToClients() > 4000000; }, 60000));

  program.Click(IDC_PAUSE);
  Sleep(1500);  // what was already on its way
  const uint64_t paused = link.BytesToClients();
  Sleep(2000);
  EXPECT_LT(link.BytesToClients() - paused, 100000u) << "bytes kept coming while paused";

  const size_t rangedBefore = run.RangedRequests();
  program.Click(IDC_PAUSE);
  ASSERT_TRUE(Eventually([&] { return link.BytesToClients() > paused + 4000000; }, 60000));
  // Each part that had bytes goes on from them.
  EXPECT_GE(run.RangedRequests(), rangedBefore + 2);

  const ULONGLONG closing = GetTickCount64();
  program.PostClose();
  EXPECT_TRUE(Eventually([&] { return !IsWindowVisible(program.Window()); }, 10000));
  EXPECT_LE(GetTickCount64() - closing, 3000u);
  EXPECT_EQ(program.WaitForExit(40000), 0u);
}

}  // namespace
