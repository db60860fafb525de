#include "support/inprocesswindow.h"

#include "support/dmprocess.h"

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

void BoxReader::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::wstring> BoxReader::Texts() {
  std::lock_guard<std::mutex> guard(lock_);
  return texts_;
}

void BoxReader::Read() {
  while (!stop_) {
    HWND box = OwnedMessageBox(window_);
    if (box && !hold) {
      const std::wstring text = BoxText(box);
      disabled_ = disabled_ || !IsWindowEnabled(window_);
      {
        std::lock_guard<std::mutex> guard(lock_);
        texts_.push_back(text);
      }
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      while (IsWindow(box) && IsWindowVisible(box) && !stop_) Sleep(5);
    }
    Sleep(10);
  }
}

bool RunUntilQuit(HWND window, DWORD timeoutMs, std::vector<std::wstring>& boxes) {
  BoxReader reader(window);
  const bool quit = Pump(timeoutMs);
  reader.Stop();
  const std::vector<std::wstring> texts = reader.Texts();
  boxes.insert(boxes.end(), texts.begin(), texts.end());
  return quit;
}

}  // namespace testsupport
