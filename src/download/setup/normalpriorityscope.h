// Raises the process to normal priority for one scope, when it runs lower, and restores the
// class it had when the scope ends.
//
// The window lowers its process to below normal so that the download stays in the
// background, and a program started by a below-normal (or idle) process inherits that
// class: the customer's setup, and everything it starts, would crawl. Setup is started
// inside this scope. Higher classes are left as they are. Any thread may use it; the class
// is process-wide, so scopes must not overlap across threads.
#pragma once

#include <windows.h>

class NormalPriorityScope {
 public:
  NormalPriorityScope();
  ~NormalPriorityScope();
  NormalPriorityScope(const NormalPriorityScope&) = delete;
  NormalPriorityScope& operator=(const NormalPriorityScope&) = delete;

 private:
  DWORD previous_ = 0;  // the class to restore, 0 when nothing was changed
};
