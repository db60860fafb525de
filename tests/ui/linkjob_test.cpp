// The real program through an emulated internet link (support/linkrelay.h): what a far link
// costs in connections, a line that drops every connection, pause, resume and close with
// parts in flight, and a part's attempts when the file host misbehaves.
#include "support/closetest.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/linkrelay.h"
#include "support/testenv.h"

#include "download/job/downloadmanager.h"
#include "resource.h"

#include <velmot/config.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <windows.h>

#include <string>
#include <vector>

namespace {

using testsupport::Eventually;
using testsupport::LinkRelay;

const size_t kPart = DownloadManager::kPartSize;

// A release of a setup and a data file whose host is the link, and the program for it.
struct LinkedRelease {
  LinkedRelease(const LinkRelay& link, const wchar_t* stem, size_t dataBytes, unsigned seed)
      : release(stem),
        data(release.AddSetupAndData(dataBytes, seed)),
        program(release.DownloadFolder(), release.ExeName()),
        bytes(testsupport::FakeSetupBytes().size() + dataBytes) {
    release.hostName = link.Host();
    release.Publish();
  }
  // The whole release through a slow link, with margin, and then setup.
  void RunToSetup() {
    ASSERT_TRUE(program.Start());
    EXPECT_EQ(program.WaitForExit(240000), 0u);
    EXPECT_TRUE(release.SetupStarted(10000));
  }
  // Requests of the data file's parts that asked for the rest of a part.
  size_t RangedRequests() const {
    size_t ranged = 0;
    for (const auto& request : release.host.Requests())
      ranged += request.value("path", "").find("_VelmotData.bin") != std::string::npos &&
                request["headers"].contains("range");
    return ranged;
  }

  testsupport::GuiRelease release;
  std::vector<uint8_t> data;
  testsupport::DmProcess program;
  uint64_t bytes;
};

TEST(LinkJob, AFarLinkCostsNoMoreConnectionsThanPartsInFlightAndTwo) {
  LinkRelay link(40, 500);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotFar", 19 * kPart, 61);  // twenty parts with the setup's
  ASSERT_NO_FATAL_FAILURE(run.RunToSetup());
  EXPECT_GE(link.Accepted(), 1u);
  EXPECT_LE(link.Accepted(), velmot::kPartsInFlight + 2);
}

// 2 MB/s, each connection reset 3 s after it opened: no 10 MB part arrives on one
// connection, so the job finishes only by going on from where each cut left it.
TEST(LinkJob, ALineThatDropsEveryConnectionFinishesWithRanges) {
  LinkRelay link(0, 16, 3);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotChoppy", 12000000, 62);
  ASSERT_NO_FATAL_FAILURE(run.RunToSetup());
  EXPECT_GT(run.RangedRequests(), 0u);
  // The CRC info document, headers and TLS included.
  EXPECT_LE(link.BytesToClients(), run.bytes * 12 / 10);
}

TEST(LinkJob, PauseHoldsEveryPartInFlightResumeGoesOnWithRangesAndCloseHidesAtOnce) {
  LinkRelay link(20, 40);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotPause", 4 * kPart, 63);
  testsupport::DmProcess& program = run.program;
  ASSERT_TRUE(testsupport::StartedWithWindow(program, run.release));
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

// A file host fault on one part of the data file, through a link with a round trip.
struct HostFault {
  const char* name;
  nlohmann::json attempts;  // the part's answers, in order (then normal ones)
  std::vector<std::pair<const char*, int>> answers;  // Range ("": none) and status of each
  std::string record;  // made once; a part's path follows a text that ends in ": "
};

void PrintTo(const HostFault& fault, std::ostream* out) { *out << fault.name; }

class LinkJobFault : public ::testing::TestWithParam<HostFault> {};

TEST_P(LinkJobFault, APartGoesOnAsTheHostAnswersAndTheFilesArriveWhole) {
  const HostFault& fault = GetParam();
  const std::string part = "rel/0_VelmotData.bin";
  LinkRelay link(30, 100);
  ASSERT_TRUE(link.Ready());
  LinkedRelease run(link, L"VelmotFault", 2 * kPart + 5000, 64);
  run.release.KeepWorkFolder();  // so that the finished job's log is written
  run.release.host.SetBehaviour(part, {{"attempts", fault.attempts}});
  ASSERT_NO_FATAL_FAILURE(run.RunToSetup());
  EXPECT_TRUE(testsupport::ReadFileBytes(run.release.LocalPath("VelmotData.bin")) == run.data);
  EXPECT_EQ(run.release.host.Requests("rel/1_VelmotData.bin").size(), 1u);

  std::vector<nlohmann::json> answers;
  const std::string path = testsupport::ToUtf8(run.release.host.ObjectPath(part));
  for (const nlohmann::json& a : run.release.host.Answers())
    if (a.value("path", "") == path) answers.push_back(a);
  ASSERT_EQ(answers.size(), fault.answers.size());
  for (size_t i = 0; i < answers.size(); ++i) {
    const nlohmann::json& asked = answers[i]["range"];
    const std::string range = asked.is_string() ? asked.get<std::string>() : "";
    EXPECT_EQ(range, fault.answers[i].first) << i;
    EXPECT_EQ(answers[i].value("status", 0), fault.answers[i].second) << i;
    // A resumed request names the object its bytes came from.
    EXPECT_EQ(answers[i]["ifMatch"].is_string(), !range.empty()) << i;
  }
  EXPECT_TRUE(answers.back().value("complete", false));
  std::string record = "Message: " + fault.record;
  if (record.back() == ' ')
    record += testsupport::Narrow(run.release.PartPath("VelmotData.bin", 0));
  const std::string log = testsupport::TextLogIn(run.release.DownloadFolder());
  EXPECT_EQ(testsupport::Occurrences(log, record + " Detailed Message: "), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    HostFaults, LinkJobFault,
    ::testing::Values(
        HostFault{"IgnoresRange",
                  {{{"closeAfter", 4000000}}, {{"ignoreRange", true}}},
                  {{"", 200}, {"bytes=4000000-", 200}},
                  "The file host sent the whole object instead of its bytes from 4000000 on; "
                  "fetching it from its first byte: "},
        HostFault{"ObjectChanged",
                  {{{"closeAfter", 4000000}}, {{"etag", "\"changed\""}}},
                  {{"", 200}, {"bytes=4000000-", 412}, {"", 200}},
                  "The object changed since its first bytes came; fetching it again from its "
                  "first byte: "},
        HostFault{"Busy",
                  {{{"status", 503}, {"storageError", "ServerBusy"}}},
                  {{"", 503}, {"", 200}},
                  "The file host is busy: fetching " + std::to_string(velmot::kPartsInFlight / 2) +
                      " parts at a time from now on"}),
    [](const ::testing::TestParamInfo<HostFault>& info) { return info.param.name; });

}  // namespace
