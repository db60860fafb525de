#include "base/orx_thread.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>

namespace {

// Runs fn on a thread of its own and waits at most timeoutMs, so that a hang in the code
// under test fails the test instead of the run. On a timeout the thread is abandoned (the
// caller must then also abandon whatever fn uses).
bool FinishesWithin(DWORD timeoutMs, std::function<void()> fn) {
  auto* job = new std::function<void()>(std::move(fn));
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* f = static_cast<std::function<void()>*>(p);
        (*f)();
        delete f;
        return 0;
      },
      job, 0, nullptr);
  if (!thread) return false;
  const bool done = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return done;
}

// FinishesWithin for a call on worker; on a timeout the worker is abandoned with the thread
// (a body still running may touch it), and false tells the test to fail.
template <typename Worker>
bool FinishesOrAbandons(std::unique_ptr<Worker>& worker, DWORD timeoutMs,
                        std::function<void()> fn) {
  if (FinishesWithin(timeoutMs, std::move(fn))) return true;
  worker.release();
  return false;
}

DWORD ElapsedSince(DWORD start) { return GetTickCount() - start; }

// What a body reports to the test; it lives outside the worker so that a body still running
// while the worker is destroyed touches nothing that is gone.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<int> finished{0};
  std::atomic<int> ticks{0};
  std::atomic<DWORD> lastThreadId{0};
  std::atomic<bool> released{false};
  HANDLE started = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ~Probe() { CloseHandle(started); }
  bool WaitStarted(DWORD ms = 10000) { return WaitForSingleObject(started, ms) == WAIT_OBJECT_0; }
};

// A worker whose body's middle the test gives; the body reports its start and end to the probe.
class Body : public Orx_Thread {
 public:
  using Step = std::function<void(Body&, Probe&)>;
  Body(Probe& p, Step step) : probe_(p), step_(std::move(step)) {}
  ~Body() override { Stop(INFINITE); }
  void Run() override {
    probe_.lastThreadId = GetCurrentThreadId();
    ++probe_.runs;
    SetEvent(probe_.started);
    step_(*this, probe_);
    ++probe_.finished;
  }
  DWORD Id() const { return threadId; }

 private:
  Probe& probe_;
  Step step_;
};

// Works until asked to stop, polling the flag the way the system's workers do.
std::unique_ptr<Body> Cooperative(Probe& probe) {
  return std::make_unique<Body>(probe, [](Body& self, Probe& p) {
    while (self.IsRunning()) {
      ++p.ticks;
      Sleep(2);
    }
  });
}

// Returns after a given time without looking at the flag.
std::unique_ptr<Body> Finite(Probe& probe, DWORD ms) {
  return std::make_unique<Body>(probe, [ms](Body&, Probe&) {
    if (ms) Sleep(ms);
  });
}

// Never looks at the flag; returns only when the probe releases it.
std::unique_ptr<Body> Stubborn(Probe& probe) {
  return std::make_unique<Body>(probe, [](Body&, Probe& p) {
    while (!p.released) {
      ++p.ticks;
      Sleep(5);
    }
  });
}

TEST(Orx_Thread, StopOnANeverStartedObjectReturnsAtOnce) {
  Probe probe;
  auto worker = Cooperative(probe);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(FinishesWithin(5000, [&] { worker->Stop(INFINITE); }));
  EXPECT_LT(ElapsedSince(start), 1000u);
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_TRUE(worker->WaitForEnd(0));
  EXPECT_EQ(probe.runs, 0);
}

TEST(Orx_Thread, StopAfterTheBodyReturnedByItselfReturnsAtOnce) {
  Probe probe;
  auto worker = Finite(probe, 0);
  worker->Start();
  ASSERT_TRUE(worker->WaitForEnd(10000));
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_EQ(probe.finished, 1);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(FinishesOrAbandons(worker, 5000, [&] {
    worker->Stop(INFINITE);
    worker->Stop(INFINITE);
  })) << "Stop after the body ended hung";
  EXPECT_LT(ElapsedSince(start), 1000u);
}

