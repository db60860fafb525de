// Seeded random inputs for the parser campaigns (tests/download/parserfuzz_test.cpp): a
// random source, byte and text mutators, the bookkeeping of one campaign (inputs run, time
// taken, the longest input, the largest input and the largest single allocation made while an
// input was being read) and the skeleton each reader's campaign fills in (RunFuzzCampaign).
//
// A campaign is reproducible: its inputs depend only on the seed and the parser's salt,
// never on the number of inputs asked for, so a failing input comes back with the same seed.
// VELMOT_FUZZ_INPUTS (total over all parsers, default 20,000) and VELMOT_FUZZ_SEED
// (default 15) steer it; tools/fuzz sets both.
//
// Threads: a campaign belongs to the test's thread. It owns one watchdog thread, started by
// the constructor and joined by the destructor, which ends the process with a message naming
// the parser, the input and the seed when one input runs for more than kAbortMs: a hang then
// fails the run with something to reproduce instead of stalling it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FuzzRandom {
 public:
  explicit FuzzRandom(uint64_t seed) : engine_(seed) {}
  uint64_t Next() { return engine_(); }
  // 0..n-1 (0 when n is 0).
  size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(engine_() % n); }
  bool OneIn(size_t n) { return Below(n) == 0; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }
  // Wide text of up to maxLength code units: mostly ASCII, some Latin-1 and other BMP
  // characters, lone and paired surrogates, and zero.
  std::wstring Wide(size_t maxLength);

 private:
  std::mt19937_64 engine_;
};

// One to eight random edits: bit flips, random units, dictionary tokens inserted or written
// over, deletions, duplicated and repeated ranges, truncation. The result never grows past
// maxSize units.
std::string Mutate(FuzzRandom& random, std::string input, const std::vector<std::string>& tokens,
                   size_t maxSize);
std::wstring Mutate(FuzzRandom& random, std::wstring input, const std::vector<std::wstring>& tokens,
                    size_t maxSize);

// Printable form of an input for a failure message: escapes, cut after 300 units.
std::string Printable(const std::string& input);
std::string Printable(const std::wstring& input);

// A reader's tokens written as one text with "|" between them, in the order drawn. A token may
// hold zero units, so the text is a string literal with its length ("..."s, L"..."s).
template <typename Str>
std::vector<Str> Tokens(const Str& list) {
  std::vector<Str> tokens;
  for (size_t from = 0, bar = 0; bar != Str::npos; from = bar + 1) {
    bar = list.find(typename Str::value_type('|'), from);
    tokens.push_back(list.substr(from, bar - from));
  }
  return tokens;
}

// Called by the test executable's operator new: records sizes while an input runs.
void NoteAllocation(size_t bytes);

// One parser's campaign, and the random source its inputs are drawn from (seeded from the
// campaign seed and a salt of the parser's own).
class FuzzCampaign : public FuzzRandom {
 public:
  // No progress on one input for this long counts as a hang; this much longer ends the run.
  static constexpr ULONGLONG kHangMs = 10000;
  static constexpr ULONGLONG kAbortMs = 60000;
  // A reader may copy and widen its input a few times over, never more.
  static constexpr size_t kAllocationFactor = 16;
  static constexpr size_t kAllocationSlack = 64 * 1024;

  FuzzCampaign(const char* parser, uint64_t salt, size_t parsers);
  ~FuzzCampaign();
  FuzzCampaign(const FuzzCampaign&) = delete;
  FuzzCampaign& operator=(const FuzzCampaign&) = delete;

  size_t Inputs() const { return inputs_; }
  uint64_t Seed() const { return seed_; }
  size_t Hangs() const { return hangs_; }

  // Runs reader() on one input (the text it reads): it must not throw, and no single
  // allocation it makes may pass kAllocationFactor times the input's bytes plus
  // kAllocationSlack; either failure names the input. False when either failed or the reader
  // met a fatal failure of its own.
  template <typename Str, typename Reader>
  bool Read(const Str& input, Reader reader) {
    const size_t inputBytes = input.size() * sizeof(typename Str::value_type);
    Begin(inputBytes);
    try {
      reader();
    } catch (const std::exception& e) {
      ADD_FAILURE() << parser_ << " threw " << e.what() << " on " << Printable(input);
    }
    EXPECT_LE(End(), kAllocationFactor * inputBytes + kAllocationSlack)
        << "largest allocation for an input of " << inputBytes << " bytes: " << Printable(input);
    return !::testing::Test::HasFailure();
  }

  // "fuzz PARSER: N inputs in S s, ..." on stdout (tools/fuzz reads it).
  void Report() const;

 private:
  void Begin(size_t inputBytes);
  // The largest single allocation made since Begin.
  size_t End();
  void Watch();

  std::string parser_;
  uint64_t seed_;
  size_t inputs_;
  size_t index_ = 0;
  size_t hangs_ = 0;
  size_t largestInput_ = 0;
  size_t largestAllocation_ = 0;
  ULONGLONG longestMs_ = 0;
  ULONGLONG beganAt_ = 0;
  double totalSeconds_ = 0;
  const std::chrono::steady_clock::time_point campaignStart_ = std::chrono::steady_clock::now();
  std::atomic<ULONGLONG> inputStart_{0};  // 0 while no input runs
  std::atomic<size_t> current_{0};
  HANDLE stop_;
  std::thread watchdog_;
};

// The skeleton of every reader's campaign: eachInput(campaign) draws one input from the
// campaign, reads it through campaign.Read and checks what must hold. The first input that
// fails ends the campaign, named with its index and the seed that brings it back; otherwise
// the campaign reports its figures, and no input may have hung.
template <typename EachInput>
void RunFuzzCampaign(const char* parser, uint64_t salt, size_t parsers, EachInput eachInput) {
  FuzzCampaign campaign(parser, salt, parsers);
  for (size_t n = 0; n < campaign.Inputs(); ++n) {
    eachInput(campaign);
    if (::testing::Test::HasFailure())
      FAIL() << parser << ": input " << n << ", seed " << campaign.Seed();
  }
  campaign.Report();
  EXPECT_EQ(campaign.Hangs(), 0u);
}

}  // namespace testsupport
