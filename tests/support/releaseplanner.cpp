#include "support/releaseplanner.h"

#include <random>

namespace testsupport::soak {

namespace {

FileSpec DrawFile(std::mt19937& random, const std::string& tag, size_t i, bool full,
                  size_t setupSize) {
  FileSpec file;
  if (i == 0) {
    // An exe's trailing bytes do not stop it from running.
    file.listed = "Setup" + tag + ".exe";
    const size_t sizes[] = {setupSize, kPart, kPart + 1,
                            static_cast<size_t>(Between(random, setupSize, 60000000))};
    file.size = full ? sizes[Between(random, 0, 3)] : setupSize;
    return file;
  }
  file.listed = "Data" + tag + "-" + std::to_string(i) + ".bin";
  if (full) {
    const size_t sizes[] = {0,
                            1,
                            kPart,
                            kPart + 1,
                            static_cast<size_t>(Between(random, 2, 999999)),
                            static_cast<size_t>(Between(random, 1000000, 60000000))};
    file.size = sizes[Between(random, 0, 5)];
    return file;
  }
  const size_t sizes[] = {0, 1, static_cast<size_t>(Between(random, 2, 300000)), kPart, kPart + 1};
  const uint64_t roll = Between(random, 0, 29);
  file.size = roll < 28 ? sizes[roll % 3] : sizes[3 + (roll - 28)];
  return file;
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
  for (const FaultSpec& f : plan.faults) text += Describe(f);
  return text;
}

unsigned long RunSeed(unsigned long seed, unsigned long i) {
  uint64_t z = static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ull + i + 1;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<unsigned long>((z ^ (z >> 31)) % 4000000000ull);
}

}  // namespace testsupport::soak
