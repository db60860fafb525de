// The process's life around the download window: COM for the UI thread, the structured-
// exception translator, the window (DownloadDialog) on this object's stack frame, the
// message loop, and the orderly end. Run() is WinMain's body; it runs on the UI thread.
// Nothing escapes it: a standard exception (also a translated processor exception) is
// recorded in the error log and the process ends with 0; only a failed COM security set-up
// has its own exit code, -1.
#pragma once

#include <windows.h>

class DlgApplication {
 public:
  explicit DlgApplication(HINSTANCE instance);
  virtual ~DlgApplication() = default;
  DlgApplication(const DlgApplication&) = delete;
  DlgApplication& operator=(const DlgApplication&) = delete;

  int Run();

  // The module instance handle of the running program (null before Run).
  static HINSTANCE Instance();

  // Pumps window messages until WM_QUIT. Messages for dialog go through the dialog
  // manager first (IsDialogMessageW), so that Tab, Space and Enter work on its controls.
  static void MessageLoop(HWND dialog = nullptr);

 protected:
  // CoInitializeSecurity for the process; S_OK and RPC_E_TOO_LATE let the start go on.
  virtual HRESULT InitializeSecurity();
  // Builds the window, shows it (which starts the job), runs the message loop and
  // destroys the window again.
  virtual void RunDialog();

 private:
  HINSTANCE instance_;
};
