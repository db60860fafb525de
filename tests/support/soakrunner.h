// One soak run (tests/ui/soak_test.cpp): publishes the plan's release, runs the job under its
// faults while a FolderSampler watches the disk, and checks the invariants afterwards. The
// full disk is made through the manager's free-space query, so those runs build the window
// in this process (from resources); all others run the real program, and a kill fault ends
// it at its moment and starts it again.
//
// Threads: the test's thread; the in-process window's messages are pumped on it.
#pragma once

#include "support/soakinvariants.h"
#include "support/releaseplanner.h"

#include <windows.h>

#include <cstdint>
#include <vector>

namespace testsupport::soak {

Outcome RunOnce(Plan plan, HMODULE resources, const std::vector<uint8_t>& setup);

}  // namespace testsupport::soak
