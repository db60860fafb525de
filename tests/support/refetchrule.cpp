#include "support/refetchrule.h"

#include "support/testenv.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace testsupport::soak {

namespace {

// A member of a record, null when it has none.
const nlohmann::json& Member(const nlohmann::json& record, const char* name) {
  static const nlohmann::json none;
  auto found = record.find(name);
  return found == record.end() ? none : *found;
}

// The start N of "bytes=N-" / "bytes=N-M"; false for no or another Range.
bool RangeStart(const nlohmann::json& range, uint64_t& start) {
  if (!range.is_string()) return false;
  unsigned long long n = 0;
  if (std::sscanf(range.get<std::string>().c_str(), "bytes=%llu-", &n) != 1) return false;
  start = n;
  return true;
}

// The parts with a request whose answer has no line yet (a line is written when the answer
// has ended, a moment after the program saw its end).
std::set<std::string> Unanswered(const std::vector<nlohmann::json>& requests,
                                 const std::vector<nlohmann::json>& answers) {
  std::set<std::pair<std::string, std::string>> lines;
  for (const nlohmann::json& a : answers) lines.insert({a.value("time", ""), a.value("path", "")});
  std::set<std::string> unanswered;
  for (const nlohmann::json& r : requests)
    if (!lines.count({r.value("time", ""), r.value("path", "")}))
      unanswered.insert(r.value("decodedPath", ""));
  return unanswered;
}

// The moments a restart of part was forced from outside: the part deleted, the program killed.
std::vector<std::string> Resets(const Stage& stage, const FolderSampler& sampler,
                                std::pair<size_t, size_t> part) {
  std::vector<std::string> resets;
  if (!stage.killedAt.empty()) resets.push_back(stage.killedAt);
  auto events = sampler.events.find(part);
  if (events != sampler.events.end())
    for (const auto& event : events->second)
      if (event.second == 'd') resets.push_back(event.first);
  return resets;
}

// How late the host may stamp a request that was sent before a kill, at most.
const int64_t kStampLagMs = 2000;

// Milliseconds from one IsoNow-style stamp to a later one.
int64_t MsBetween(const std::string& from, const std::string& to) {
  auto ticks = [](const std::string& iso) {
    SYSTEMTIME t = {};
    WORD* fields[] = {&t.wYear,   &t.wMonth,  &t.wDay,         &t.wHour,
                      &t.wMinute, &t.wSecond, &t.wMilliseconds};
    unsigned v[7] = {};
    std::sscanf(iso.c_str(), "%u-%u-%uT%u:%u:%u.%uZ", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                &v[6]);
    for (int k = 0; k < 7; ++k) *fields[k] = static_cast<WORD>(v[k]);
    FILETIME f = {};
    SystemTimeToFileTime(&t, &f);
    return (static_cast<int64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000;
  };
  return ticks(to) - ticks(from);
}

}  // namespace

std::vector<std::pair<Violation, std::string>> JudgePart(
    const std::string& path, const std::vector<const nlohmann::json*>& list, bool resumes,
    const std::vector<std::string>& resets) {
  std::vector<std::pair<Violation, std::string>> found;
  uint64_t have = 0;
  bool wholeAnswer = false;
  bool restartDue = false;
  int64_t corrupt = -1;  // a flipped byte the program may hold
  std::string previous;
  bool carried = false;
  for (const nlohmann::json* a : list) {
    const std::string time = a->value("time", "");
    std::string latest;
    for (const std::string& reset : resets)
      if (reset > previous && reset <= time) latest = reset;
    if (!latest.empty() || carried) restartDue = true;
    // The host stamps a request when it reads it: one that the killed program sent just
    // before the kill can be stamped just after it, so a reset shortly before a request
    // also excuses the next one (a new program's first request comes seconds later).
    carried = !latest.empty() && MsBetween(latest, time) < kStampLagMs;
    previous = time;
    uint64_t from = 0;
    const bool ranged = RangeStart(Member(*a, "range"), from);
    const uint64_t slack = wholeAnswer ? 0 : kInFlight;
    const std::string asked = path + " asked from byte " + std::to_string(from) + " at " + time;
    if (ranged && from > have) {
      found.push_back({kResumedPast, asked + ", the host had sent " + std::to_string(have)});
    } else if (from + slack < have && !restartDue) {
      found.push_back(
          {kFetchedAgain, asked + " after bytes up to " + std::to_string(have) + " were sent"});
      restartDue = true;  // one refetch, one violation
    }
    const int status = a->value("status", 0);
    if (status == 412) restartDue = true;
    const nlohmann::json& first = Member(*a, "start");
    if (!first.is_number_integer() || first.get<int64_t>() < 0) continue;  // none of its bytes
    const uint64_t start = first.get<uint64_t>();
    const uint64_t length = a->value("objectLength", uint64_t{0});
    have = start + a->value("sent", uint64_t{0});
    wholeAnswer = a->value("complete", false) && have == length;
    if (status == 200 || (corrupt >= 0 && static_cast<uint64_t>(corrupt) >= start)) corrupt = -1;
    if (Member(*a, "corruptAt").is_number_integer()) {
      const uint64_t at = Member(*a, "corruptAt").get<uint64_t>();
      if (at >= start && at < have) corrupt = static_cast<int64_t>(at);
    }
    restartDue = (corrupt >= 0 && have >= length) || (!resumes && have < length);
  }
  return found;
}

void CheckRefetches(const Stage& stage, const FolderSampler& sampler,
                    const std::map<std::string, std::pair<size_t, size_t>>& partOf,
                    Outcome& outcome) {
  const FileHostNamespace& host = stage.release.host;
  std::vector<nlohmann::json> answers;
  std::set<std::string> unanswered;
  Eventually(
      [&] {
        const std::vector<nlohmann::json> requests = host.Requests();
        answers = host.Answers();
        unanswered = Unanswered(requests, answers);
        return unanswered.empty();
      },
      15000);
  for (const std::string& path : unanswered)
    if (partOf.count(path)) outcome.notes.push_back(path + ": an answer never ended, not checked");

  bool resumes = false;
  std::map<std::string, std::vector<const nlohmann::json*>> byPart;
  for (const nlohmann::json& a : answers) {
    uint64_t ignored = 0;
    resumes = resumes || RangeStart(Member(a, "range"), ignored);
    const std::string path = a.value("decodedPath", "");
    if (partOf.count(path) && !unanswered.count(path)) byPart[path].push_back(&a);
  }
  for (auto& entry : byPart) {
    std::vector<const nlohmann::json*>& list = entry.second;
    std::stable_sort(list.begin(), list.end(),
                     [](const nlohmann::json* a, const nlohmann::json* b) {
                       return a->value("time", "") < b->value("time", "");
                     });
    for (const auto& finding :
         JudgePart(entry.first, list, resumes, Resets(stage, sampler, partOf.at(entry.first))))
      outcome.Violate(finding.first, finding.second);
  }
}

}  // namespace testsupport::soak
