// The entry's life cycle, driven in-process: the COM security outcomes, the guarded region
// with its one record, and the end of a run whose message loop is left by an exception
// while the job and the speed meter are running.
#include "app/dlgapplication.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/inprocesswindow.h"
#include "support/testenv.h"
#include "support/testservers.h"
#include "ui/downloaddialog.h"

#include "resource.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char* const kPrefix = velmot::texts::kApplicationMalfunction;

class FakeApplication : public DlgApplication {
 public:
  FakeApplication(HINSTANCE instance, HRESULT security, std::function<void()> body)
      : DlgApplication(instance), security_(security), body_(std::move(body)) {}
  bool ranDialog = false;

 protected:
  HRESULT InitializeSecurity() override { return security_; }
  void RunDialog() override {
    ranDialog = true;
    body_();
  }

 private:
  HRESULT security_;
  std::function<void()> body_;
};

// Runs the application on a thread of its own (a UI thread, as in the program) and
// returns its exit code, or fails the test when it does not end in time.
int RunBounded(const std::function<int()>& run, int seconds) {
  std::packaged_task<int()> task(run);
  std::future<int> result = task.get_future();
  std::thread thread(std::move(task));
  if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "the application did not end within " << seconds << " s";
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  thread.join();
  return result.get();
}

std::vector<ErrorRecord> RecordsWithPrefix() {
  std::vector<ErrorRecord> found;
  for (const ErrorRecord& record : Error::GetRecords()) {
    if (record.message.rfind(kPrefix, 0) == 0) found.push_back(record);
  }
  return found;
}

}  // namespace

TEST(DlgApplication, SecurityFailureEndsWithMinusOneAndKeepsCom) {
  Error::Clear();
  int code = 0;
  bool ranDialog = true;
  bool comStillInitialised = false;
  std::thread([&] {
    FakeApplication app(nullptr, E_ACCESSDENIED, [] {});
    code = app.Run();
    ranDialog = app.ranDialog;
    // The failed start leaves COM initialised on its thread: a second init says so.
    comStillInitialised = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_FALSE;
    CoUninitialize();
    CoUninitialize();
  }).join();
  EXPECT_EQ(code, -1);
  EXPECT_FALSE(ranDialog);
  EXPECT_TRUE(comStillInitialised);
  EXPECT_TRUE(Error::GetRecords().empty());
}

TEST(DlgApplication, SecurityAlreadySetGoesOn) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const int code = RunBounded(
      [&] {
        FakeApplication app(instance, RPC_E_TOO_LATE, [] {});
        const int c = app.Run();
        EXPECT_TRUE(app.ranDialog);
        return c;
      },
      30);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(DlgApplication::Instance(), instance);
}

TEST(DlgApplication, ExceptionIsRecordedOnceAndTheExitCodeIsZero) {
  Error::Clear();
  const int code = RunBounded(
      [] {
        FakeApplication app(nullptr, S_OK, [] { throw std::runtime_error("boom"); });
        return app.Run();
      },
      30);
  EXPECT_EQ(code, 0);
  std::vector<ErrorRecord> records = RecordsWithPrefix();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, std::string(kPrefix) + "boom");
  EXPECT_EQ(records[0].file, "dlgapplication");
  EXPECT_EQ(records[0].line, 76);
  EXPECT_EQ(records[0].errorNumber, 0);
  EXPECT_FALSE(Error::HasErrors());
}

TEST(DlgApplication, AccessViolationOnTheUiThreadIsRecorded) {
  Error::Clear();
  const int code = RunBounded(
      [] {
        FakeApplication app(nullptr, S_OK, [] {
          // The address comes through a volatile so that the compiler cannot see the fault.
          static volatile uintptr_t address = 0x10;
          *reinterpret_cast<volatile int*>(address) = 1;
        });
        return app.Run();
      },
      30);
  EXPECT_EQ(code, 0);
  std::vector<ErrorRecord> records = RecordsWithPrefix();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(
      records[0].message.rfind(
          std::string(kPrefix) + "Win32 Exception occurred. Code: 0xc0000005 at address 0x", 0),
      0u)
      << records[0].message;
}

TEST(DlgApplication, WindowWithoutReleaseNameIsRecordedAndNeverShown) {
  Error::Clear();
  testsupport::TempFolder folder(L"app");
  const testsupport::ProgramResources program;
  ASSERT_NE(program.module, nullptr);
  HMODULE resources = program.module;
  const std::wstring path = L"C:\\nowhere\\VelmotPro.exe";
  const int code = RunBounded(
      [&] {
        FakeApplication app(resources, S_OK, [&] {
          DownloadDialog dialog(resources, path);
          ADD_FAILURE() << "the window was built";
        });
        return app.Run();
      },
      30);
  EXPECT_EQ(code, 0);
  std::vector<ErrorRecord> records = RecordsWithPrefix();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].message.find("\"_\""), std::string::npos) << records[0].message;
}

TEST(DlgApplication, LeavingTheLoopWhileDownloadingEndsPromptly) {
  // A release that downloads slowly, so that the meter and a worker are busy when an
  // exception leaves the message loop and the window is destroyed.
  testsupport::DownloadJob job;
  const std::wstring release = L"VelmotApp" + std::to_wstring(GetCurrentProcessId());
  const std::string name(release.begin(), release.end());
  job.AddFile("Setup.exe", testsupport::RandomBytes(3000000, 9));
  job.host.SetBehaviour(testsupport::DownloadJob::PartObject(0, "Setup.exe"),
                        {{"then", {{"rate", 200000}}}});
  job.host.PutObject("rel/" + name + ".txt", job.Document());
  std::string ns(job.host.Name().begin(), job.host.Name().end());
  std::wstring hostW = job.host.Host();
  testsupport::ServiceRelease entry(name, {{"product_code", "7"},
                                           {"download_subdir", ns + "/rel"},
                                           {"host_name", std::string(hostW.begin(), hostW.end())},
                                           {"SAS", ""}});
  const testsupport::ProgramResources program;
  ASSERT_NE(program.module, nullptr);
  HMODULE resources = program.module;
  std::wstring folder = job.downloadFolder;
  for (auto& c : folder)
    if (c == L'/') c = L'\\';
  const std::wstring modulePath = folder + L"\\" + release + L"_b1.exe";

  Error::Clear();
  std::wstring values;
  ULONGLONG destroyMs = 0;
  const int code = RunBounded(
      [&] {
        FakeApplication app(resources, S_OK, [&] {
          DownloadDialog dialog(resources, modulePath);
          dialog.Show();
          testsupport::Pump(3500);  // nothing closes the window meanwhile
          wchar_t text[512] = {};
          GetDlgItemTextW(dialog.Window(), IDC_VALUES, text, 512);
          values = text;
          destroyMs = GetTickCount64();
          throw std::runtime_error("left the loop");
        });
        const int c = app.Run();
        destroyMs = GetTickCount64() - destroyMs;
        return c;
      },
      60);
  EXPECT_EQ(code, 0);
  EXPECT_NE(values.find(L"2929 kB"), std::wstring::npos) << "the download was not under way";
  EXPECT_LT(destroyMs, 15000u);
  ASSERT_EQ(RecordsWithPrefix().size(), 1u);
  EXPECT_EQ(RecordsWithPrefix()[0].message, std::string(kPrefix) + "left the loop");
  // The work folder of the release lies in local application data.
  const std::wstring work = testsupport::WorkFolderOf(release);
  testsupport::RemoveTree(work);
}
