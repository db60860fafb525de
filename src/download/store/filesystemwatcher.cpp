#include "download/store/filesystemwatcher.h"

#include "base/systemtexts.h"
#include "diagnostics/error.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace {

const DWORD kFolderAccess = GENERIC_READ | FILE_LIST_DIRECTORY;  // 0x80000001
const DWORD kBufferBytes = 16384;
const DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                            FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;  // 0x1B
const DWORD kWaitSliceMs = 500;
// How long the body waits for a cancelled read to let go of its buffer. A cancel completes
// at once in practice; the bound keeps a stop inside the owner's 500 ms.
const DWORD kCancelWaitMs = 100;
// The fixed part of a change record: next-entry offset, action, name length in bytes.
const DWORD kRecordHeaderBytes = 3 * sizeof(DWORD);

enum class WaitResult { Changed, Stopped, Failed };

// The manager announces paths; the watcher compares bare names. A path without any
// separator is a bare name already.
std::wstring BareName(const std::wstring& path) {
  size_t separator = path.find_last_of(L"/\\");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// The base's stop event wakes the body out of its wait, well inside the owner's limit; the
// running flag is still looked at every slice.
WaitResult WaitForChange(HANDLE changed, HANDLE stop, const std::atomic<bool>& running) {
  HANDLE handles[2] = {changed, stop};
  const DWORD count = stop ? 2 : 1;
  for (;;) {
    DWORD result = WaitForMultipleObjects(count, handles, FALSE, kWaitSliceMs);
    if (result == WAIT_OBJECT_0) return WaitResult::Changed;
    if (result == WAIT_OBJECT_0 + 1) return WaitResult::Stopped;
    if (result != WAIT_TIMEOUT) return WaitResult::Failed;
    if (!running) return WaitResult::Stopped;
  }
}

// One overlapped read and everything the system writes into until it completes: the
// OVERLAPPED (its status), its event and the change buffer. Kept together on the heap so
// that a read whose cancel does not complete in time can be left to the system whole,
// instead of leaving it a buffer but an OVERLAPPED in a stack frame that is gone and an
// event handle that is closed (or, worse, already reused).
struct ChangeRead {
  OVERLAPPED overlapped;
  velmot::KernelHandle changed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // DWORD elements: the system wants the change buffer DWORD-aligned.
  DWORD buffer[kBufferBytes / sizeof(DWORD)];
};

std::atomic<FileSystemWatcher::CancelCall> gCancel{&CancelIoEx};

// The system may still write into the read until the cancelled read completes.
void CancelPendingRead(HANDLE directory, std::unique_ptr<ChangeRead>& read) {
  gCancel.load()(directory, &read->overlapped);
  if (WaitForSingleObject(read->changed.Get(), kCancelWaitMs) != WAIT_OBJECT_0) {
    static_cast<void>(read.release());  // left to the system, not freed under its feet
  }
}

}  // namespace

FileSystemWatcher::FileSystemWatcher() : Orx_Thread(L"Velmot folder watcher") {}

FileSystemWatcher::~FileSystemWatcher() {
  // The body uses the members below; the thread must be gone before they are. It honours
  // a stop at once, so this wait is short.
  Stop(INFINITE);
}

void FileSystemWatcher::OverrideCancelForTesting(CancelCall cancel) {
  gCancel = cancel ? cancel : &CancelIoEx;
}

void FileSystemWatcher::Watch(const std::wstring& folder) {
  // One thread per watcher: a new watch replaces the current one.
  if (IsRunning()) Stop(500);
  folder_ = folder;
  Start();
}

void FileSystemWatcher::ExpectChange(const std::wstring& path) {
  std::wstring name = BareName(path);
  velmot::CriticalSectionLock lock(lock_);
  expected_.push_back(std::move(name));
}

bool FileSystemWatcher::TakeExpected(const std::wstring& name) {
  velmot::CriticalSectionLock lock(lock_);
  auto it = std::find(expected_.begin(), expected_.end(), name);
  if (it == expected_.end()) return false;
  expected_.erase(it);
  return true;
}

