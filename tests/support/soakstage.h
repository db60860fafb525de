// The release of one soak run on the test servers (tests/ui/soak_test.cpp): its plan, the
// published files and the file host's faults, with what the run's checks need to know about
// them.
//
// Threads: built and published by the test's thread; the folder sampler reads it and marks
// the faults from outside applied while the run goes on.
#pragma once

#include "support/guirelease.h"
#include "support/releaseplanner.h"

#include <cstdint>
#include <string>
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

// Publishes the plan's files (the setup first, padded to its drawn size with bytes of the
// run's seed) and sets the file host's answers for its host faults.
void Publish(Stage& stage, const std::vector<uint8_t>& setup);

// UTC in the file host's log format (JavaScript's toISOString): comparable as text.
std::string IsoNow();

}  // namespace testsupport::soak
