// The rotating tips under the statistics: five fixed texts, one shown at every fifth
// statistics update, in order, the first again after the last. Used by the speed meter's
// thread only (through the window's statistics update), so it needs no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Tips {
 public:
  // faqUrl and forumUrl are named by the fourth and fifth tip.
  Tips(const std::wstring& faqUrl, const std::wstring& forumUrl);
  virtual ~Tips() = default;

  const std::vector<std::wstring>& All() const { return tips_; }

  // Counts one statistics update; on every fifth returns true with the next tip in tip.
  bool OnStatisticsUpdate(std::wstring& tip);

  uint64_t Calls() const { return calls_; }

 private:
  std::vector<std::wstring> tips_;
  size_t current_ = 0;
  uint64_t calls_ = 0;
};
