// A worker thread that watches one folder (with subfolders) for files that disappear or
// are renamed, and records each change the download manager did not announce as
// DL_MANAGER_DELETED_OUTSIDE / DL_MANAGER_RENAMED_OUTSIDE. Owned by the manager, which
// announces its own deletions with ExpectChange and stops it (500 ms) before setup.
//
// Threads: Watch, Start and Stop are called from the owner's thread only; ExpectChange and
// TakeExpected from any thread. A stop is honoured at once: Stop signals the base's stop
// event, which the body waits on beside the overlapped read (and the body still checks the
// running flag every 500 ms), so a Stop(500) does not run out. A read still pending when the
// body ends is cancelled; one whose cancel has not completed after 100 ms is left to the
// system together with its OVERLAPPED, event and buffer (all on the heap). Watch on
// a folder that does not exist records "FileSystemWatcher started" and the body ends quietly. Watch
// may be called again after a stop (or while running: it then stops the current watch first).
#pragma once

#include "base/handles.h"
#include "base/orx_thread.h"

#include <string>
#include <vector>

class FileSystemWatcher : public Orx_Thread {
 public:
  FileSystemWatcher();
  ~FileSystemWatcher() override;  // Stop(INFINITE): the body ends at once on a stop

  void Watch(const std::wstring& folder);
  // Announces that the file at path (any folder; only its name is kept) is about to be
  // deleted or renamed by the manager itself.
  void ExpectChange(const std::wstring& path);
  // Consumes one announcement equal to name (exact, case included); false if none waits.
  bool TakeExpected(const std::wstring& name);
  // Takes back one announcement made for path, for a change that did not happen (the
  // delete failed). Any thread.
  void WithdrawExpected(const std::wstring& path);

  struct ChangeRecord {
    DWORD action = 0;
    std::wstring name;
  };
  // Reads the change record at offset of a block of bytes the system delivered and moves
  // offset to the next record (to bytes after the last one). False when no whole record
  // lies at offset. Every offset and length is checked against bytes, so a malformed block
  // never makes it read past them. Pure; any thread.
  static bool ReadChangeRecord(const unsigned char* block, DWORD bytes, DWORD& offset,
                               ChangeRecord& record);

  // The call that cancels a pending read (CancelIoEx), for tests of a cancel that does not
  // complete in time; null restores it. Set while no watcher runs.
  using CancelCall = BOOL(WINAPI*)(HANDLE file, LPOVERLAPPED overlapped);
  static void OverrideCancelForTesting(CancelCall cancel);

 protected:
  void Run() override;

 private:
  // Examines every change record of one block of bytes delivered by the system.
  void ExamineBlock(const unsigned char* block, DWORD bytes);
  void ExamineChange(DWORD action, const std::wstring& name);

  std::wstring folder_;
  std::vector<std::wstring> expected_;
  velmot::CriticalSection lock_;
};
