// For tests that build the download window inside the test process and call its operations
// directly: the program's resources loaded as data, and a message pump for the test's
// thread (the window's UI thread).
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// velmot-dm.exe loaded as a data file, for its dialog template and bitmaps.
struct ProgramResources {
  ProgramResources();
  ~ProgramResources();
  ProgramResources(const ProgramResources&) = delete;
  ProgramResources& operator=(const ProgramResources&) = delete;
  HMODULE module;
};

// Dispatches messages for ms, or until WM_QUIT (then true).
bool Pump(DWORD ms);

// A control's text, read on the calling thread (the window's own thread in these tests).
std::wstring ControlText(HWND window, int id);

// A message box owned by window (open on any thread), or null.
HWND OwnedMessageBox(HWND window);

}  // namespace testsupport
