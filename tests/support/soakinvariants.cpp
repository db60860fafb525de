#include "support/soakinvariants.h"

#include "base/systemtexts.h"
#include "support/downloadjob.h"
#include "support/refetchrule.h"
#include "support/soakstage.h"
#include "support/testservers.h"

#include <cstdio>
#include <map>
#include <utility>

namespace testsupport::soak {

namespace {

// Entries carrying the run's names outside the download and work folders.
void FindStrays(const std::wstring& folder, int depth, const Stage& stage,
                std::vector<std::string>& strays) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"/*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  const std::wstring tag = std::to_wstring(stage.plan.seed);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"/" + name;
    if (path == stage.release.DownloadFolder() || path == stage.release.workFolder) continue;
    if (Contains(name, stage.release.name) || Contains(name, L"Setup" + tag) ||
        Contains(name, L"Data" + tag))
      strays.push_back(Narrow(path));
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && depth > 0 &&
        !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      FindStrays(path, depth - 1, stage, strays);
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

bool LogParses(const std::string& text) {
  const nlohmann::json log = nlohmann::json::parse(text, nullptr, false);
  if (log.is_discarded() || !log.is_array()) return false;
  for (const nlohmann::json& record : log) {
    if (!record.is_object() || record.size() != 6) return false;
    for (const char* member : {"detailed_message", "file", "message"})
      if (!record.contains(member) || !record[member].is_string()) return false;
    for (const char* member : {"error_number", "line", "log_index"})
      if (!record.contains(member) || !record[member].is_number_integer()) return false;
  }
  return true;
}

// Whatever carries a final name at the end holds the published bytes.
void CheckFinalFiles(const Stage& stage, const FolderSampler& sampler, Outcome& outcome) {
  for (const std::string& note : sampler.incomplete) outcome.Violate(kIncomplete, note);
  for (size_t i = 0; i < stage.plan.files.size(); ++i) {
    const std::string name = Narrow(stage.localNames[i]);
    if (!FileExists(stage.FinalPath(i))) {
      if (outcome.setupStarted) outcome.Violate(kBadSetup, name + " missing when setup started");
      continue;
    }
    if (!stage.Identical(i, ReadFileBytes(stage.FinalPath(i))))
      outcome.Violate(outcome.setupStarted ? kBadSetup : kIncomplete,
                      name + " differs from the published file");
  }
}

// A request for a part after it was seen whole, with no deletion by the run in between; and
// whether the file host's faults were met: their object got as many requests (a cut and the
// changed answer after it: both).
void CheckRequests(Stage& stage, const FolderSampler& sampler,
                   const std::map<std::string, std::pair<size_t, size_t>>& partOf,
                   Outcome& outcome) {
  std::map<std::string, size_t> answered;
  for (const nlohmann::json& request : stage.release.host.Requests()) {
    const std::string path = request.value("decodedPath", "");
    if (!request.value("refused", false)) ++answered[path];
    auto part = partOf.find(path);
    if (part == partOf.end()) continue;
    auto events = sampler.events.find(part->second);
    if (events == sampler.events.end()) continue;
    const std::string time = request.value("time", "");
    char last = 0;
    std::string seen;
    for (const auto& event : events->second) {
      if (event.first >= time) break;
      last = event.second;
      seen = event.first;
    }
    if (last == 'w')
      outcome.Violate(kFetchedAgain,
                      path + " requested at " + time + ", whole on disk since " + seen);
  }
  for (FaultSpec& fault : stage.plan.faults)
    if (IsHostFault(fault.kind))
      fault.applied = answered[stage.HostPath(fault.file, fault.part)] > fault.LastAttempt();
}

}  // namespace

bool IsClearFailure(const std::wstring& text) {
  return text == velmot::texts::kGiveUp ||
         text.compare(0, 40, L"There is not enough free space on drive ") == 0;
}

void Check(Stage& stage, const FolderSampler& sampler, Outcome& outcome) {
  const Plan& plan = stage.plan;
  CheckFinalFiles(stage, sampler, outcome);
  if (outcome.ms > plan.boundMs && outcome.violations[kOverTime] == 0)
    outcome.Violate(kOverTime, std::to_string(outcome.ms) + " ms, bound " +
                                   std::to_string(plan.boundMs) + " ms");
  std::map<std::string, std::pair<size_t, size_t>> partOf;
  for (size_t i = 0; i < plan.files.size(); ++i)
    for (size_t k = 0; k < plan.files[i].Parts(); ++k)
      partOf[stage.HostPath(static_cast<int>(i), k)] = {i, k};
  CheckRequests(stage, sampler, partOf, outcome);
  CheckRefetches(stage, sampler, partOf, outcome);
  std::vector<std::string> strays;
  const std::wstring& work = stage.release.workFolder;
  const std::wstring appData = work.substr(0, work.rfind(L'/'));
  FindStrays(appData, 4, stage, strays);
  const std::wstring profile = appData.substr(0, appData.rfind(L'/', appData.rfind(L'/') - 1));
  FindStrays(profile, 1, stage, strays);
  for (const std::string& stray : strays) outcome.Violate(kWroteOutside, stray);
  if (outcome.setupStarted) return;
  const std::vector<std::string> logs = ServiceUploads(stage.uploadComputer);
  if (logs.empty()) outcome.Violate(kLogUnreadable, "no upload under the run's computer id");
  for (const std::string& log : logs)
    if (!LogParses(log))
      outcome.Violate(kLogUnreadable, "an upload does not parse: " + log.substr(0, 200));
  if (!outcome.clearFailure)
    outcome.Violate(kUnclearEnd, outcome.box.empty() ? "no box" : "box: " + Narrow(outcome.box));
}

void SoakTable::Add(unsigned long number, const Plan& plan, const Outcome& outcome) {
  ++runs_;
  setup_ += outcome.setupStarted;
  failedClearly_ += outcome.clearFailure;
  if (outcome.ms > longestMs_) {
    longestMs_ = outcome.ms;
    longestSeed_ = plan.seed;
  }
  for (int k = 0; k < kViolationKinds; ++k) violations_[k] += outcome.violations[k];
  const int bad = outcome.Violations();
  const std::string end = outcome.setupStarted   ? "setup started"
                          : outcome.clearFailure ? "failed: " + Narrow(outcome.box).substr(0, 60)
                                                 : "neither setup nor a clear failure";
  std::printf("soak run %lu seed %lu: %s in %.1f s%s\n", number, plan.seed, end.c_str(),
              static_cast<double>(outcome.ms) / 1000.0, bad ? ", VIOLATIONS:" : "");
  for (const std::string& note : outcome.notes) std::printf("soak   %s\n", note.c_str());
  std::fflush(stdout);
  if (bad)
    failing_.push_back("run " + std::to_string(number) + " seed " + std::to_string(plan.seed));
  for (const FaultSpec& fault : plan.faults) ++drawn_[fault.kind];
  for (Fault kind : outcome.met) ++met_[kind];
}

void SoakTable::Print(unsigned long seed, bool full, ULONGLONG ms) const {
  std::printf("soak runs %d (seed %lu, %s form) in %.0f s\n", runs_, seed, full ? "full" : "short",
              static_cast<double>(ms) / 1000.0);
  std::printf("soak outcome setup started %d, failed with a clear message %d, other %d\n", setup_,
              failedClearly_, runs_ - setup_ - failedClearly_);
  for (int k = 0; k < kFaultKinds; ++k)
    std::printf("soak fault %-20s drawn %4d met %4d\n", kFaultNames[k], drawn_[k], met_[k]);
  for (int k = 0; k < kViolationKinds; ++k)
    std::printf("soak violation %-42s %d\n", kViolationNames[k], violations_[k]);
  std::printf("soak longest run %.1f s (seed %lu)\n", static_cast<double>(longestMs_) / 1000.0,
              longestSeed_);
  for (const std::string& line : failing_) std::printf("soak FAILED %s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace testsupport::soak
