#include "base/orx_thread.h"

#include <process.h>

#include <atomic>
#include <exception>
#include <string>

#include "base/handles.h"

namespace {

bool HasEnded(HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }

// SetThreadDescription came with Windows 10 1607; older builds lack the export, so it is
// looked up rather than imported (an import would keep the program from starting there).
using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

void NameCurrentThread(const wchar_t* name) {
  static const SetThreadDescriptionFn setDescription = [] {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    return reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(found));
  }();
  if (setDescription && name) setDescription(GetCurrentThread(), name);
}

}  // namespace

// The owner's side of the thread: the handle and the lock that serialises Start, Stop and
// WaitForEnd, which the thread itself never touches, and the stop event, which it waits on.
struct Orx_Thread::Handover {
  velmot::CriticalSection lock;
  velmot::KernelHandle thread;
  velmot::KernelHandle stopEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

Orx_Thread::Orx_Thread(const wchar_t* name, bool translateFaults)
    : running(false),
      threadId(0),
      handover_(new Handover),
      name_(name),
      translateFaults_(translateFaults) {}

Orx_Thread::~Orx_Thread() {
  Orx_Thread::Stop(INFINITE);
  {
    // Stop does nothing when the body has already cleared the flag: the thread may still
    // be on its way out of ThreadEntry, touching this object, so wait for it.
    velmot::CriticalSectionLock hold(handover_->lock);
    if (handover_->thread) Join(INFINITE);
  }
  delete handover_;
}

void Orx_Thread::Start() {
  velmot::CriticalSectionLock hold(handover_->lock);
  if (handover_->thread) {
    if (running.load() && !HasEnded(handover_->thread.Get())) return;
    // The previous thread has ended or was asked to stop: let it finish before a new one
    // may set the flags it clears on its way out.
    Join(INFINITE);
  }
  if (handover_->stopEvent) ResetEvent(handover_->stopEvent.Get());
  running = true;
  unsigned id = 0;
  // Created suspended so that the handle and the identifier are in place before the body
  // can run, and before a quick body can clear them again.
  uintptr_t created =
      _beginthreadex(nullptr, 0, &Orx_Thread::ThreadEntry, this, CREATE_SUSPENDED, &id);
  if (created == 0) {
    running = false;
    return;
  }
  handover_->thread.Reset(reinterpret_cast<HANDLE>(created));
  threadId = id;
  if (ResumeThread(handover_->thread.Get()) == static_cast<DWORD>(-1)) {
    // The thread never ran and never will: it stays suspended, holding nothing, and is
    // treated like one that could not be created.
    OutputDebugStringW(L"Orx_Thread: a new thread could not be resumed\n");
    handover_->thread.Reset();
    threadId = 0;
    running = false;
  }
}

void Orx_Thread::Stop(DWORD timeoutMs) {
  // A body stopping its own object can only ask; waiting for itself would never end. Checked
  // before the lock, which the owner may hold while it waits for this very thread.
  if (threadId.load() != 0 && threadId.load() == GetCurrentThreadId()) {
    running = false;
    if (handover_->stopEvent) SetEvent(handover_->stopEvent.Get());
    return;
  }
  StopWithin(timeoutMs);
}

bool Orx_Thread::StopWithin(DWORD waitMs) {
  if (threadId.load() != 0 && threadId.load() == GetCurrentThreadId()) {
    Stop(0);
    return false;
  }
  velmot::CriticalSectionLock hold(handover_->lock);
  if (!handover_->thread) return true;
  if (running.exchange(false)) {
    if (handover_->stopEvent) SetEvent(handover_->stopEvent.Get());
    OnStopRequested();
  }
  if (WaitForSingleObject(handover_->thread.Get(), waitMs) != WAIT_OBJECT_0) return false;
  Join(0);
  return true;
}

namespace {
std::atomic<int> gAbandoned{0};
}  // namespace

void Orx_Thread::Abandon(std::unique_ptr<Orx_Thread> worker) {
  if (!worker) return;
  // Deliberately never deleted: the thread still runs on it. The process's end takes both.
  worker.release();
  ++gAbandoned;
}

int Orx_Thread::AbandonedCount() { return gAbandoned.load(); }

bool Orx_Thread::WaitForEnd(DWORD timeoutMs) { return WaitForEndOf(timeoutMs, false); }

bool Orx_Thread::WaitForEndOrStop(DWORD timeoutMs) { return WaitForEndOf(timeoutMs, true); }

bool Orx_Thread::WaitForEndOf(DWORD timeoutMs, bool orStop) {
  if (threadId.load() != 0 && threadId.load() == GetCurrentThreadId()) return false;
  velmot::KernelHandle own;
  {
    velmot::CriticalSectionLock hold(handover_->lock);
    if (!handover_->thread) return true;
    ReleaseIfEnded();
    if (!handover_->thread) return true;
    // A handle of our own to wait on outside the lock, so that a Stop from another thread
    // may close the object's handle meanwhile.
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), handover_->thread.Get(), GetCurrentProcess(), &copy,
                        SYNCHRONIZE, FALSE, 0)) {
      own.Reset(copy);
    }
  }
  // The stop event outlives every thread of the object; a stop signals it before it waits.
  const HANDLE stop = orStop ? handover_->stopEvent.Get() : nullptr;
  if (own) {
    const HANDLE handles[2] = {own.Get(), stop};
    return WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
  }
  // Without a handle of our own, the flag the body clears on its way out has to do.
  const DWORD start = GetTickCount();
  while (running.load()) {
    if (orStop && stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
    if (timeoutMs != INFINITE && GetTickCount() - start >= timeoutMs) return false;
    Sleep(5);
  }
  return true;
}

bool Orx_Thread::WaitForStop(DWORD ms) const {
  if (!running.load()) return true;
  if (!handover_->stopEvent) {
    // Without an event (creation failed) the wait is a plain sleep; the flag still tells.
    Sleep(ms);
  } else {
    WaitForSingleObject(handover_->stopEvent.Get(), ms);
  }
  return !running.load();
}

bool Orx_Thread::StopRequested() const { return !running.load(); }

HANDLE Orx_Thread::StopEvent() const { return handover_->stopEvent.Get(); }

void Orx_Thread::OnEscapedException(const std::exception* e) {
  OutputDebugStringA(
      (std::string("Orx_Thread: exception left Run: ") + (e ? e->what() : "unknown") + "\n")
          .c_str());
}

void Orx_Thread::ReleaseIfEnded() {
  if (handover_->thread && HasEnded(handover_->thread.Get())) Join(0);
}

void Orx_Thread::Join(DWORD timeoutMs) {
  WaitForSingleObject(handover_->thread.Get(), timeoutMs);
  handover_->thread.Reset();
  threadId = 0;
}

unsigned __stdcall Orx_Thread::ThreadEntry(void* self) {
  auto* thread = static_cast<Orx_Thread*>(self);
  NameCurrentThread(thread->name_);
  if (thread->translateFaults_) InstallStructuredExceptionTranslator();
  // The one catch of every body: an escaped exception must not end the whole process
  // through std::terminate. The hook records it; a hook that throws itself is ignored.
  try {
    thread->Run();
  } catch (const std::exception& e) {
    try {
      thread->OnEscapedException(&e);
    } catch (...) {
    }
  } catch (...) {
    try {
      thread->OnEscapedException(nullptr);
    } catch (...) {
    }
  }
  thread->threadId = 0;
  // The last touch of the object: once the owner sees the flag clear it may restart or
  // destroy it (both wait for this thread's handle first).
  thread->running = false;
  return 0;
}
