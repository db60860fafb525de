// For tests that build the download window inside the test process and call its operations
// directly: the program's resources loaded as data, and a message pump for the test's
// thread (the window's UI thread).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// velmot-dm.exe loaded as a data file, for its dialog template and bitmaps.
struct ProgramResources {
  ProgramResources();
  ~ProgramResources();
  ProgramResources(const ProgramResources&) = delete;
  ProgramResources& operator=(const ProgramResources&) = delete;
  HMODULE module;
};

// The fixture of tests that build the window in the test process: the program's resources,
// without which the test fails at once.
class InProcessWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(resources.module, nullptr) << "velmot-dm.exe not loaded"; }
  ProgramResources resources;
};

// Dispatches messages for ms, or until WM_QUIT (then true).
bool Pump(DWORD ms);

// A control's text, read on the calling thread (the window's own thread in these tests).
std::wstring ControlText(HWND window, int id);

// A message box owned by window (open on any thread), or null.
HWND OwnedMessageBox(HWND window);

// Answers the message boxes window owns with OK as they come, from a thread of its own,
// noting their texts and whether the window was disabled meanwhile, until stopped.
class BoxReader {
 public:
  explicit BoxReader(HWND window) : window_(window), thread_([this] { Read(); }) {}
  ~BoxReader() { Stop(); }
  BoxReader(const BoxReader&) = delete;
  BoxReader& operator=(const BoxReader&) = delete;
  void Stop();
  std::vector<std::wstring> Texts();
  bool OwnerWasDisabled() const { return disabled_; }
  // While set, boxes are left open.
  std::atomic<bool> hold{false};

 private:
  void Read();
  HWND window_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> disabled_{false};
  std::mutex lock_;
  std::vector<std::wstring> texts_;
  std::thread thread_;
};

// Pumps this thread's messages until WM_QUIT (true) or timeoutMs (false). The window shows
// its boxes on this thread, inside the pump: a BoxReader adds each one's text to boxes and
// answers it with OK.
bool RunUntilQuit(HWND window, DWORD timeoutMs, std::vector<std::wstring>& boxes);

}  // namespace testsupport