TEST(Orx_Thread, StopAsksTheBodyToEndAndASecondStopReturnsAtOnce) {
  Probe probe;
  auto worker = Cooperative(probe);
  worker->Start();
  ASSERT_TRUE(probe.WaitStarted());
  EXPECT_TRUE(worker->IsRunning());
  EXPECT_NE(worker->Id(), 0u);
  EXPECT_EQ(worker->Id(), probe.lastThreadId.load());
  ASSERT_TRUE(FinishesOrAbandons(worker, 10000, [&] { worker->Stop(5000); }))
      << "Stop of a cooperative body hung";
  EXPECT_EQ(probe.finished, 1);  // ended on request, not terminated
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_EQ(worker->Id(), 0u);
  const DWORD start = GetTickCount();
  ASSERT_TRUE(FinishesWithin(5000, [&] { worker->Stop(INFINITE); }));
  EXPECT_LT(ElapsedSince(start), 1000u);
}

// A thread killed while it holds a lock (the error log's, the heap's) would hang whoever
// takes that lock next: a stop that runs out leaves the body running, and the object waits
// for it before it is started again or destroyed.
TEST(Orx_Thread, ABodyThatIgnoresTheFlagIsNeverTerminatedWhenTheTimeoutRunsOut) {
  Probe probe;
  auto worker = Stubborn(probe);
  worker->Start();
  ASSERT_TRUE(probe.WaitStarted());
  const DWORD start = GetTickCount();
  ASSERT_TRUE(FinishesOrAbandons(worker, 20000, [&] { worker->Stop(300); }))
      << "Stop(300) of a stubborn body hung";
  const DWORD elapsed = ElapsedSince(start);
  EXPECT_GE(elapsed, 250u);  // tick granularity
  EXPECT_LT(elapsed, 10000u);
  EXPECT_FALSE(worker->IsRunning());  // asked
  EXPECT_FALSE(worker->WaitForEnd(0));
  const int ticks = probe.ticks;
  Sleep(100);
  EXPECT_GT(probe.ticks, ticks) << "the body was terminated";
  probe.released = true;
  EXPECT_TRUE(worker->WaitForEnd(10000));
  ASSERT_TRUE(FinishesWithin(5000, [&] { worker.reset(); }));
}

TEST(Orx_Thread, AnObjectStartsAgainAfterEveryWayBackToIdle) {
  Probe probe;
  auto worker = Cooperative(probe);
  DWORD firstId = 0;
  for (int i = 0; i < 2; ++i) {  // stopped on request, then started again
    worker->Start();
    ASSERT_TRUE(probe.WaitStarted());
    EXPECT_TRUE(worker->IsRunning());
    if (i == 1) {
      EXPECT_NE(probe.lastThreadId.load(), firstId);
    }
    firstId = probe.lastThreadId.load();
    ASSERT_TRUE(FinishesWithin(10000, [&] { worker->Stop(5000); }));
  }
  EXPECT_EQ(probe.runs, 2);
  EXPECT_EQ(probe.finished, 2);

  Probe once;
  auto finite = Finite(once, 0);
  for (int i = 0; i < 3; ++i) {  // ended by itself, each time
    finite->Start();
    ASSERT_TRUE(finite->WaitForEnd(10000));
  }
  EXPECT_EQ(once.finished, 3);

  Probe stubborn;
  auto late = Stubborn(stubborn);
  for (int i = 0; i < 2; ++i) {  // a stop that ran out, and the body ended later, each time
    stubborn.released = false;
    late->Start();
    ASSERT_TRUE(stubborn.WaitStarted());
    ASSERT_TRUE(FinishesWithin(20000, [&] { late->Stop(50); }));
    stubborn.released = true;
    ASSERT_TRUE(late->WaitForEnd(10000));
  }
  EXPECT_EQ(stubborn.runs, 2);
}

TEST(Orx_Thread, StartWhileRunningDoesNotStartASecondThread) {
  Probe probe;
  auto worker = Cooperative(probe);
  worker->Start();
  ASSERT_TRUE(probe.WaitStarted());
  worker->Start();
  worker->Start();
  Sleep(50);
  EXPECT_EQ(probe.runs, 1);
  ASSERT_TRUE(FinishesWithin(10000, [&] { worker->Stop(5000); }));
  EXPECT_EQ(probe.finished, 1);
}

