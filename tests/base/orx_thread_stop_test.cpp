// The stop the thread base owns, the hooks it calls, a bounded stop that never terminates,
// and a worker left to end by itself.
#include "base/orx_thread.h"

#include "base/handles.h"
#include "support/testenv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// Opaque to the optimiser, so that the load below stays a load (a visible null dereference
// may be compiled into a trap instruction).
volatile uintptr_t g_badAddress = 0x10;
volatile int g_sink = 0;

// A body that waits long slices on the stop event; or is stuck until released in a call that
// ignores the stop (as a WinINet read under Wine does after its handle was closed); or lets
// an exception or a processor fault (translated by the base) escape. A stuck body is
// released when its object goes, so that a failed assertion leaves no wait without end.
class Worker : public Orx_Thread {
 public:
  enum Body { kWaits, kStuck, kThrowsStandard, kThrowsOther, kFaults };
  explicit Worker(Body body = kWaits) : Orx_Thread(L"Worker"), body_(body) {}
  ~Worker() override {
    Release();
    Stop(INFINITE);
  }
  void Run() override {
    started = true;
    if (body_ == kWaits) {
      while (!WaitForStop(60000)) ++slices;
      sawStop = StopRequested();
      return;
    }
    if (body_ == kStuck) {
      WaitForSingleObject(release_.Get(), INFINITE);
      ended = true;
      return;
    }
    if (body_ == kFaults) g_sink = *reinterpret_cast<volatile int*>(g_badAddress);
    if (body_ == kThrowsStandard) throw std::runtime_error("body failed");
    throw 42;
  }
  void OnStopRequested() override {
    hookThread = GetCurrentThreadId();
    ++hooks;
  }
  void OnEscapedException(const std::exception* e) override {
    text = e ? e->what() : "not standard";
    thread = GetCurrentThreadId();
    ownThread = threadId.load();
  }
  void Release() { SetEvent(release_.Get()); }

  std::atomic<bool> started{false};
  std::atomic<bool> sawStop{false};
  std::atomic<bool> ended{false};
  std::atomic<int> slices{0};
  std::atomic<int> hooks{0};
  std::atomic<DWORD> hookThread{0};
  std::string text;
  DWORD thread = 0;
  DWORD ownThread = 0;

 private:
  const Body body_;
  velmot::KernelHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

using Bounded = testsupport::BoundedWorker<Worker>;
Bounded Make(Worker::Body body = Worker::kWaits) { return Bounded(std::make_unique<Worker>(body)); }

bool WaitUntil(const std::atomic<bool>& flag) {
  return testsupport::Eventually([&] { return flag.load(); });
}

TEST(Orx_ThreadStop, AStopEndsAWaitForStopAtOnceAndTheHookRunsOnTheStopper) {
  auto waiter = Make();
  waiter->Start();
  ASSERT_TRUE(WaitUntil(waiter->started));
  std::atomic<DWORD> stopper{0};
  ASSERT_TRUE(waiter.Finishes(20000, [&] {
    stopper = GetCurrentThreadId();
    waiter->Stop(INFINITE);
  }));
  EXPECT_LT(waiter.TookMs(), 5000u);  // far below the 60 s slice
  EXPECT_TRUE(waiter->sawStop.load());
  EXPECT_EQ(waiter->slices.load(), 0);
  EXPECT_EQ(waiter->hookThread.load(), stopper.load());
  EXPECT_FALSE(waiter->IsRunning());
}

TEST(Orx_ThreadStop, ARestartClearsTheEarlierStopRequest) {
  auto waiter = Make();
  for (int round = 0; round < 3; ++round) {
    waiter->started = false;
    waiter->Start();
    ASSERT_TRUE(WaitUntil(waiter->started));
    Sleep(50);
    // The body still waits: the stop of the previous round does not linger.
    EXPECT_TRUE(waiter->IsRunning()) << "round " << round;
    ASSERT_TRUE(waiter.Finishes(20000, [&] { waiter->Stop(INFINITE); }));
  }
}

TEST(Orx_ThreadStop, StopBeforeAnyStartNeitherHangsNorCallsTheHook) {
  auto waiter = Make();
  ASSERT_TRUE(waiter.Finishes(20000, [&] { waiter->Stop(100); }));
  EXPECT_EQ(waiter->hookThread.load(), 0u);
}

TEST(Orx_ThreadStop, WhatEscapesRunReachesTheHookOnTheThreadItself) {
  for (auto body : {Worker::kThrowsStandard, Worker::kThrowsOther}) {
    auto thrower = Make(body);
    thrower->Start();
    ASSERT_TRUE(thrower->WaitForEnd(20000));
    EXPECT_EQ(thrower->text, body == Worker::kThrowsStandard ? "body failed" : "not standard");
    EXPECT_NE(thrower->thread, GetCurrentThreadId());
    EXPECT_EQ(thrower->thread, thrower->ownThread);
    EXPECT_FALSE(thrower->IsRunning());
  }
}

TEST(Orx_ThreadStop, AnAccessViolationInRunIsTranslatedAndHandedToTheHook) {
  auto faulter = Make(Worker::kFaults);
  faulter->Start();
  ASSERT_TRUE(faulter->WaitForEnd(20000));
  EXPECT_EQ(faulter->text.rfind("Win32 Exception occurred. Code: 0xc0000005 at address 0x", 0), 0u)
      << faulter->text;
}

TEST(Orx_ThreadStop, StopWithinAsksOnceWaitsItsBoundAndNeverTerminates) {
  auto stuck = Make(Worker::kStuck);
  EXPECT_TRUE(stuck->StopWithin(100));  // never started: nothing to wait for
  stuck->Start();
  ASSERT_TRUE(WaitUntil(stuck->started));
  const ULONGLONG took = testsupport::MsTaken([&] { EXPECT_FALSE(stuck->StopWithin(300)); });
  EXPECT_GE(took, 250u);
  EXPECT_LT(took, 3000u);
  EXPECT_FALSE(stuck->IsRunning());  // asked
  EXPECT_FALSE(stuck->StopWithin(0));
  EXPECT_EQ(stuck->hooks.load(), 1);  // the hook runs for the first request only
  EXPECT_FALSE(stuck->ended.load());  // not terminated: the body is still there
  stuck->Release();
  EXPECT_TRUE(stuck->StopWithin(5000));
  EXPECT_TRUE(stuck->ended.load());
  EXPECT_TRUE(stuck->StopWithin(0));
}

TEST(Orx_ThreadStop, AnAbandonedWorkerEndsByItselfOnItsOwnObject) {
  auto stuck = Make(Worker::kStuck);
  Worker* raw = stuck.Get();
  raw->Start();
  ASSERT_TRUE(WaitUntil(raw->started));
  ASSERT_FALSE(raw->StopWithin(50));
  const int before = Orx_Thread::AbandonedCount();
  Orx_Thread::Abandon(stuck.Release());
  EXPECT_EQ(Orx_Thread::AbandonedCount(), before + 1);
  // The object lives on; its thread ends when the call returns.
  raw->Release();
  EXPECT_TRUE(WaitUntil(raw->ended));
  EXPECT_TRUE(raw->WaitForEnd(5000));
}

}  // namespace
