// Base of every background activity: owns one operating-system thread that runs the
// subclass's Run(). The owner starts it and stops it: Stop(timeoutMs) clears the running
// flag (the cooperative stop request), waits, and terminates the thread if the wait runs
// out. Run() polls IsRunning() and returns soon after it turns false. Never throws.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class Orx_Thread {
 public:
  Orx_Thread();
  // Stops the thread waiting without limit. Subclasses whose Run() uses their own members
  // must stop the thread in their own destructor first.
  virtual ~Orx_Thread();
  Orx_Thread(const Orx_Thread&) = delete;
  Orx_Thread& operator=(const Orx_Thread&) = delete;

  virtual void Start();
  virtual void Run() = 0;
  // Does nothing unless the thread is running. INFINITE waits without limit.
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
  Handover* handover_;
};

// The structured-exception translator: throws std::exception with the text
// "Win32 Exception occurred. Code: 0x%x at address 0x%x" (code, low 32 bits of the address).
void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);
// Installs the translator for the calling thread only. Thread bodies call it first.
void InstallStructuredExceptionTranslator();
