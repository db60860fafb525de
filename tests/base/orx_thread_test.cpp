#include "base/orx_thread.h"

#include "support/testenv.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>

namespace {

using testsupport::BoundedWorker;
using testsupport::MsTaken;

// What a body reports to the test. The body holds it too, so that a body still running in a
// worker abandoned after a bound ran out touches nothing that is gone.
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
  Body(std::shared_ptr<Probe> p, Step step) : probe_(std::move(p)), step_(std::move(step)) {}
  ~Body() override {
    probe_->released = true;  // a stubborn body left behind by a failed assertion
    Stop(INFINITE);
  }
  void Run() override {
    probe_->lastThreadId = GetCurrentThreadId();
    ++probe_->runs;
    SetEvent(probe_->started);
    step_(*this, *probe_);
    ++probe_->finished;
  }
  DWORD Id() const { return threadId; }

 private:
  std::shared_ptr<Probe> probe_;
  Step step_;
};

BoundedWorker<Body> Bounded(const std::shared_ptr<Probe>& probe, Body::Step step) {
  return BoundedWorker<Body>(std::make_unique<Body>(probe, std::move(step)));
}

// Works until asked to stop, polling the flag the way the system's workers do.
BoundedWorker<Body> Cooperative(const std::shared_ptr<Probe>& probe) {
  return Bounded(probe, [](Body& self, Probe& p) {
    while (self.IsRunning()) {
      ++p.ticks;
      Sleep(2);
    }
  });
}

// Returns after a given time without looking at the flag.
BoundedWorker<Body> Finite(const std::shared_ptr<Probe>& probe, DWORD ms) {
  return Bounded(probe, [ms](Body&, Probe&) {
    if (ms) Sleep(ms);
  });
}

// Never looks at the flag; returns only when the probe releases it.
BoundedWorker<Body> Stubborn(const std::shared_ptr<Probe>& probe) {
  return Bounded(probe, [](Body&, Probe& p) {
    while (!p.released) {
      ++p.ticks;
      Sleep(5);
    }
  });
}

TEST(Orx_Thread, StopOnANeverStartedObjectReturnsAtOnce) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Cooperative(probe);
  ASSERT_TRUE(worker.Finishes(5000, [&] { worker->Stop(INFINITE); }));
  EXPECT_LT(worker.TookMs(), 1000u);
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_TRUE(worker->WaitForEnd(0));
  EXPECT_EQ(probe->runs, 0);
}

TEST(Orx_Thread, StopAfterTheBodyReturnedByItselfReturnsAtOnce) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Finite(probe, 0);
  worker->Start();
  ASSERT_TRUE(worker->WaitForEnd(10000));
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_EQ(probe->finished, 1);
  ASSERT_TRUE(worker.Finishes(5000, [&] {
    worker->Stop(INFINITE);
    worker->Stop(INFINITE);
  })) << "Stop after the body ended hung";
  EXPECT_LT(worker.TookMs(), 1000u);
}

TEST(Orx_Thread, StopAsksTheBodyToEndAndASecondStopReturnsAtOnce) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Cooperative(probe);
  worker->Start();
  ASSERT_TRUE(probe->WaitStarted());
  EXPECT_TRUE(worker->IsRunning());
  EXPECT_NE(worker->Id(), 0u);
  EXPECT_EQ(worker->Id(), probe->lastThreadId.load());
  ASSERT_TRUE(worker.Finishes(10000, [&] { worker->Stop(5000); }))
      << "Stop of a cooperative body hung";
  EXPECT_EQ(probe->finished, 1);  // ended on request, not terminated
  EXPECT_FALSE(worker->IsRunning());
  EXPECT_EQ(worker->Id(), 0u);
  ASSERT_TRUE(worker.Finishes(5000, [&] { worker->Stop(INFINITE); }));
  EXPECT_LT(worker.TookMs(), 1000u);
}

// A thread killed while it holds a lock (the error log's, the heap's) would hang whoever
// takes that lock next: a stop that runs out leaves the body running, and the object waits
// for it before it is started again or destroyed.
TEST(Orx_Thread, ABodyThatIgnoresTheFlagIsNeverTerminatedWhenTheTimeoutRunsOut) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Stubborn(probe);
  worker->Start();
  ASSERT_TRUE(probe->WaitStarted());
  ASSERT_TRUE(worker.Finishes(20000, [&] { worker->Stop(300); }))
      << "Stop(300) of a stubborn body hung";
  EXPECT_GE(worker.TookMs(), 250u);  // tick granularity
  EXPECT_LT(worker.TookMs(), 10000u);
  EXPECT_FALSE(worker->IsRunning());  // asked
  EXPECT_FALSE(worker->WaitForEnd(0));
  const int ticks = probe->ticks;
  Sleep(100);
  EXPECT_GT(probe->ticks, ticks) << "the body was terminated";
  probe->released = true;
  EXPECT_TRUE(worker->WaitForEnd(10000));
  ASSERT_TRUE(worker.Destroy(5000));
}

