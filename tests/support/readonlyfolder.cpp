#include "support/readonlyfolder.h"

#include "support/testenv.h"
#include "support/unixshell.h"

#include <windows.h>

#include <string>

namespace testsupport {

namespace {

constexpr unsigned kMountMs = 15000;

}  // namespace

bool TakesNewFile(const std::wstring& folder) {
  const std::wstring path = folder + L"/readonly-check-" + std::to_wstring(GetCurrentProcessId());
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  DeleteFileW(path.c_str());
  return true;
}

ReadOnlyFolder::ReadOnlyFolder(const std::wstring& folder)
    : folder_(folder), unixFolder_(UnixPath(folder)) {
  if (unixFolder_.empty() || unixFolder_.find('\'') != std::string::npos) return;
  const std::string quoted = "'" + unixFolder_ + "'";
  // Asked again when the folder still takes files after a while (seen once: nothing was
  // mounted within 15 s, and the cause did not show); a second ask never stacks a mount.
  for (int ask = 0; ask < 3 && !active_; ++ask) {
    RunUnix("{ mountpoint -q " + quoted + " || mount --bind " + quoted + " " + quoted +
            "; mount -o remount,bind,ro " + quoted + " " + quoted + "; } >'" + unixFolder_ +
            ".mount-log' 2>&1");
    active_ = Eventually([&] { return !TakesNewFile(folder_); }, kMountMs / 3);
  }
}

std::string ReadOnlyFolder::Diagnosis() const {
  std::string text = "the folder " + unixFolder_ + " could not be mounted read-only: ";
  HANDLE file = CreateFileW((folder_ + L".mount-log").c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text + "mount never ran (no log)";
  char buffer[1024] = {};
  DWORD read = 0;
  ReadFile(file, buffer, sizeof(buffer) - 1, &read, nullptr);
  CloseHandle(file);
  return text + (read ? std::string(buffer, read) : "mount said nothing");
}

ReadOnlyFolder::~ReadOnlyFolder() {
  if (unixFolder_.empty() || unixFolder_.find('\'') != std::string::npos) return;
  // Unmounted even when the check above never saw it: the mount may have come late.
  RunUnix("while mountpoint -q '" + unixFolder_ + "'; do umount -l '" + unixFolder_ +
          "' || break; done");
  Eventually([&] { return TakesNewFile(folder_); }, kMountMs);
  DeleteFileW((folder_ + L".mount-log").c_str());
}

}  // namespace testsupport
