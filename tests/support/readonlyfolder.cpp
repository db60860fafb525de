#include "support/readonlyfolder.h"

#include "support/downloadjob.h"
#include "support/testenv.h"
#include "support/unixshell.h"

#include <windows.h>

namespace testsupport {

constexpr unsigned kMountMs = 15000;

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
  const std::wstring log = folder_ + L".mount-log";
  const std::vector<uint8_t> said = ReadFileBytes(log);
  return "the folder " + unixFolder_ + " could not be mounted read-only: " +
         (!FileExists(log) ? "mount never ran (no log)"
          : said.empty()   ? "mount said nothing"
                           : std::string(said.begin(), said.end()));
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
