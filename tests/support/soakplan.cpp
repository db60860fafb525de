#include "support/soakplan.h"

#include <algorithm>
#include <random>
#include <set>
#include <utility>

namespace testsupport::soak {

namespace {

using Object = std::pair<int, size_t>;  // (file, part); file -1 is the document

// low..high, both included.
uint64_t Between(std::mt19937& random, uint64_t low, uint64_t high) {
  return std::uniform_int_distribution<uint64_t>(low, high)(random);
}

// Every size array is drawn whole, the unused entries too: one seed, one run.
FileSpec DrawFile(std::mt19937& random, const std::string& tag, size_t i, bool full,
                  size_t setupSize) {
  FileSpec file;
  if (i == 0) {
    // An exe's trailing bytes do not stop it from running.
    file.listed = "Setup" + tag + ".exe";
    const size_t drawn = static_cast<size_t>(Between(random, setupSize, 60000000));
    const size_t sizes[] = {setupSize, kPart, kPart + 1, drawn};
    file.size = full ? sizes[Between(random, 0, 3)] : setupSize;
    return file;
  }
  file.listed = "Data" + tag + "-" + std::to_string(i) + ".bin";
  if (full) {
    const size_t small = static_cast<size_t>(Between(random, 2, 999999));
    const size_t large = static_cast<size_t>(Between(random, 1000000, 60000000));
    const size_t sizes[] = {0, 1, kPart, kPart + 1, small, large};
    file.size = sizes[Between(random, 0, 5)];
    return file;
  }
  const size_t sizes[] = {0, 1, static_cast<size_t>(Between(random, 2, 300000)), kPart, kPart + 1};
  const uint64_t roll = Between(random, 0, 29);
  file.size = roll < 28 ? sizes[roll % 3] : sizes[3 + (roll - 28)];
  return file;
}

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

std::vector<FaultSpec> DrawFaults(std::mt19937& random, const std::vector<size_t>& parts,
                                  uint64_t bytes, bool full, bool& inProcess) {
  // Moments from outside fall within what an undisturbed run of this release takes here
  // (about 3 s of start, request and setup, and 15 MB/s or more), so that most kills and
  // outages meet the job at work rather than after its end.
  const uint64_t expectedMs = 3000 + bytes / 15000;
  const size_t count = static_cast<size_t>(Between(random, 0, 3));
  bool kill = false;
  std::set<std::pair<int, size_t>> spoiled;  // (object, request) already spoiled
  std::vector<Object> objects = {{-1, 0}}, multiPartParts;
  for (size_t i = 0; i < parts.size(); ++i)
    for (size_t k = 0; k < parts[i]; ++k) {
      objects.push_back({static_cast<int>(i), k});
      if (parts[i] > 1) multiPartParts.push_back(objects.back());
    }
  const std::vector<Object> allParts(objects.begin() + 1, objects.end());
  std::vector<FaultSpec> faults;
  while (faults.size() < count) {
    FaultSpec fault;
    fault.kind = static_cast<Fault>(Between(random, 0, kFaultKinds - 1));
    if ((fault.kind == kKill || fault.kind == kDiskFull) && (kill || inProcess)) continue;
    if (fault.kind == kOutage) {
      fault.atMs = static_cast<DWORD>(Between(random, 0, expectedMs * 3 / 4));
      fault.lengthMs =
          static_cast<DWORD>(full ? Between(random, 2000, 30000) : Between(random, 1000, 2500));
    } else if (fault.kind == kKill) {
      kill = true;
      fault.atMs = static_cast<DWORD>(Between(random, 300, expectedMs));
    } else if (fault.kind == kDeletePart) {
      const auto& pool = multiPartParts.empty() ? allParts : multiPartParts;
      const Object target = pool[Between(random, 0, pool.size() - 1)];
      fault.file = target.first;
      fault.part = target.second;
    } else if (fault.kind == kDiskFull) {
      inProcess = true;
      fault.fromQuery = static_cast<int>(Between(random, 1, 2));
    } else {
      AimAtRequest(random, full, objects, spoiled, fault);
    }
    faults.push_back(fault);
  }
  return faults;
}

// Generous for a loaded machine, so that only a hang or a wait far beyond what the faults
// explain passes it.
DWORD TimeBound(bool full, uint64_t bytes, const std::vector<FaultSpec>& faults) {
  const uint64_t mb = (bytes + 999999) / 1000000;
  const uint64_t undisturbed = (full ? 120000 : 60000) + mb * 1000;
  uint64_t bound = undisturbed;
  for (const FaultSpec& fault : faults) {
    const uint64_t value = static_cast<uint64_t>(fault.value);
    bound += fault.kind == kStall    ? value + 150000
             : fault.kind == kSlow   ? value * 1000 + 20000
             : fault.kind == kOutage ? 2 * fault.lengthMs + 70000
             : fault.kind == kKill   ? undisturbed
                                     : 20000;
  }
  return static_cast<DWORD>(bound);
}

std::string DescribeFault(const FaultSpec& f) {
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

}  // namespace

uint64_t Plan::Bytes() const {
  uint64_t sum = 0;
  for (const FileSpec& f : files) sum += f.size;
  return sum;
}

FaultSpec* Plan::Find(Fault kind) {
  for (FaultSpec& fault : faults)
    if (fault.kind == kind) return &fault;
  return nullptr;
}

Plan Draw(unsigned long seed, bool full, size_t setupSize) {
  std::mt19937 random(seed);
  Plan plan;
  plan.seed = seed;
  plan.full = full;
  const size_t count = static_cast<size_t>(Between(random, 1, 4));
  std::vector<size_t> parts;
  for (size_t i = 0; i < count; ++i) {
    plan.files.push_back(DrawFile(random, std::to_string(seed), i, full, setupSize));
    parts.push_back(plan.files.back().Parts());
  }
  plan.faults = DrawFaults(random, parts, plan.Bytes(), full, plan.inProcess);
  plan.boundMs = TimeBound(full, plan.Bytes(), plan.faults);
  return plan;
}

std::string Describe(const Plan& plan) {
  std::string text = std::to_string(plan.files.size()) + " files (";
  for (size_t i = 0; i < plan.files.size(); ++i)
    text += (i ? " " : "") + std::to_string(plan.files[i].size);
  text += " bytes), faults:";
  if (plan.faults.empty()) text += " none";
  for (const FaultSpec& f : plan.faults) text += DescribeFault(f);
  return text;
}

unsigned long RunSeed(unsigned long seed, unsigned long i) {
  uint64_t z = static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ull + i + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<unsigned long>((z ^ (z >> 31)) % 4000000000ull);
}

nlohmann::json HostStep(const FaultSpec& fault, size_t size, nlohmann::json& next) {
  const size_t at = std::min(size ? size - 1 : 0, static_cast<size_t>(fault.where * size));
  next = nullptr;
  if (fault.kind == kDrop) return {{"closeAfter", at}};
  if (fault.kind == kBroken) return {{"brokenAfter", at}};
  if (fault.kind == kBusy) return {{"status", 503}, {"storageError", "ServerBusy"}};
  if (IsCutThenChange(fault.kind)) {
    next = fault.kind == kRangeIgnored ? nlohmann::json{{"ignoreRange", true}}
                                       : nlohmann::json::object();
    return {{fault.value ? "brokenAfter" : "closeAfter", at}};
  }
  if (fault.kind == kCorrupt) return {{"corruptAt", at}};
  if (fault.kind == kServerError) return {{"status", fault.value}};
  if (fault.kind == kRefused) return {{"status", 403}};
  if (fault.kind == kStall) return {{"stallAfter", at}, {"stallMs", fault.value}};
  if (fault.kind == kSlow)
    return {{"rate", std::max<size_t>(20, size / static_cast<size_t>(fault.value))}};
  if (fault.kind == kSignIn)
    return {{"contentType", "text/html; charset=utf-8"},
            {"body", "<html><body>Sign in to use this network.</body></html>"}};
  return nullptr;
}

}  // namespace testsupport::soak
