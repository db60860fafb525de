// A folder that takes no new files, root included, as a DVD, a mounted ISO or a read-only
// share is: a read-only bind mount of the folder onto itself. Root ignores Unix permissions,
// and Wine's read-only attribute on a folder stops no file creation either, so only the
// mount makes a folder that the tests (run as root) cannot write. mount and umount run as
// Unix programs, which Wine starts but cannot wait for: both ends poll (bounded) until the
// change is seen. A run that dies in between leaves the mount; tools/test-env unmounts
// whatever is left under the build folder.
#pragma once

#include <string>

namespace testsupport {

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::wstring& folder);
  ~ReadOnlyFolder();  // writable again
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // The folder refused a new file after the mount.
  bool Active() const { return active_; }
  // Why not, from what mount wrote (for the failure message).
  std::string Diagnosis() const;

 private:
  std::wstring folder_;
  std::string unixFolder_;
  bool active_ = false;
};

// Whether a new file can be made in folder now (the file is removed again).
bool TakesNewFile(const std::wstring& folder);

}  // namespace testsupport
