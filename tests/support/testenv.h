// Shared test helpers: temporary folders inside the test prefix, environment lookups, bounded
// waits and timings, folder removal and text conversions. Everything under tests/support
// lives in the namespace testsupport.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace testsupport {

// Value of an environment variable set by tools/test-env (empty if unset).
std::wstring Get(const wchar_t* name);
// A decimal number from the environment (campaign sizes, seeds), or fallback if unset.
unsigned long EnvNumber(const char* name, unsigned long fallback);

// Polls condition every 10 ms: true once it holds, false when timeoutMs ran out first.
template <typename Condition>
bool Eventually(Condition condition, unsigned timeoutMs = 10000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < end) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

// How long a call took, for the bounds on stops, retries and time-outs.
template <typename Call>
ULONGLONG MsTaken(Call call) {
  const ULONGLONG started = GetTickCount64();
  call();
  return GetTickCount64() - started;
}

// Runs call on a thread of its own and waits at most timeoutMs for it: true when it ended.
// When the time runs out the thread is left to go on, and whatever call uses must be left
// alone too.
bool FinishesWithin(DWORD timeoutMs, std::function<void()> call);

// Owns a worker in a test of the thread base, so that a fault there fails the test instead of
// hanging the run: waiting calls go through Finishes, and the end of the test (an early
// return from a failed assertion too) destroys the worker within 20 s. When a bound runs out
// the worker is left to the thread still in it (its body may still use it), and the test fails.
template <typename Worker>
class BoundedWorker {
 public:
  explicit BoundedWorker(std::unique_ptr<Worker> worker) : worker_(std::move(worker)) {}
  ~BoundedWorker() {
    if (worker_ && !Destroy(20000)) ADD_FAILURE() << "destroying the worker hung";
  }
  BoundedWorker(const BoundedWorker&) = delete;
  BoundedWorker& operator=(const BoundedWorker&) = delete;
  Worker* operator->() const { return worker_.get(); }
  Worker* Get() const { return worker_.get(); }

  // A call on the worker that must end within timeoutMs.
  bool Finishes(DWORD timeoutMs, std::function<void()> call) {
    bool ended = false;
    tookMs_ = MsTaken([&] { ended = FinishesWithin(timeoutMs, std::move(call)); });
    if (!ended) worker_.release();  // abandoned
    return ended;
  }
  bool Destroy(DWORD timeoutMs) {
    Worker* worker = worker_.release();
    return Finishes(timeoutMs, [worker] { delete worker; });
  }
  // How long the last Finishes or Destroy waited.
  ULONGLONG TookMs() const { return tookMs_; }
  // Hands the worker over (to Orx_Thread::Abandon).
  std::unique_ptr<Worker> Release() { return std::move(worker_); }

 private:
  std::unique_ptr<Worker> worker_;
  ULONGLONG tookMs_ = 0;
};

inline bool Contains(const std::wstring& text, const std::wstring& piece) {
  return text.find(piece) != std::wstring::npos;
}

// How often piece stands in text (occurrences that overlap count each), as in a log.
inline size_t Occurrences(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Removes folder with everything in it, read-only files included; missing is fine.
void RemoveTree(const std::wstring& folder);

// ANSI-code-page text, as the error log stores it (StringUtils::ToNarrow).
std::string Narrow(const std::wstring& text);
// UTF-8, as the test servers speak it.
std::wstring FromUtf8(const std::string& utf8);
std::string ToUtf8(const std::wstring& text);

// A fresh, empty folder (wide path with "/" separators) that is removed with its contents
// when the object goes away.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& tag = L"t");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::wstring& Path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"/" + name; }

 private:
  std::wstring path_;
};

}  // namespace testsupport
