// Base of every background activity: owns one operating-system thread that runs the
// subclass's Run(), and owns the stop request. The owner starts it and stops it:
// Stop(timeoutMs) clears the running flag and signals the stop event (the cooperative stop
// request), calls OnStopRequested() so that the subclass can cancel a blocking call, and
// waits. A thread is never terminated: one killed while it holds a lock (the error log's,
// the heap's, WinINet's) would hang whoever takes that lock next. Run() waits
// with WaitForStop(ms) instead of sleeping, polls IsRunning() between steps, and returns
// soon after a stop. Never throws.
//
// The thread entry names the thread for debuggers, installs the structured-exception
// translator (unless the subclass asks for the system's own fault handling) and catches
// whatever leaves Run(), handing it to OnEscapedException() on the thread itself.
//
// Start, Stop and WaitForEnd are the owner's operations; they are serialised by a lock, so
// they are safe from any thread, and a body may call Stop on its own object (it then only
// clears the flag and signals the event: a thread cannot wait for itself). The thread handle
// belongs to the object and is closed only by those operations and the destructor, never by
// the thread itself, so a thread that ends by itself while the owner stops it is waited on
// and released exactly once. A thread must not destroy its own object.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

#include "base/structuredexception.h"

class Orx_Thread {
 public:
  // name: shown by debuggers (where the system can name threads). translateFaults: false
  // keeps the system's own handling of processor faults on this thread.
  explicit Orx_Thread(const wchar_t* name = L"Velmot worker", bool translateFaults = true);
  // Stops the thread waiting without limit. Subclasses whose Run() uses their own members
  // must stop the thread in their own destructor first.
  virtual ~Orx_Thread();
  Orx_Thread(const Orx_Thread&) = delete;
  Orx_Thread& operator=(const Orx_Thread&) = delete;

  // Starts the thread. Does nothing while a thread of this object still runs; after the
  // previous thread ended (by itself or stopped) the object starts afresh. When the thread
  // cannot be created, running stays false and nothing is left behind.
  virtual void Start();
  virtual void Run() = 0;
  // Asks the thread to stop and waits at most timeoutMs (INFINITE: without limit) for it.
  // A thread that has not ended by then goes on; it is never terminated, its handle is
  // kept, and the next Stop, Start or the destructor waits for it. An owner that must not
  // wait longer than its bound uses StopWithin and, when that fails, Abandon.
  virtual void Stop(DWORD timeoutMs);

  // Asks the thread to stop (flag, event, OnStopRequested) and waits at most waitMs for it;
  // true when it has ended. Never terminates it: a thread stuck in a call that cannot be
  // cancelled (a WinINet read under Wine ignores the closing of its handle) goes on until
  // the call returns, and the caller must then keep the object alive, see Abandon. May be
  // called again to wait longer. waitMs 0 only asks.
  bool StopWithin(DWORD waitMs);

  // Keeps a worker that did not stop in time alive until the process ends: its thread
  // finishes on its own once its blocking call returns, and the object it uses must outlive
  // it. The object is never destroyed (a destructor would wait for the thread). The caller
  // must have cut every link from the worker to objects that go away (listeners).
  static void Abandon(std::unique_ptr<Orx_Thread> worker);
  // How many workers the process has abandoned so far.
  static int AbandonedCount();

  bool IsRunning() const { return running.load(); }
  // Waits until the thread has ended by itself (true) or the timeout ran out (false),
  // without asking it to stop. Returns true at once when no thread runs.
  bool WaitForEnd(DWORD timeoutMs);
  // As WaitForEnd, but also returns (false) as soon as a stop has been asked for, from any
  // thread: an operation that waits for its worker then hands the worker back to its owner
  // at once instead of waiting out a call the stop cannot cancel.
  bool WaitForEndOrStop(DWORD timeoutMs);

 protected:
  // Waits up to ms milliseconds; returns true at once when a stop was requested (the body
  // should then return). Replaces every Sleep in a body.
  bool WaitForStop(DWORD ms) const;
  bool StopRequested() const;
  // The manual-reset stop event, for bodies that wait on it beside other objects. Reset by
  // Start, signalled by Stop; valid for the object's life.
  HANDLE StopEvent() const;
  // Called on the stopping thread after the stop request, before the wait (never from the
  // body's own thread): cancels a blocking call (closes a WinINet request, CancelIoEx).
  // Must not block and must tolerate a body that has already ended.
  virtual void OnStopRequested() {}
  // Called on the thread with what left Run(): e is null for an exception that is not a
  // standard one. Records the class's own text; the default writes debugger output only.
  virtual void OnEscapedException(const std::exception* e);

  std::atomic<bool> running;
  std::atomic<DWORD> threadId;

 private:
  struct Handover;
  static unsigned __stdcall ThreadEntry(void* self);
  // Both expect the handover lock to be held.
  void ReleaseIfEnded();
  void Join(DWORD timeoutMs);
  bool WaitForEndOf(DWORD timeoutMs, bool orStop);
  Handover* handover_;
  const wchar_t* name_;
  const bool translateFaults_;
};
