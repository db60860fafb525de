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
#include "support/guirelease.h"
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

// Runs a FakeApplication on a thread of its own (a UI thread, as in the program) and
// returns its exit code, or fails the test when it does not end in time.
int RunBounded(HINSTANCE instance, HRESULT security, std::function<void()> body, int seconds = 30,
               bool* ranDialog = nullptr) {
  std::packaged_task<int()> task([&] {
    FakeApplication app(instance, security, body);
    const int code = app.Run();
    if (ranDialog != nullptr) *ranDialog = app.ranDialog;
    return code;
  });
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
  bool ranDialog = false;
  EXPECT_EQ(RunBounded(
                instance, RPC_E_TOO_LATE, [] {}, 30, &ranDialog),
            0);
  EXPECT_TRUE(ranDialog);
  EXPECT_EQ(DlgApplication::Instance(), instance);
}

TEST(DlgApplication, ExceptionIsRecordedOnceAndTheExitCodeIsZero) {
  Error::Clear();
  EXPECT_EQ(RunBounded(nullptr, S_OK, [] { throw std::runtime_error("boom"); }), 0);
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
  const int code = RunBounded(nullptr, S_OK, [] {
    // The address comes through a volatile so that the compiler cannot see the fault.
    static volatile uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
  });
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
  const int code = RunBounded(resources, S_OK, [&] {
    DownloadDialog dialog(resources, path);
    ADD_FAILURE() << "the window was built";
  });
  EXPECT_EQ(code, 0);
  std::vector<ErrorRecord> records = RecordsWithPrefix();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].message.find("\"_\""), std::string::npos) << records[0].message;
}

TEST(DlgApplication, LeavingTheLoopWhileDownloadingEndsPromptly) {
  // A release that downloads slowly, so that the meter and a worker are busy when an
  // exception leaves the message loop and the window is destroyed.
  testsupport::GuiRelease release(L"VelmotApp");
  release.AddFile("Setup.exe", testsupport::RandomBytes(3000000, 9));
  release.host.SetBehaviour(testsupport::DownloadJob::PartObject(0, "Setup.exe"),
                            {{"then", {{"rate", 200000}}}});
  release.Publish();
  const testsupport::ProgramResources program;
  ASSERT_NE(program.module, nullptr);
  HMODULE resources = program.module;
  Error::Clear();
  std::wstring values;
  ULONGLONG destroyMs = 0;
  const int code = RunBounded(
      resources, S_OK,
      [&] {
        DownloadDialog dialog(resources, release.ModulePath());
        dialog.Show();
        testsupport::Pump(3500);  // nothing closes the window meanwhile
        values = testsupport::ControlText(dialog.Window(), IDC_VALUES);
        destroyMs = GetTickCount64();
        throw std::runtime_error("left the loop");
      },
      60);
  destroyMs = GetTickCount64() - destroyMs;
  EXPECT_EQ(code, 0);
  EXPECT_NE(values.find(L"2929 kB"), std::wstring::npos) << "the download was not under way";
  EXPECT_LT(destroyMs, 15000u);
  ASSERT_EQ(RecordsWithPrefix().size(), 1u);
  EXPECT_EQ(RecordsWithPrefix()[0].message, std::string(kPrefix) + "left the loop");
}
