// Starting setup once every installer file is verified: its signature is checked, the work
// folder is removed (only when that is safe), the installer is started with the shell at
// normal priority, and a failure to start it is
// shown with the path and the folder opened with setup selected, so that the user can start
// it by hand. Runs on the manager's thread; every shell call has COM for its length.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

class SetupLauncher {
 public:
  // publisher: the signer setup must carry (SetupSignature; empty: only recorded).
  // showError: hands a text to the window (may block while the user reads a box).
  // beforeRemoval: called before the work folder goes (the manager stops its watcher).
  SetupLauncher(std::wstring publisher, std::function<void(const std::wstring&)> showError,
                std::function<void()> beforeRemoval);

  // An empty setupPath records and shows that setup is missing; a setup whose signature
  // does not satisfy the publisher is refused and shown, with the work folder kept.
  // appDataFolder: the user's local application data, the only folder whose child the
  // work folder may be for its files to be removed.
  void Launch(const std::wstring& setupPath, const std::wstring& downloadFolder,
              const std::wstring& workFolder, const std::wstring& appDataFolder);

  // An antivirus may hold a freshly written executable for a moment: a start refused as
  // busy (sharing or lock violation, access denied) is tried again for this long.
  static constexpr DWORD kBusyRetryMs = 30000;
  // Seams: the shell's start (returns ShellExecuteW's result and leaves its last error;
  // default ShellExecuteW "open") and the wait between tries (false: the job was stopped
  // meanwhile, give up; default Sleep).
  std::function<intptr_t(const std::wstring& file, const std::wstring& folder)> shellStart;
  // After a start that failed: opens the folder of file with file selected, so that the
  // user can start it by hand (default SHOpenFolderAndSelectItems; COM is initialised).
  std::function<HRESULT(const std::wstring& file)> showInFolder;
  // Also bounds the wait for the signature check (SetupSignature::wait).
  std::function<bool(DWORD ms)> wait;

  // Only when the work folder's canonical path is a direct child of appDataFolder's, and
  // the download folder is neither the work folder nor inside it (the installer files
  // would go with it). Paths are compared as the file system resolves them, not as text:
  // short names, "/." segments, case and links cannot get another folder past it.
  static bool WorkFolderIsRemovable(const std::wstring& workFolder,
                                    const std::wstring& downloadFolder,
                                    const std::wstring& appDataFolder);
  // Deletes the files the program writes in the work folder (part files, "logfile.gz"),
  // then the folder itself when nothing else is left in it. Anything else stays.
  static void RemoveOwnFiles(const std::wstring& workFolder);

 private:
  intptr_t StartWhenNotBusy(const std::wstring& setupPath, const std::wstring& downloadFolder);
  void RemoveWorkFolder(const std::wstring& workFolder, const std::wstring& downloadFolder,
                        const std::wstring& appDataFolder);
  void ReportStartFailure(intptr_t result, const std::wstring& setupPath,
                          const std::wstring& downloadFolder);

  std::wstring publisher_;
  std::function<void(const std::wstring&)> showError_;
  std::function<void()> beforeRemoval_;
};
