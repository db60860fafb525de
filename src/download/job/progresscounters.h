// A snapshot of the download job's progress, taken by DownloadManager::Progress() from the
// counters its threads update. The window's statistics and the speed meter read this one
// structure; it is a plain copy, safe to keep and pass between threads.
#pragma once

#include <cstdint>

struct ProgressCounters {
  uint64_t totalBytes = 0;           // sum of the listed file sizes
  uint64_t finishedBytes = 0;        // parts and files known good on disk in this pass
  uint64_t inProgressBytes = 0;      // received by running part workers, not yet written
  uint64_t copyPercent = 0;          // merge progress of the current file, 0..100
  uint64_t verifiedBytes = 0;        // checked by the verification pass so far
  uint64_t presentBytes = 0;         // found on disk at the start of this run (not transferred)
  bool copying = false;              // a merge is running
  bool verifying = false;            // the verification pass is running
  bool supportRedirected = false;    // a write failure sent the user to the support page
  uint64_t networkRetrySeconds = 0;  // waiting for the network: seconds to the next try
  bool signInPage = false;           // ... because the network answered with a web page

  // What the transfer has counted: finished plus in flight.
  uint64_t CountedBytes() const { return finishedBytes + inProgressBytes; }
};
