#include "base/structuredexception.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>

#include "base/orx_thread.h"
#include "support/records.h"
#include "support/testenv.h"

namespace {

using testsupport::StartsWith;

const std::string kHead = "Win32 Exception occurred. Code: 0x";
const std::string kAccessViolationPrefix = kHead + "c0000005 at address 0x";

// Kept opaque so that the optimiser cannot see that the pointer is bad (a visible null
// dereference may be compiled into a trap instruction instead of a load).
volatile uintptr_t g_badAddress = 0x10;
volatile int g_zero = 0;
volatile int g_sink = 0;  // results kept, so the faulting instructions are not optimised away

__attribute__((noinline)) int ReadBadAddress() {
  return *reinterpret_cast<volatile int*>(g_badAddress);
}
__attribute__((noinline)) int DivideByZero() { return 7 / g_zero; }

struct SetsOnDestruction {
  explicit SetsOnDestruction(std::atomic<int>& counter) : counter_(counter) {}
  ~SetsOnDestruction() { ++counter_; }
  std::atomic<int>& counter_;
};

// Two frames with locals between the fault and the handler.
__attribute__((noinline)) int FaultTwoFramesDown(std::atomic<int>& destroyed) {
  SetsOnDestruction local(destroyed);
  return ReadBadAddress() + 1;
}
__attribute__((noinline)) int FaultThreeFramesDown(std::atomic<int>& destroyed) {
  SetsOnDestruction local(destroyed);
  return FaultTwoFramesDown(destroyed) + 1;
}

struct Caught {
  std::string text;
  DWORD code = 0;
  const void* address = nullptr;
  int destroyed = 0;
};

Caught CatchAccessViolation() {
  Caught caught;
  std::atomic<int> destroyed{0};
  try {
    SetsOnDestruction local(destroyed);
    g_sink = FaultThreeFramesDown(destroyed);
    caught.text = "no exception";
  } catch (const StructuredException& e) {
    caught.text = e.what();
    caught.code = e.Code();
    caught.address = e.Address();
  } catch (const std::exception& e) {
    caught.text = std::string("other std::exception: ") + e.what();
  }
  caught.destroyed = destroyed;
  return caught;
}

// What f throws, as text; "nothing thrown" when it returns.
template <typename F>
std::string TextOf(F f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "nothing thrown";
}

// The text names the faulting instruction, which lies in this test's own code.
void ExpectAccessViolationText(const Caught& caught) {
  EXPECT_TRUE(StartsWith(caught.text, kAccessViolationPrefix)) << caught.text;
  EXPECT_TRUE(
      std::regex_match(caught.text, std::regex("Win32 Exception occurred\\. Code: 0xc0000005 "
                                               "at address 0x[1-9a-f][0-9a-f]*")))
      << caught.text;
  EXPECT_EQ(caught.code, 0xC0000005u);
  char expected[64];
  std::snprintf(expected, sizeof(expected), "%x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(caught.address)));
  EXPECT_EQ(caught.text.substr(kAccessViolationPrefix.size()), expected);
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCWSTR>(caught.address), &module);
  EXPECT_EQ(module, GetModuleHandleW(nullptr)) << "the address is not the faulting instruction";
  EXPECT_EQ(caught.destroyed, 3) << "destructors of the unwound frames did not run";
}

std::string TranslatedText(unsigned code, uintptr_t address) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionAddress = reinterpret_cast<void*>(address);
  EXCEPTION_POINTERS pointers{&record, nullptr};
  return TextOf([&] { TranslateStructuredException(code, &pointers); });
}

TEST(StructuredException, TextShowsCodeAndLowAddressBitsInLowerCaseHex) {
  EXPECT_EQ(TranslatedText(0xC0000094u, 0x1234567890ABCDEFull),
            kHead + "c0000094 at address 0x90abcdef");
  EXPECT_EQ(TranslatedText(0xC0000005u, 0xA0), kHead + "c0000005 at address 0xa0");
  EXPECT_EQ(TranslatedText(0x1u, 0), kHead + "1 at address 0x0");
}

