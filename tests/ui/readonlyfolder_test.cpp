// A program started where nothing may be written (a DVD, a mounted ISO, a read-only share,
// a protected folder), and a work folder that takes no files: the download request stops
// before anything is asked or fetched, and the user reads what to do.
#include "base/systemtexts.h"
#include "diagnostics/computerid.h"
#include "diagnostics/error.h"
#include "download/service/descriptorrequest.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/readonlyfolder.h"
#include "support/records.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include "resource.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using testsupport::Backslashed;
using testsupport::Narrow;

namespace {

size_t RequestsNaming(const std::wstring& release) {
  return testsupport::ServiceRequestsOf("", Narrow(release)).size();
}

// Somewhere in a JSON report: a record with this message and code.
bool HoldsRecord(const nlohmann::json& value, const std::string& message, int code) {
  if (value.is_object() && value.value("message", "") == message &&
      value.value("error_number", 0) == code)
    return true;
  if (value.is_structured())
    for (const auto& item : value)
      if (HoldsRecord(item, message, code)) return true;
  return false;
}

}  // namespace

TEST(ReadOnlyFolder, EitherFolderThatTakesNoFilesStopsTheRequestBeforeAnythingIsAsked) {
  struct Case {
    bool lockProgramFolder;
    const wchar_t* head;
    const wchar_t* tail;
    const char* record;
  } cases[] = {
      {true, velmot::texts::kProgramFolderLockedHead, velmot::texts::kProgramFolderLockedTail,
       velmot::texts::kProgramFolderLockedRecord},
      {false, velmot::texts::kWorkFolderLockedHead, velmot::texts::kWorkFolderLockedTail,
       velmot::texts::kWorkFolderLockedRecord},
  };
  for (const Case& c : cases) {
    Error::Clear();
    testsupport::TempFolder program(L"rop");
    testsupport::TempFolder appData(L"roa");
    const std::wstring release = L"Velmot Locked " + std::to_wstring(GetCurrentProcessId()) + L" " +
                                 std::to_wstring(c.lockProgramFolder);
    const std::wstring work = appData.File(release);
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    const std::wstring locked = c.lockProgramFolder ? program.Path() : work;
    testsupport::ReadOnlyFolder mount(locked);
    ASSERT_TRUE(mount.Active()) << mount.Diagnosis();

    DescriptorRequest request(L"ro-test", release, work, Backslashed(program.Path()), nullptr,
                              WM_APP);
    request.Start();
    ASSERT_TRUE(testsupport::Eventually([&] { return request.TakeResult().done; }, 20000));
    const DescriptorRequest::Result result = request.TakeResult();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorText, c.head + Backslashed(locked) + c.tail) << Narrow(result.errorText);
    EXPECT_TRUE(
        testsupport::HasRecord(c.record + Narrow(Backslashed(locked)), ERROR_ACCESS_DENIED));
    EXPECT_EQ(RequestsNaming(release), 0u);
    EXPECT_TRUE(testsupport::NamesIn(program.Path()).empty());
    EXPECT_TRUE(testsupport::NamesIn(work).empty());
  }
}

TEST(ReadOnlyFolder, ProgramInAFolderThatTakesNoFilesSaysSoAndFetchesNothing) {
  testsupport::GuiRelease release(L"VelmotLocked");
  release.AddFile("Setup.exe", testsupport::FakeSetupBytes());
  release.Publish();
  testsupport::DmProcess program(release.DownloadFolder(), release.ExeName());
  {
    testsupport::ReadOnlyFolder mount(release.DownloadFolder());
    ASSERT_TRUE(mount.Active()) << mount.Diagnosis();
    ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
    const std::wstring expected =
        std::wstring(velmot::texts::kRequestFailed) + velmot::texts::kProgramFolderLockedHead +
        Backslashed(release.DownloadFolder()) + velmot::texts::kProgramFolderLockedTail;
    const std::wstring info =
        program.WaitForText(IDC_INFO, 20000, [&](const std::wstring& t) { return t == expected; });
    EXPECT_EQ(info, expected) << Narrow(info);
    program.PostClose();
    EXPECT_EQ(program.WaitForExit(30000), 0u);
  }
  // Nothing asked, nothing fetched, no support page; only the program and an empty work
  // folder (the log's file is gone once uploaded) remain.
  EXPECT_EQ(RequestsNaming(release.name), 0u);
  EXPECT_TRUE(release.host.Requests().empty());
  EXPECT_TRUE(testsupport::BrowserLog(release.DownloadFolder()).empty());
  EXPECT_EQ(testsupport::NamesIn(release.DownloadFolder()),
            std::vector<std::wstring>{release.ExeName()});
  EXPECT_TRUE(testsupport::NamesIn(release.workFolder).empty());
  // The uploaded log names the folder with the system's code.
  std::wstring id;
  ASSERT_TRUE(ComputerId().ComputeWide(id));
  const std::string record = velmot::texts::kProgramFolderLockedRecord +
                             testsupport::ToUtf8(Backslashed(release.DownloadFolder()));
  bool uploaded = false;
  for (const std::string& upload : testsupport::ServiceUploads(testsupport::ToUtf8(id)))
    uploaded |= HoldsRecord(nlohmann::json::parse(upload, nullptr, false), record, 5);
  EXPECT_TRUE(uploaded);
}
