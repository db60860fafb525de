// For tests that build the program's window in their own process: the program's resources
// loaded as data, and a message pump with a bound.
#pragma once

#include "support/dmprocess.h"

#include <windows.h>

namespace testsupport {

struct ProgramResources {
  ProgramResources()
      : module(LoadLibraryExW(DmProcess::ProgramPath().c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ~ProgramResources() {
    if (module) FreeLibrary(module);
  }
  ProgramResources(const ProgramResources&) = delete;
  ProgramResources& operator=(const ProgramResources&) = delete;
  HMODULE module;
};

// Dispatches messages for ms, or until WM_QUIT (then true).
inline bool Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return true;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return false;
}

}  // namespace testsupport
