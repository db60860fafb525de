// The names and folders that follow from the program's own file name: the release name
// (the file name less ".exe", cut before its last "_"), the download folder (the program's
// folder), the work folder (local application data + the release name) and the name of the
// CRC info document. Pure text functions over a given path, plus a constructor that reads
// the running program's path. Safe on any thread.
#pragma once

#include <string>

class ReleasePaths {
 public:
  // modulePath: a full path with backslashes, as GetModuleFileNameW gives it.
  explicit ReleasePaths(const std::wstring& modulePath);
  virtual ~ReleasePaths() = default;

  // The running program's path (no length limit).
  static std::wstring ModulePath();
  // The user's local application data folder, empty when the shell cannot tell.
  static std::wstring LocalAppData();

  // Throws std::out_of_range when the file name holds no "_".
  std::wstring ReleaseName() const;
  // Whether the file name names a release that can be used as a folder name: not empty,
  // not dots or blanks alone, no separator, device name or character Windows forbids.
  // "_x.exe" or ".._x.exe" would otherwise make the work folder local application data
  // itself or its parent.
  bool NamesARelease() const;
  // The release name with every ".exe" removed, as the download request sends it.
  std::wstring RequestName() const;
  // The path up to, not including, its last backslash.
  std::wstring DownloadFolder() const;
  // appData + "/" + the release name, every backslash turned into "/".
  std::wstring WorkFolder(const std::wstring& appData) const;
  std::wstring ListFileName() const;

  const std::wstring& ModulePathText() const { return path_; }

 private:
  std::wstring path_;
};