void FileSystemWatcher::WithdrawExpected(const std::wstring& path) { TakeExpected(BareName(path)); }

void FileSystemWatcher::Run() {
  Error::ReportMessage(L"FileSystemWatcher started", VELMOT_HERE);
  // folder_ is written only while no body runs.
  const std::wstring folder = folder_;

  velmot::FileHandle directory(CreateFileW(
      folder.c_str(), kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  if (!directory) return;  // a missing folder ends the watch quietly
  std::unique_ptr<ChangeRead> read(new ChangeRead);
  if (!read->changed) {
    Error::LogMessage("FileSystemWatcher ended", VELMOT_HERE);
    return;
  }
  const HANDLE changed = read->changed.Get();
  bool pending = false;
  bool stopped = false;

  while (running) {
    ResetEvent(changed);
    std::memset(&read->overlapped, 0, sizeof(read->overlapped));
    read->overlapped.hEvent = changed;
    if (!ReadDirectoryChangesW(directory.Get(), read->buffer, kBufferBytes, TRUE, kNotifyFilter,
                               nullptr, &read->overlapped, nullptr)) {
      break;
    }
    pending = true;
    WaitResult result = WaitForChange(changed, StopEvent(), running);
    if (result == WaitResult::Stopped) {
      stopped = true;
      break;
    }
    if (result == WaitResult::Failed) break;

    pending = false;
    ResetEvent(changed);
    DWORD bytes = 0;
    if (!GetOverlappedResult(directory.Get(), &read->overlapped, &bytes, FALSE)) {
      // Too many changes at once: the system hands over an empty block. Any other failure
      // would fail the next read the same way, so the watch ends instead of spinning.
      if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) break;
      bytes = 0;
    }
    ExamineBlock(reinterpret_cast<const unsigned char*>(read->buffer), bytes);
  }

  if (!stopped) Error::LogMessage("FileSystemWatcher ended", VELMOT_HERE);

  if (pending) CancelPendingRead(directory.Get(), read);
}

bool FileSystemWatcher::ReadChangeRecord(const unsigned char* block, DWORD bytes, DWORD& offset,
                                         ChangeRecord& record) {
  if (bytes < kRecordHeaderBytes || offset > bytes - kRecordHeaderBytes) return false;
  DWORD header[3];
  std::memcpy(header, block + offset, sizeof(header));
  const DWORD next = header[0];
  const DWORD nameBytes = header[2];
  if (nameBytes > bytes - offset - kRecordHeaderBytes) return false;

  record.action = header[1];
  record.name.assign(nameBytes / sizeof(wchar_t), L'\0');
  if (!record.name.empty()) {
    std::memcpy(&record.name[0], block + offset + kRecordHeaderBytes,
                record.name.size() * sizeof(wchar_t));
  }
  offset = (next == 0 || next > bytes - offset) ? bytes : offset + next;
  return true;
}

void FileSystemWatcher::ExamineBlock(const unsigned char* block, DWORD bytes) {
  DWORD offset = 0;
  ChangeRecord record;
  while (running && ReadChangeRecord(block, bytes, offset, record)) {
    ExamineChange(record.action, record.name);
  }
}

void FileSystemWatcher::ExamineChange(DWORD action, const std::wstring& name) {
  if (action != FILE_ACTION_REMOVED && action != FILE_ACTION_RENAMED_OLD_NAME) return;
  // TakeExpected releases the watcher's lock before anything is recorded.
  if (TakeExpected(name)) return;
  if (action == FILE_ACTION_REMOVED) {
    Error::ReportError(L"File: " + name + velmot::texts::kDeletedOutsideTail,
                       DL_MANAGER_DELETED_OUTSIDE, VELMOT_HERE);
  } else {
    Error::ReportError(L"File: " + name + velmot::texts::kRenamedOutsideTail,
                       DL_MANAGER_RENAMED_OUTSIDE, VELMOT_HERE);
  }
}
