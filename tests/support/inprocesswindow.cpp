#include "support/inprocesswindow.h"

#include "support/dmprocess.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace testsupport {

ProgramResources::ProgramResources()
    : module(LoadLibraryExW(DmProcess::ProgramPath().c_str(), nullptr,
                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}

ProgramResources::~ProgramResources() {
  if (module) FreeLibrary(module);
}

bool Pump(DWORD ms) {
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

std::wstring ControlText(HWND window, int id) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(window, id, text, 1024);
  return text;
}

HWND OwnedMessageBox(HWND window) {
  struct Search {
    HWND owner;
    HWND found;
  } search{window, nullptr};
  EnumThreadWindows(
      GetWindowThreadProcessId(window, nullptr),
      [](HWND candidate, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        wchar_t cls[16] = {};
        GetClassNameW(candidate, cls, 16);
        if (candidate != s->owner && GetWindow(candidate, GW_OWNER) == s->owner &&
            lstrcmpW(cls, L"#32770") == 0 && IsWindowVisible(candidate)) {
          s->found = candidate;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool RunUntilQuit(HWND window, DWORD timeoutMs, std::vector<std::wstring>& boxes) {
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::thread reader([&] {
    while (!stop) {
      HWND box = OwnedMessageBox(window);
      if (box) {
        const std::wstring text = BoxText(box);
        {
          std::lock_guard<std::mutex> hold(lock);
          boxes.push_back(text);
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        while (IsWindow(box) && IsWindowVisible(box) && !stop) Sleep(5);
      }
      Sleep(10);
    }
  });
  const bool quit = Pump(timeoutMs);
  stop = true;
  reader.join();
  return quit;
}

}  // namespace testsupport
