// One soak run (tests/ui/soak_test.cpp): its release published on the test servers with the
// file host's faults (Stage), a FolderSampler watching the disk while the job runs under the
// faults, and RunOnce, which runs the job and then checks the invariants (soakinvariants.h).
//
// Threads: the test's thread builds and publishes the stage and pumps an in-process window's
// messages; the sampler's thread reads the stage and marks the faults from outside applied.
#pragma once

#include "support/guirelease.h"
#include "support/soakinvariants.h"
#include "support/soakplan.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport::soak {

struct Stage {
  Plan plan;
  GuiRelease release{L"VelmotSoak"};
  std::vector<std::wstring> localNames;
  // The computer id the run's window or program sends (a window built here is given it, the
  // real program reads it from VELMOT_TEST_COMPUTER_ID), so that its log upload is found by
  // name and no other run's upload, beside it or from an earlier campaign, can stand in.
  std::string uploadComputer;
  std::string killedAt;  // when a kill fault ended the program (IsoNow), or empty

  // The object's name in the release's namespace; file -1 is the CRC info document.
  std::string ObjectOf(int file, size_t part) const;
  // The path the file host logs the object's requests under.
  std::string HostPath(int file, size_t part) const;
  size_t SizeOf(int file, size_t part) const;
  const std::vector<uint8_t>& PartBytes(size_t file, size_t part) const {
    return release.parts[plan.files[file].firstPart + part];
  }
  std::wstring FinalPath(size_t i) const { return release.DownloadFolder() + L"/" + localNames[i]; }
  bool Identical(size_t i, const std::vector<uint8_t>& bytes) const;
};

// Every few milliseconds while the program runs: final names on files of the wrong size,
// parts seen whole (in their part files, in an interrupted merge or in the finished file);
// and the faults from outside: outages and deletions of part files. Its thread is started by
// the constructor and joined by Stop (or the destructor) within a few milliseconds; the
// findings are read only after Stop.
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
  void Sample(std::set<std::wstring>& reported);
  void Seen(size_t i, size_t k);

  Stage& stage_;
  ULONGLONG started_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Publishes the plan's release, runs the job while a FolderSampler watches, and checks it.
// A full disk is made through the manager's free-space query, so those runs build the window
// in this process (from resources); all others run the real program, which a kill fault ends
// at its moment and starts again.
Outcome RunOnce(Plan plan, HMODULE resources, const std::vector<uint8_t>& setup);

}  // namespace testsupport::soak
