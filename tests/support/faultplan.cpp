#include "support/faultplan.h"

#include <algorithm>
#include <set>
#include <utility>

namespace testsupport::soak {

const char* const kFaultNames[kFaultKinds] = {
    "dropped connection", "broken connection",   "corrupt bytes", "5xx answer",
    "503 ServerBusy",     "403, link renewed",   "stall",         "slow rate",
    "cut, range ignored", "cut, object changed", "sign-in page",  "outage",
    "kill and rerun",     "part deleted",        "disk full"};

namespace {

using Object = std::pair<int, size_t>;  // (file, part); file -1 is the document

// The document is always fetched twice in a pass, a part once: a later request of a part
// comes only after an earlier fault on it. A cut followed by a changed answer spoils two
// requests in a row; no request is spoiled twice.
void AimAtRequest(std::mt19937& random, bool full, const std::vector<Object>& objects,
                  std::set<std::pair<int, size_t>>& spoiled, FaultSpec& fault) {
  const Object target = objects[Between(random, 0, objects.size() - 1)];
  fault.file = target.first;
  fault.part = target.second;
  fault.attempt = target.first < 0 ? Between(random, 0, 1) : 0;
  const int object = target.first * 100000 + static_cast<int>(target.second);
  const size_t steps = fault.LastAttempt() - fault.attempt + 1;
  auto free = [&](size_t attempt) {
    for (size_t k = 0; k < steps; ++k)
      if (spoiled.count({object, attempt + k})) return false;
    return true;
  };
  while (!free(fault.attempt)) ++fault.attempt;
  for (size_t k = 0; k < steps; ++k) spoiled.insert({object, fault.attempt + k});
  fault.where = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  if (fault.kind == kServerError) fault.value = 500 + static_cast<int>(Between(random, 0, 3));
  // The cut before the changed answer: 0 a clean close, 1 bytes that are no TLS record.
  if (IsCutThenChange(fault.kind)) fault.value = static_cast<int>(Between(random, 0, 1));
  if (fault.kind == kStall)
    fault.value = static_cast<int>(full ? 125000 : Between(random, 1000, 2500));
  if (fault.kind == kSlow)
    fault.value = static_cast<int>(full ? Between(random, 2, 15) : Between(random, 1, 2));
}

}  // namespace

std::vector<FaultSpec> DrawFaults(std::mt19937& random, const std::vector<size_t>& parts,
                                  uint64_t bytes, bool full, bool& inProcess) {
  // Moments from outside fall within what an undisturbed run of this release takes here
  // (about 3 s of start, request and setup, and 15 MB/s or more), so that most kills and
  // outages meet the job at work rather than after its end.
  const uint64_t expectedMs = 3000 + bytes / 15000;
  const size_t count = static_cast<size_t>(Between(random, 0, 3));
  bool kill = false;
  std::set<std::pair<int, size_t>> spoiled;  // (object, request) already spoiled
  std::vector<Object> objects = {{-1, 0}};
  std::vector<Object> multiPartParts, allParts;
  for (size_t i = 0; i < parts.size(); ++i) {
    for (size_t k = 0; k < parts[i]; ++k) {
      objects.push_back({static_cast<int>(i), k});
      allParts.push_back({static_cast<int>(i), k});
      if (parts[i] > 1) multiPartParts.push_back({static_cast<int>(i), k});
    }
  }
  std::vector<FaultSpec> faults;
  while (faults.size() < count) {
    FaultSpec fault;
    fault.kind = static_cast<Fault>(Between(random, 0, kFaultKinds - 1));
    if ((fault.kind == kKill || fault.kind == kDiskFull) && (kill || inProcess)) continue;
    switch (fault.kind) {
      case kOutage:
        fault.atMs = static_cast<DWORD>(Between(random, 0, expectedMs * 3 / 4));
        fault.lengthMs =
            static_cast<DWORD>(full ? Between(random, 2000, 30000) : Between(random, 1000, 2500));
        break;
      case kKill:
        kill = true;
        fault.atMs = static_cast<DWORD>(Between(random, 300, expectedMs));
        break;
      case kDeletePart: {
        const auto& pool = multiPartParts.empty() ? allParts : multiPartParts;
        const Object target = pool[Between(random, 0, pool.size() - 1)];
        fault.file = target.first;
        fault.part = target.second;
        break;
      }
      case kDiskFull:
        inProcess = true;
        fault.fromQuery = static_cast<int>(Between(random, 1, 2));
        break;
      default:
        AimAtRequest(random, full, objects, spoiled, fault);
        break;
    }
    faults.push_back(fault);
  }
  return faults;
}

DWORD TimeBound(bool full, uint64_t bytes, const std::vector<FaultSpec>& faults) {
  const uint64_t mb = (bytes + 999999) / 1000000;
  const uint64_t undisturbed = (full ? 120000 : 60000) + mb * 1000;
  uint64_t bound = undisturbed;
  for (const FaultSpec& fault : faults) {
    switch (fault.kind) {
      case kStall:
        bound += static_cast<uint64_t>(fault.value) + 150000;
        break;
      case kSlow:
        bound += static_cast<uint64_t>(fault.value) * 1000 + 20000;
        break;
      case kOutage:
        bound += 2 * fault.lengthMs + 70000;
        break;
      case kKill:
        bound += undisturbed;
        break;
      default:
        bound += 20000;
        break;
    }
  }
  return static_cast<DWORD>(bound);
}

std::string Describe(const FaultSpec& f) {
  const std::string ofFile = " of file " + std::to_string(f.file);
  std::string text = std::string(" [") + kFaultNames[f.kind];
  if (f.kind == kOutage) text += " " + std::to_string(f.lengthMs) + " ms";
  if (f.kind == kOutage || f.kind == kKill) text += " at " + std::to_string(f.atMs) + " ms";
  if (f.kind == kDiskFull) text += " from query " + std::to_string(f.fromQuery);
  if (f.kind == kDeletePart) text += " part " + std::to_string(f.part) + ofFile;
  if (IsHostFault(f.kind)) {
    text += f.file < 0 ? " on the document" : " on part " + std::to_string(f.part) + ofFile;
    text += ", request " + std::to_string(f.attempt + 1);
    if (IsCutThenChange(f.kind)) text += f.value ? " broken" : " closed";
  }
  return text + "]";
}

nlohmann::json HostStep(const FaultSpec& fault, size_t size, nlohmann::json& next) {
  const size_t at = std::min(size ? size - 1 : 0, static_cast<size_t>(fault.where * size));
  next = nullptr;
  switch (fault.kind) {
    case kDrop:
      return {{"closeAfter", at}};
    case kBroken:
      return {{"brokenAfter", at}};
    case kBusy:
      return {{"status", 503}, {"storageError", "ServerBusy"}};
    case kRangeIgnored:
    case kObjectChanged:
      next = fault.kind == kRangeIgnored ? nlohmann::json{{"ignoreRange", true}}
                                         : nlohmann::json::object();
      return {{fault.value ? "brokenAfter" : "closeAfter", at}};
    case kCorrupt:
      return {{"corruptAt", at}};
    case kServerError:
      return {{"status", fault.value}};
    case kRefused:
      return {{"status", 403}};
    case kStall:
      return {{"stallAfter", at}, {"stallMs", fault.value}};
    case kSlow:
      return {{"rate", std::max<size_t>(20, size / static_cast<size_t>(fault.value))}};
    case kSignIn:
      return {{"contentType", "text/html; charset=utf-8"},
              {"body", "<html><body>Sign in to use this network.</body></html>"}};
    default:
      return nullptr;
  }
}

}  // namespace testsupport::soak