TEST(Orx_Thread, AnObjectStartsAgainAfterEveryWayBackToIdle) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Cooperative(probe);
  DWORD firstId = 0;
  for (int i = 0; i < 2; ++i) {  // stopped on request, then started again
    worker->Start();
    ASSERT_TRUE(probe->WaitStarted());
    EXPECT_TRUE(worker->IsRunning());
    if (i == 1) {
      EXPECT_NE(probe->lastThreadId.load(), firstId);
    }
    firstId = probe->lastThreadId.load();
    ASSERT_TRUE(worker.Finishes(10000, [&] { worker->Stop(5000); }));
  }
  EXPECT_EQ(probe->runs, 2);
  EXPECT_EQ(probe->finished, 2);

  const auto once = std::make_shared<Probe>();
  auto finite = Finite(once, 0);
  for (int i = 0; i < 3; ++i) {  // ended by itself, each time
    finite->Start();
    ASSERT_TRUE(finite->WaitForEnd(10000));
  }
  EXPECT_EQ(once->finished, 3);

  const auto stubborn = std::make_shared<Probe>();
  auto late = Stubborn(stubborn);
  for (int i = 0; i < 2; ++i) {  // a stop that ran out, and the body ended later, each time
    stubborn->released = false;
    late->Start();
    ASSERT_TRUE(stubborn->WaitStarted());
    ASSERT_TRUE(late.Finishes(20000, [&] { late->Stop(50); }));
    stubborn->released = true;
    ASSERT_TRUE(late->WaitForEnd(10000));
  }
  EXPECT_EQ(stubborn->runs, 2);
}

TEST(Orx_Thread, StartWhileRunningDoesNotStartASecondThread) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Cooperative(probe);
  worker->Start();
  ASSERT_TRUE(probe->WaitStarted());
  worker->Start();
  worker->Start();
  Sleep(50);
  EXPECT_EQ(probe->runs, 1);
  ASSERT_TRUE(worker.Finishes(10000, [&] { worker->Stop(5000); }));
  EXPECT_EQ(probe->finished, 1);
}

TEST(Orx_Thread, WaitForEndWaitsWithoutAskingTheBodyToStop) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Cooperative(probe);
  // No thread: at once.
  ASSERT_TRUE(worker.Finishes(5000, [&] { EXPECT_TRUE(worker->WaitForEnd(INFINITE)); }));
  worker->Start();
  ASSERT_TRUE(probe->WaitStarted());
  EXPECT_GE(MsTaken([&] { EXPECT_FALSE(worker->WaitForEnd(200)); }), 150u);
  EXPECT_TRUE(worker->IsRunning());

  const auto timed = std::make_shared<Probe>();
  auto finite = Finite(timed, 300);
  finite->Start();
  EXPECT_TRUE(finite->WaitForEnd(10000));
  EXPECT_EQ(timed->finished, 1);
  EXPECT_FALSE(finite->IsRunning());
  ASSERT_TRUE(worker.Finishes(10000, [&] { worker->Stop(5000); }));
}

// A body that stops its own object must not wait for itself.
TEST(Orx_Thread, ABodyStoppingItsOwnObjectOnlyClearsTheFlag) {
  const auto probe = std::make_shared<Probe>();
  auto worker = Bounded(probe, [](Body& self, Probe& p) {
    self.Stop(INFINITE);
    p.ticks = self.IsRunning() ? 1 : 2;
  });
  worker->Start();
  ASSERT_TRUE(worker->WaitForEnd(10000)) << "a body that stopped itself never ended";
  EXPECT_EQ(probe->finished, 1);
  EXPECT_EQ(probe->ticks, 2);
}

// The base's destructor waits for a body that the subclass did not stop.
class Unstopped : public Orx_Thread {
 public:
  explicit Unstopped(std::shared_ptr<Probe> p) : probe_(std::move(p)) {}
  void Run() override {
    // The members may go away while the body still runs.
    const std::shared_ptr<Probe> probe = probe_;
    SetEvent(probe->started);
    Sleep(300);
    ++probe->finished;
  }

 private:
  std::shared_ptr<Probe> probe_;
};

TEST(Orx_Thread, DestroyingAStartedObjectWaitsForItsBody) {
  const auto probe = std::make_shared<Probe>();
  BoundedWorker<Unstopped> worker(std::make_unique<Unstopped>(probe));
  worker->Start();
  ASSERT_TRUE(probe->WaitStarted());
  ASSERT_TRUE(worker.Destroy(10000));
  EXPECT_GE(worker.TookMs(), 200u);
  EXPECT_EQ(probe->finished, 1);
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
  const auto probe = std::make_shared<Probe>();
  auto worker = Bounded(probe, [rng = std::mt19937(7)](Body&, Probe&) mutable { Jitter(rng); });
  // A handle of the test's own that a double close (of a reused handle value) would hit.
  HANDLE sentinel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const DWORD handlesBefore = HandleCount();
  // What the owner's loop counts outlives the test when the loop hangs and is abandoned.
  struct Tally {
    std::atomic<int> starts{0};
    std::atomic<int> notIdle{0};
  };
  const auto tally = std::make_shared<Tally>();
  ASSERT_TRUE(worker.Finishes(120000, [body = worker.Get(), tally] {
    std::mt19937 rng(12345);
    for (int i = 0; i < 1000; ++i) {
      body->Start();
      ++tally->starts;
      Jitter(rng);
      switch (rng() % 3) {
        case 0:  // the owner stops it at a random point, perhaps just as it ends
          body->Stop(INFINITE);
          break;
        case 1:  // the owner restarts it the moment the flag clears
          while (body->IsRunning()) {
          }
          body->Start();
          ++tally->starts;
          body->Stop(INFINITE);
          break;
        default:  // the owner waits for the end, then stops an idle object
          body->WaitForEnd(INFINITE);
          body->Stop(INFINITE);
          break;
      }
      if (body->IsRunning()) ++tally->notIdle;
    }
  })) << "the Start/Stop race hung";
  EXPECT_EQ(tally->notIdle, 0);
  EXPECT_EQ(probe->runs, tally->starts.load());  // every Start from Idle ran its body once
  EXPECT_EQ(probe->finished, tally->starts.load());
  EXPECT_EQ(WaitForSingleObject(sentinel, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "sentinel closed";
  ASSERT_TRUE(worker.Destroy(20000));
  if (handlesBefore != 0) {
    EXPECT_LE(HandleCount(), handlesBefore) << "thread handles leaked";
  }
  CloseHandle(sentinel);
}

}  // namespace
