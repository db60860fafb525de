// Raises a shared flag for the length of a scope and lowers it on every way out, a thrown
// exception included, so that a phase flag the window reads can never stay up after the
// work it announces has ended.
#pragma once

#include <atomic>

namespace velmot {

class ScopedFlag {
 public:
  explicit ScopedFlag(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
  ~ScopedFlag() { flag_ = false; }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  std::atomic<bool>& flag_;
};

}  // namespace velmot
