// Watches the disk of one soak run (tests/ui/soak_test.cpp) every few milliseconds while
// the program runs: final names on files of the wrong size, parts seen whole (in their part
// files, in an interrupted merge or in the finished file); and applies the faults that come
// from outside: outages and deletions of part files.
//
// Threads: owns one sampling thread, started by the constructor and joined by Stop (or the
// destructor) within a few milliseconds. The findings are read only after Stop.
#pragma once

#include "support/soakstage.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport::soak {

class FolderSampler {
 public:
  FolderSampler(Stage& stage, ULONGLONG started);
  ~FolderSampler() { Stop(); }
  FolderSampler(const FolderSampler&) = delete;
  FolderSampler& operator=(const FolderSampler&) = delete;
  void Stop();

  // Per part (file, part): times it was seen whole ('w') or deleted by the run ('d'), in order.
  std::map<std::pair<size_t, size_t>, std::vector<std::pair<std::string, char>>> events;
  std::vector<std::string> incomplete;

 private:
  void Run();
  void Sample(std::set<std::wstring>& reported);
  void Seen(size_t i, size_t k);
  void DeleteDue(size_t i, size_t k, const std::wstring& path);

  Stage& stage_;
  ULONGLONG started_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport::soak
