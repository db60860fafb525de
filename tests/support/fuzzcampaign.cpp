#include "support/fuzzcampaign.h"

#include "support/testenv.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

// Set while an input runs; the largest allocation since its start.
std::atomic<bool> g_tracking{false};
std::atomic<size_t> g_largest{0};

template <typename Str>
Str MutateText(FuzzRandom& random, Str input, const std::vector<Str>& tokens, size_t maxSize,
               typename Str::value_type (*randomUnit)(FuzzRandom&)) {
  const size_t edits = 1 + random.Below(8);
  for (size_t e = 0; e < edits; ++e) {
    const size_t at = random.Below(input.size() + 1);
    switch (random.Below(9)) {
      case 0:  // flip one bit
        if (!input.empty()) {
          const size_t i = random.Below(input.size());
          input[i] = static_cast<typename Str::value_type>(input[i] ^ (1u << random.Below(8)));
        }
        break;
      case 1:  // one random unit written over
        if (!input.empty()) input[random.Below(input.size())] = randomUnit(random);
        break;
      case 2:  // random units inserted
        for (size_t n = 1 + random.Below(4); n > 0; --n) input.insert(at, 1, randomUnit(random));
        break;
      case 3:
      case 4:  // a dictionary token inserted
        if (!tokens.empty()) input.insert(at, random.Pick(tokens));
        break;
      case 5:  // a dictionary token written over
        if (!tokens.empty()) {
          const Str& token = random.Pick(tokens);
          input.replace(at, std::min(token.size(), input.size() - at), token);
        }
        break;
      case 6:  // a range deleted
        input.erase(at, random.Below(16) + 1);
        break;
      case 7: {  // a range duplicated, sometimes many times
        const Str range = input.substr(at, random.Below(32) + 1);
        const size_t copies = random.OneIn(8) ? random.Below(200) + 1 : 1;
        for (size_t n = 0; n < copies && input.size() + range.size() <= maxSize; ++n)
          input.insert(at, range);
        break;
      }
      default:  // cut short
        if (random.OneIn(3)) input.resize(at);
        break;
    }
  }
  if (input.size() > maxSize) input.resize(maxSize);
  return input;
}

char RandomByte(FuzzRandom& random) { return static_cast<char>(random.Next()); }

wchar_t RandomUnit(FuzzRandom& random) {
  switch (random.Below(6)) {
    case 0:
      return static_cast<wchar_t>(random.Below(0x10000));
    case 1:
      return static_cast<wchar_t>(0xD800 + random.Below(0x800));  // surrogate halves
    case 2:
      return static_cast<wchar_t>(0x80 + random.Below(0x780));
    case 3:
      return static_cast<wchar_t>(random.Below(0x20));  // control characters and zero
    default:
      return static_cast<wchar_t>(0x20 + random.Below(0x5F));
  }
}

size_t EnvironmentNumber(const wchar_t* name, size_t fallback) {
  const std::wstring text = Get(name);
  if (text.empty()) return fallback;
  return static_cast<size_t>(std::wcstoull(text.c_str(), nullptr, 10));
}

template <typename Str>
std::string PrintableText(const Str& input) {
  std::string out;
  const size_t shown = std::min<size_t>(input.size(), 300);
  for (size_t i = 0; i < shown; ++i) {
    const unsigned c = static_cast<unsigned>(input[i]) & (sizeof(input[i]) == 1 ? 0xFF : 0xFFFF);
    char escape[16];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      std::snprintf(escape, sizeof(escape), c < 0x100 ? "\\x%02x" : "\\u%04x", c);
      out += escape;
    }
  }
  if (shown < input.size()) out += "... (" + std::to_string(input.size()) + " units)";
  return out;
}

}  // namespace

std::wstring FuzzRandom::Wide(size_t maxLength) {
  std::wstring text(Below(maxLength + 1), L'\0');
  for (auto& c : text) c = RandomUnit(*this);
  return text;
}

std::string Mutate(FuzzRandom& random, std::string input, const std::vector<std::string>& tokens,
                   size_t maxSize) {
  return MutateText(random, std::move(input), tokens, maxSize, RandomByte);
}

std::wstring Mutate(FuzzRandom& random, std::wstring input, const std::vector<std::wstring>& tokens,
                    size_t maxSize) {
  return MutateText(random, std::move(input), tokens, maxSize, RandomUnit);
}

std::string Printable(const std::string& input) { return PrintableText(input); }
std::string Printable(const std::wstring& input) { return PrintableText(input); }

void NoteAllocation(size_t bytes) {
  if (!g_tracking.load(std::memory_order_relaxed)) return;
  size_t seen = g_largest.load(std::memory_order_relaxed);
  while (bytes > seen && !g_largest.compare_exchange_weak(seen, bytes)) {
  }
}

FuzzCampaign::FuzzCampaign(const char* parser, uint64_t salt, size_t parsers)
    : FuzzRandom(EnvironmentNumber(L"VELMOT_FUZZ_SEED", 15) * 0x9E3779B97F4A7C15ull ^ salt),
      parser_(parser),
      seed_(EnvironmentNumber(L"VELMOT_FUZZ_SEED", 15)),
      inputs_((EnvironmentNumber(L"VELMOT_FUZZ_INPUTS", 20000) + parsers - 1) / parsers),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  watchdog_ = std::thread([this] { Watch(); });
}

FuzzCampaign::~FuzzCampaign() {
  SetEvent(stop_);
  watchdog_.join();
  CloseHandle(stop_);
}

void FuzzCampaign::Begin(size_t inputBytes) {
  largestInput_ = std::max(largestInput_, inputBytes);
  current_ = index_++;
  beganAt_ = GetTickCount64();
  inputStart_ = beganAt_;
  g_largest = 0;
  g_tracking = true;
}

size_t FuzzCampaign::End() {
  g_tracking = false;
  const size_t largest = g_largest.load();
  largestAllocation_ = std::max(largestAllocation_, largest);
  const ULONGLONG took = GetTickCount64() - beganAt_;
  inputStart_ = 0;
  longestMs_ = std::max(longestMs_, took);
  if (took > kHangMs) ++hangs_;
  totalSeconds_ =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - campaignStart_).count();
  return largest;
}

void FuzzCampaign::Report() const {
  std::printf(
      "fuzz %s: %zu inputs in %.2f s, longest input %llu ms, hangs %zu, largest input %zu "
      "bytes, largest allocation %zu bytes, seed %llu\n",
      parser_.c_str(), index_, totalSeconds_, static_cast<unsigned long long>(longestMs_), hangs_,
      largestInput_, largestAllocation_, static_cast<unsigned long long>(seed_));
  std::fflush(stdout);
}

void FuzzCampaign::Watch() {
  while (WaitForSingleObject(stop_, 500) == WAIT_TIMEOUT) {
    const ULONGLONG started = inputStart_.load();
    if (started != 0 && GetTickCount64() - started > kAbortMs) {
      std::printf("fuzz %s: HANG: input %zu has run for more than %llu s (seed %llu)\n",
                  parser_.c_str(), current_.load(), kAbortMs / 1000,
                  static_cast<unsigned long long>(seed_));
      std::fflush(stdout);
      TerminateProcess(GetCurrentProcess(), 3);
    }
  }
}

}  // namespace testsupport
