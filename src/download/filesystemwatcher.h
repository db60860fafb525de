// A worker thread that watches one folder (with subfolders) for files that disappear or
// are renamed, and records each change the download manager did not announce as
// DL_MANAGER_DELETED_OUTSIDE / DL_MANAGER_RENAMED_OUTSIDE. Owned by the manager, which
// announces its own deletions with ExpectChange and stops it (500 ms) before setup.
// A stop is honoured within 500 ms (overlapped reads, 500 ms wait slices).
#pragma once

#include "app/handles.h"
#include "app/orx_thread.h"

#include <string>
#include <vector>

class FileSystemWatcher : public Orx_Thread {
 public:
  FileSystemWatcher();
  ~FileSystemWatcher() override;  // Stop(500)

  void Watch(const std::wstring& folder);
  void ExpectChange(const std::wstring& path);
  bool TakeExpected(const std::wstring& name);

 protected:
  void Run() override;

 private:
  std::wstring folder_;
  std::vector<std::wstring> expected_;
  velmot::CriticalSection lock_;
};
