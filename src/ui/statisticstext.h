// The composition of the window's statistics display: which phase to show, the labels and
// values texts, the progress position and which controls to show or hide. A pure function
// of the counters it is given, so that every text can be checked without a window; the
// window (DownloadDialog) applies the result to its controls.
#pragma once

#include <cstdint>
#include <string>

// What one statistics update reads: the speed meter's sample and the manager's counters.
struct StatisticsInput {
  uint64_t speedKBps = 0;   // 0 while paused
  uint64_t total = 0;       // the meter's total, bytes
  uint64_t downloaded = 0;  // the meter's finished + in-progress bytes
  uint64_t totalBytes = 0;  // the manager's counters, read at the moment of the update
  uint64_t finishedBytes = 0;
  uint64_t inProgressBytes = 0;
  uint64_t verifiedBytes = 0;
  uint32_t copyPercent = 0;  // low 32 bits of the manager's copyPercent
  bool copying = false;
  bool verifying = false;
  uint64_t networkRetrySeconds = 0;  // waiting for the network: seconds to the next try
  bool signInPage = false;           // ... because it answered with a web page
};

// A control's visibility after an update; kKeep leaves it as it is.
enum class Visibility { kKeep, kShow, kHide };

enum class StatisticsPhase { kDownloading, kProcessing, kCopying, kVerifying, kWaitingForNetwork };

struct StatisticsView {
  StatisticsPhase phase = StatisticsPhase::kDownloading;
  std::wstring labels;   // control 1006: the labels, or the phase text
  std::wstring values;   // control 1005: the values while downloading, else empty
  int32_t progress = 0;  // progress bar 1002, 0 to 100
  Visibility labelsVisibility = Visibility::kKeep;  // 1006
  Visibility valuesVisibility = Visibility::kKeep;  // 1005
  Visibility pauseVisibility = Visibility::kKeep;   // 1014
};

class StatisticsText {
 public:
  virtual ~StatisticsText() = default;

  static const wchar_t kLabels[];

  static StatisticsView Compose(const StatisticsInput& input);

  // 100 x (finished/1000 + inProgress/1000) / (total/1000), each count divided on its own;
  // 0 when total/1000 is 0; kept within 0..100.
  static int32_t DownloadPercent(uint64_t totalBytes, uint64_t finishedBytes,
                                 uint64_t inProgressBytes);
  // 100 x (verified/1000) / (total/1000); 0 when total/1000 is 0; at most 100.
  static uint32_t VerifyPercent(uint64_t totalBytes, uint64_t verifiedBytes);
  // "%d h : %d m : %d s" for the bytes still to come at the given speed (speed > 0).
  // More downloaded than the total means nothing is left: "0 h : 0 m : 0 s".
  static std::wstring TimeLeft(uint64_t total, uint64_t downloaded, uint64_t speedKBps);
};
