// Base of every background activity: owns one operating-system thread that runs the
// subclass's Run(). The owner starts it and stops it: Stop(timeoutMs) clears the running
// flag (the cooperative stop request), waits, and terminates the thread if the wait runs
// out. Run() polls IsRunning() and returns soon after it turns false. Never throws.
//
// Start, Stop and WaitForEnd are the owner's operations; they are serialised by a lock, so
// they are safe from any thread, and a body may call Stop on its own object (it then only
// clears the flag: a thread cannot wait for itself). The thread handle belongs to the object
// and is closed only by those operations and the destructor, never by the thread itself, so
// a thread that ends by itself while the owner stops it is waited on and released exactly
// once. A thread must not destroy its own object.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// TranslateStructuredException and InstallStructuredExceptionTranslator, which every
// thread body uses, live there.
#include "base/structuredexception.h"

class Orx_Thread {
 public:
  Orx_Thread();
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
  // Does nothing unless the thread is running. INFINITE waits without limit. A thread that
  // has not ended when the wait runs out is terminated; whatever it held is abandoned.
  virtual void Stop(DWORD timeoutMs);

  bool IsRunning() const { return running.load(); }
  // Waits until the thread has ended by itself (true) or the timeout ran out (false),
  // without asking it to stop. Returns true at once when no thread runs.
  bool WaitForEnd(DWORD timeoutMs);

 protected:
  std::atomic<bool> running;
  std::atomic<DWORD> threadId;

 private:
  struct Handover;
  static unsigned __stdcall ThreadEntry(void* self);
  // Both expect the handover lock to be held.
  void ReleaseIfEnded();
  void Join(DWORD timeoutMs);
  Handover* handover_;
};