TEST(Orx_Thread, WaitForEndWaitsWithoutAskingTheBodyToStop) {
  Probe probe;
  auto worker = Cooperative(probe);
  EXPECT_TRUE(worker->WaitForEnd(INFINITE));  // no thread: at once
  worker->Start();
  ASSERT_TRUE(probe.WaitStarted());
  const DWORD start = GetTickCount();
  EXPECT_FALSE(worker->WaitForEnd(200));
  EXPECT_GE(ElapsedSince(start), 150u);
  EXPECT_TRUE(worker->IsRunning());

  Probe timed;
  auto finite = Finite(timed, 300);
  finite->Start();
  EXPECT_TRUE(finite->WaitForEnd(10000));
  EXPECT_EQ(timed.finished, 1);
  EXPECT_FALSE(finite->IsRunning());
  ASSERT_TRUE(FinishesWithin(10000, [&] { worker->Stop(5000); }));
}

// A body that stops its own object must not wait for itself.
TEST(Orx_Thread, ABodyStoppingItsOwnObjectOnlyClearsTheFlag) {
  Probe probe;
  auto worker = std::make_unique<Body>(probe, [](Body& self, Probe& p) {
    self.Stop(INFINITE);
    p.ticks = self.IsRunning() ? 1 : 2;
  });
  worker->Start();
  if (!worker->WaitForEnd(10000)) {
    worker.release();
    FAIL() << "a body that stopped itself never ended";
  }
  EXPECT_EQ(probe.finished, 1);
  EXPECT_EQ(probe.ticks, 2);
}

// The base's destructor waits for a body that the subclass did not stop.
class Unstopped : public Orx_Thread {
 public:
  explicit Unstopped(Probe& p) : probe_(&p) {}
  void Run() override {
    Probe* probe = probe_;  // the members may go away while the body still runs
    SetEvent(probe->started);
    Sleep(300);
    ++probe->finished;
  }

 private:
  Probe* probe_;
};

TEST(Orx_Thread, DestroyingAStartedObjectWaitsForItsBody) {
  Probe probe;
  auto worker = std::make_unique<Unstopped>(probe);
  worker->Start();
  ASSERT_TRUE(probe.WaitStarted());
  const DWORD start = GetTickCount();
  ASSERT_TRUE(FinishesWithin(10000, [&] { worker.reset(); }));
  EXPECT_GE(ElapsedSince(start), 200u);
  EXPECT_EQ(probe.finished, 1);
}

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Spins for a random short while: lets a body's own end and the owner's Stop or Start meet
// at every point of the handover.
void Jitter(std::mt19937& rng) {
  const int spins = static_cast<int>(rng() % 3000);
  for (volatile int i = 0; i < spins; i = i + 1) {
  }
  if (rng() % 8 == 0) Sleep(0);
}

TEST(Orx_Thread, SelfEndAndStopOrRestartRaceWithoutLeakingOrHanging) {
  Probe probe;
  auto worker = std::make_unique<Body>(
      probe, [rng = std::mt19937(7)](Body&, Probe&) mutable { Jitter(rng); });
  // A handle of the test's own that a double close (of a reused handle value) would hit.
  HANDLE sentinel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD handlesBefore = HandleCount();
  std::atomic<int> starts{0};
  std::atomic<int> notIdle{0};
  ASSERT_TRUE(FinishesOrAbandons(worker, 120000, [&] {
    std::mt19937 rng(12345);
    for (int i = 0; i < 1000; ++i) {
      worker->Start();
      ++starts;
      Jitter(rng);
      switch (rng() % 3) {
        case 0:  // the owner stops it at a random point, perhaps just as it ends
          worker->Stop(INFINITE);
          break;
        case 1:  // the owner restarts it the moment the flag clears
          while (worker->IsRunning()) {
          }
          worker->Start();
          ++starts;
          worker->Stop(INFINITE);
          break;
        default:  // the owner waits for the end, then stops an idle object
          worker->WaitForEnd(INFINITE);
          worker->Stop(INFINITE);
          break;
      }
      if (worker->IsRunning()) ++notIdle;
    }
  })) << "the Start/Stop race hung";
  EXPECT_EQ(notIdle, 0);
  EXPECT_EQ(probe.runs, starts.load());  // every Start from Idle ran its body once
  EXPECT_EQ(probe.finished, starts.load());
  EXPECT_EQ(WaitForSingleObject(sentinel, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "sentinel closed";
  worker.reset();
  if (handlesBefore != 0) {
    EXPECT_LE(HandleCount(), handlesBefore) << "thread handles leaked";
  }
  CloseHandle(sentinel);
}

}  // namespace
