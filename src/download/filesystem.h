// Whole-folder and whole-file helpers. Failures are recorded in the error log; nothing
// throws for a file system failure. Stateless: any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  static void RecursivelyRemoveDirectory(const std::wstring& folder);
  static void ListSubdirectories(const std::wstring& folder, std::vector<std::wstring>& names);
  static void ListFiles(const std::wstring& folder, std::vector<std::wstring>& paths);
  static void ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes);
  static void GetExecutableFolder(std::string& folder);
};
