// One running copy per release. Two copies of the same release (a double-click twice, or a
// second download of the program saved as "Velmot Pro_b2 (1).exe") would share one work
// folder: one could remove it while the other writes, and both could start setup. The
// first copy holds a named mutex in the session's Local namespace, derived from the release
// name without regard to case (the work folder's name is not case-sensitive either); a
// later copy finds it taken, brings the first copy's window to the front and ends without
// touching any file.
//
// Threads: the UI thread creates it before the window and keeps it until the process ends.
#pragma once

#include <windows.h>

#include <string>

class SingleInstance {
 public:
  // An empty release name takes no mutex: such a program downloads nothing.
  explicit SingleInstance(const std::wstring& releaseName);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another copy of the same release holds the mutex.
  bool IsFirst() const { return first_; }
  // Restores and raises the window with this caption, if there is one.
  static void BringToFront(const std::wstring& caption);
  // The mutex name for a release (exposed for the tests).
  static std::wstring MutexName(const std::wstring& releaseName);

 private:
  HANDLE mutex_ = nullptr;
  bool first_ = true;
};
