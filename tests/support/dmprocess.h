// Drives velmot-dm.exe from a test as a user would: copies the program under a chosen
// file name into a folder, starts it, finds its window by caption, reads control texts,
// clicks, closes, and waits for the process. Every wait is bounded; a process still alive
// when the object goes away is killed.
#pragma once

#include "support/testenv.h"

#include <windows.h>

#include <functional>
#include <string>

namespace testsupport {

// The text of a message box (its static control's), whichever process shows it.
std::wstring BoxText(HWND box);

class DmProcess {
 public:
  // Copies BUILD/src/velmot-dm.exe to folder + "/" + fileName.
  DmProcess(const std::wstring& folder, const std::wstring& fileName);
  ~DmProcess();
  DmProcess(const DmProcess&) = delete;
  DmProcess& operator=(const DmProcess&) = delete;

  static std::wstring ProgramPath();  // BUILD/src/velmot-dm.exe

  bool Start();
  // The top-level window of the process with this caption, or null after timeoutMs.
  HWND FindWindowByCaption(const std::wstring& caption, DWORD timeoutMs);
  // Any visible top-level window of the process, or null.
  HWND AnyVisibleWindow() const;
  // Control text through WM_GETTEXT (bounded); "<no answer>" when the window did not answer.
  std::wstring Text(int controlId) const;
  std::wstring Caption() const;
  bool IsControlVisible(int controlId) const;
  // Polls Text(controlId) until pred holds or timeoutMs passes; returns the last text.
  template <typename Pred>
  std::wstring WaitForText(int controlId, DWORD timeoutMs, Pred pred) const {
    std::wstring text;
    Eventually([&] { return pred(text = Text(controlId)); }, timeoutMs);
    return text;
  }
  // WaitForText until the text holds piece, or is exactly text.
  std::wstring WaitForTextWith(int controlId, DWORD timeoutMs, const std::wstring& piece) const {
    return WaitForText(controlId, timeoutMs,
                       [&](const std::wstring& t) { return t.find(piece) != std::wstring::npos; });
  }
  std::wstring WaitForTextEqual(int controlId, DWORD timeoutMs, const std::wstring& text) const {
    return WaitForText(controlId, timeoutMs, [&](const std::wstring& t) { return t == text; });
  }
  // The first top-level window of the process for which match holds, or null.
  HWND FindOwnWindow(const std::function<bool(HWND)>& match) const;
  void Click(int controlId) const;
  LRESULT Send(int controlId, UINT message, WPARAM wParam, LPARAM lParam) const;
  void PostClose() const;
  // PostClose, then WaitForExit(timeoutMs).
  DWORD CloseAndWait(DWORD timeoutMs) {
    PostClose();
    return WaitForExit(timeoutMs);
  }
  // A visible message box of the process (other than its main window) with this caption,
  // or null after timeoutMs.
  HWND FindMessageBox(const std::wstring& caption, DWORD timeoutMs) const;
  // The text of such a box, or "<no box>" after timeoutMs.
  std::wstring MessageBoxText(const std::wstring& caption, DWORD timeoutMs) const;

  // Exit code, or STILL_ACTIVE when the process did not end within timeoutMs.
  DWORD WaitForExit(DWORD timeoutMs);
  void Kill();

  HWND Window() const { return window_; }
  DWORD ProcessId() const { return info_.dwProcessId; }
  const std::wstring& ExePath() const { return exe_; }
  std::wstring Folder() const { return folder_; }

 private:
  std::wstring folder_;
  std::wstring exe_;
  PROCESS_INFORMATION info_{};
  HWND window_ = nullptr;
};

// The work folder the program uses for a release: local application data + "/" + name.
std::wstring WorkFolderOf(const std::wstring& releaseName);

}  // namespace testsupport
