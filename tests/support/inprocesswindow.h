// For tests that build the download window inside the test process and call its operations
// directly: the program's resources loaded as data, and a message pump for the test's
// thread (the window's UI thread).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
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

// Pumps this thread's messages until WM_QUIT (true) or timeoutMs (false). The window shows
// its boxes on this thread, inside the pump: another thread reads each one's text into boxes
// and answers it with OK.
bool RunUntilQuit(HWND window, DWORD timeoutMs, std::vector<std::wstring>& boxes);

}  // namespace testsupport
