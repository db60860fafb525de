#include "support/dmprocess.h"

#include "support/downloadjob.h"

#include <shlobj.h>

#include <stdexcept>

namespace testsupport {

namespace {

const DWORD kAnswerMs = 5000;

// The caption is read without a message, so a busy window is found as well.
std::wstring CaptionOf(HWND window) {
  wchar_t text[512] = {};
  InternalGetWindowText(window, text, 512);
  return text;
}

}  // namespace

HWND DmProcess::FindOwnWindow(const std::function<bool(HWND)>& match) const {
  struct Search {
    DWORD processId;
    const std::function<bool(HWND)>* match;
    HWND found;
  } search{info_.dwProcessId, &match, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* search = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != search->processId || !(*search->match)(window)) return TRUE;
        search->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring DmProcess::ProgramPath() {
  std::wstring folder = TestProgramFolder();               // BUILD/tests
  folder = folder.substr(0, folder.find_last_of(L"\\/"));  // BUILD
  return folder + L"\\src\\velmot-dm.exe";
}

DmProcess::DmProcess(const std::wstring& folder, const std::wstring& fileName) : folder_(folder) {
  // The program derives its release from the path the loader reports: keep it Windows-style.
  for (auto& c : folder_)
    if (c == L'/') c = L'\\';
  exe_ = folder_ + L"\\" + fileName;
  CreateDirectoryW(folder_.c_str(), nullptr);
  if (!CopyFileW(ProgramPath().c_str(), exe_.c_str(), FALSE)) {
    throw std::runtime_error("velmot-dm.exe could not be copied for the test");
  }
}

DmProcess::~DmProcess() {
  Kill();
  if (info_.hProcess) CloseHandle(info_.hProcess);
  if (info_.hThread) CloseHandle(info_.hThread);
  DeleteFileW(exe_.c_str());
}

bool DmProcess::Start() {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  std::wstring commandLine = L"\"" + exe_ + L"\"";
  return CreateProcessW(exe_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder_.c_str(), &startup, &info_) != FALSE;
}

HWND DmProcess::FindWindowByCaption(const std::wstring& caption, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    if (HWND found = FindOwnWindow([&](HWND w) { return CaptionOf(w) == caption; })) {
      return window_ = found;
    }
    if (WaitForSingleObject(info_.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
  } while (GetTickCount64() < end);
  return nullptr;
}

HWND DmProcess::AnyVisibleWindow() const {
  return FindOwnWindow([](HWND w) { return IsWindowVisible(w) != FALSE; });
}

std::wstring DmProcess::Text(int controlId) const {
  HWND control = GetDlgItem(window_, controlId);
  if (control == nullptr) return L"<no control>";
  wchar_t text[2048] = {};
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                           kAnswerMs, &result)) {
    return L"<no answer>";
  }
  return text;
}

std::wstring DmProcess::Caption() const { return CaptionOf(window_); }

bool DmProcess::IsControlVisible(int controlId) const {
  return IsWindowVisible(GetDlgItem(window_, controlId)) != FALSE;
}

void DmProcess::Click(int controlId) const {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(GetDlgItem(window_, controlId), BM_CLICK, 0, 0, SMTO_NORMAL, kAnswerMs,
                      &result);
}

LRESULT DmProcess::Send(int controlId, UINT message, WPARAM wParam, LPARAM lParam) const {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(GetDlgItem(window_, controlId), message, wParam, lParam, SMTO_NORMAL,
                      kAnswerMs, &result);
  return static_cast<LRESULT>(result);
}

void DmProcess::PostClose() const { PostMessageW(window_, WM_CLOSE, 0, 0); }

std::wstring DmProcess::MessageBoxText(const std::wstring& caption, DWORD timeoutMs) const {
  HWND box = FindMessageBox(caption, timeoutMs);
  if (box == nullptr) return L"<no box>";
  return BoxText(box);
}

std::wstring BoxText(HWND box) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 1024);
  return text;
}

HWND DmProcess::FindMessageBox(const std::wstring& caption, DWORD timeoutMs) const {
  HWND found = nullptr;
  Eventually(
      [&] {
        found = FindOwnWindow([&](HWND w) {
          wchar_t cls[16] = {};
          GetClassNameW(w, cls, 16);
          return w != window_ && lstrcmpW(cls, L"#32770") == 0 && CaptionOf(w) == caption &&
                 IsWindowVisible(w);
        });
        return found != nullptr;
      },
      timeoutMs);
  return found;
}

DWORD DmProcess::WaitForExit(DWORD timeoutMs) {
  if (info_.hProcess == nullptr) return STILL_ACTIVE;
  if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

void DmProcess::Kill() {
  if (info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(info_.hProcess, 99);
    WaitForSingleObject(info_.hProcess, 5000);
  }
}

std::wstring WorkFolderOf(const std::wstring& releaseName) {
  wchar_t appData[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
  std::wstring folder = std::wstring(appData) + L"/" + releaseName;
  for (auto& c : folder)
    if (c == L'\\') c = L'/';
  return folder;
}

}  // namespace testsupport
