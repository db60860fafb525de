// Whole-folder and whole-file helpers. Failures are recorded in the error log; nothing
// throws for a file system failure. Stateless: any thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
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
  // The path the file system itself uses for an existing file or folder: full, long names,
  // the final path of an open handle (links resolved), no "\\?\" prefix, no trailing
  // separator. Two spellings of one folder (short names, "/.", case, "/") give the same
  // text. False when the path does not exist or cannot be resolved.
  static bool CanonicalPath(const std::wstring& path, std::wstring& canonical);
  // Whether two canonical paths name the same file, compared as the file system does
  // (without case).
  static bool SamePath(const std::wstring& a, const std::wstring& b);
  // Whether files can be made in folder: creates a uniquely named empty probe file there
  // ("velmot-write-check-...tmp") and deletes it again. beforeDelete, when given, is called
  // with the probe's path just before the delete (a folder watcher's ExpectChange, so that
  // the probe is not taken for an outside deletion). On failure error holds the system's
  // code (5 for a read-only medium or share, a protected folder); nothing is recorded.
  // Touches the disk once or twice: not for the UI thread on a network share.
  static bool CanCreateFiles(const std::wstring& folder, DWORD& error,
                             const std::function<void(const std::wstring&)>& beforeDelete = {});
};