TEST(StructuredException, AccessViolationOnTheMainThreadIsCaughtAsAStandardException) {
  InstallStructuredExceptionTranslator();
  ExpectAccessViolationText(CatchAccessViolation());
}

TEST(StructuredException, EveryFaultIsTranslatedAgainAndOtherCodesKeepTheirCode) {
  InstallStructuredExceptionTranslator();
  InstallStructuredExceptionTranslator();  // a second install changes nothing
  for (int i = 0; i < 200; ++i) {
    Caught caught = CatchAccessViolation();
    ASSERT_EQ(caught.code, 0xC0000005u) << i << ": " << caught.text;
  }
  std::string text = TextOf([] { g_sink = DivideByZero(); });
  EXPECT_TRUE(StartsWith(text, kHead + "c0000094 at address 0x")) << text;
  // Ordinary C++ exceptions still pass untouched.
  EXPECT_EQ(TextOf([] { throw std::runtime_error("plain"); }), "plain");
}

TEST(StructuredException, FaultsThatTheSystemHandlesItselfStayWithTheSystem) {
  InstallStructuredExceptionTranslator();
  // lstrlenA catches its own access violation and returns 0.
  EXPECT_EQ(TextOf([] { g_sink = lstrlenA(reinterpret_cast<const char*>(g_badAddress)); }),
            "nothing thrown");
  EXPECT_EQ(g_sink, 0);
}

TEST(StructuredException, ARaisedSoftwareExceptionIsTranslatedWithItsCode) {
  InstallStructuredExceptionTranslator();
  const std::string text = TextOf([] { RaiseException(0xE0001234u, 0, 0, nullptr); });
  EXPECT_TRUE(StartsWith(text, kHead + "e0001234 at address 0x")) << text;
}

class FaultingWorker : public Orx_Thread {
 public:
  // The base installs the translator unless told not to; the worker asks for the same.
  explicit FaultingWorker(bool translate)
      : Orx_Thread(L"FaultingWorker", translate), translate_(translate) {}
  ~FaultingWorker() override { Stop(INFINITE); }
  void Run() override {
    if (translate_) InstallStructuredExceptionTranslator();
    caught = CatchAccessViolation();
  }
  Caught caught;

 private:
  bool translate_;
};

// A fault that is never handled (raised again and again) ends the test within a bound too.
TEST(StructuredException, AccessViolationOnAWorkerThreadIsCaughtThere) {
  testsupport::BoundedWorker<FaultingWorker> worker(std::make_unique<FaultingWorker>(true));
  worker->Start();
  ASSERT_TRUE(worker->WaitForEnd(20000));
  ExpectAccessViolationText(worker->caught);
}

// Run only in a child process by the test below: the main thread asks for translation, a
// worker does not, so the worker's fault must end the process as it would without us.
TEST(StructuredExceptionChild, DISABLED_FaultOnAThreadWithoutTheTranslator) {
  InstallStructuredExceptionTranslator();
  FaultingWorker worker(false);
  worker.Start();
  worker.WaitForEnd(20000);
  // Reached only if the fault was translated (or never happened).
  ExitProcess(worker.caught.code == 0xC0000005u ? 42 : 43);
}

TEST(StructuredException, AThreadThatDidNotInstallItIsNotTranslated) {
  wchar_t exe[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  std::wstring command =
      std::wstring(L"\"") + exe +
      L"\" --gtest_also_run_disabled_tests"
      L" --gtest_filter=StructuredExceptionChild.DISABLED_FaultOnAThreadWithoutTheTranslator";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;  // the child's report would only clutter ours
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  const DWORD wait = WaitForSingleObject(process.hProcess, 60000);
  DWORD exitCode = 0;
  if (wait != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  ASSERT_EQ(wait, static_cast<DWORD>(WAIT_OBJECT_0)) << "child hung";
  EXPECT_EQ(exitCode, 0xC0000005u) << "child exit code " << exitCode;
}

}  // namespace
