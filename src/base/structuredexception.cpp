#include "base/structuredexception.h"

#include <cstdio>

#ifdef _MSC_VER
#include <eh.h>
#endif

void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers) {
  const void* address = nullptr;
  if (pointers && pointers->ExceptionRecord) address = pointers->ExceptionRecord->ExceptionAddress;
  char text[1024];
  std::snprintf(text, sizeof(text), "Win32 Exception occurred. Code: 0x%x at address 0x%x", code,
                static_cast<unsigned int>(reinterpret_cast<uintptr_t>(address)));
  throw StructuredException(text, code, address);
}

#ifdef _MSC_VER

void InstallStructuredExceptionTranslator() { _set_se_translator(TranslateStructuredException); }

#else  // mingw-w64 g++

// g++ never calls the runtime's translator. Instead, an unhandled-exception filter (it sees
// a fault only after every handler on the stack declined it, unlike a vectored handler,
// which would also see every C++ throw and faults that system calls handle themselves)
// makes the faulting thread continue as if the faulting instruction had called
// ThrowPendingStructuredException: the trampoline below receives "the faulting address + 1"
// as its return address, so the unwinder finds the faulting function's frame and, with
// -fnon-call-exceptions, its handlers and destructors for that very instruction.

namespace {

// What the filter saw, kept for the throw (the dispatcher's copies lie on the part of the
// stack that the trampoline reuses).
struct PendingFault {
  EXCEPTION_RECORD record;
  CONTEXT context;
};

// Per-thread: a pointer to the thread's PendingFault, null for threads that did not ask for
// translation. A Win32 TLS slot rather than thread_local, because reading it from the filter
// must never allocate (the fault may have happened inside the allocator).
DWORD g_tlsSlot = TLS_OUT_OF_INDEXES;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
INIT_ONCE g_installOnce = INIT_ONCE_STATIC_INIT;

thread_local PendingFault t_pending;

bool Translatable(const EXCEPTION_RECORD& record) {
  // C++ exceptions on their way (g++'s and MSVC's), faults that cannot be continued, and
  // stack overflows (no stack left to throw on) keep their usual fate.
  switch (record.ExceptionCode) {
    case 0x20474343:  // g++ throw
    case 0x21474343:  // g++ unwind
    case 0x22474343:  // g++ forced unwind
    case 0xE06D7363:  // MSVC throw
    case EXCEPTION_STACK_OVERFLOW:
      return false;
    default:
      return (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
  }
}

}  // namespace

extern "C" {
void VelmotThrowPendingStructuredException();
void VelmotStructuredExceptionTrampoline();
}

// Called by the trampoline on the faulting thread, with a properly aligned frame.
extern "C" void VelmotThrowPendingStructuredException() {
  PendingFault& pending = t_pending;
  EXCEPTION_POINTERS pointers{&pending.record, &pending.context};
  TranslateStructuredException(pending.record.ExceptionCode, &pointers);
}

// Entered with the faulting address + 1 in rax: pushing it makes it the return address of a
// frame that the unwinder can walk (rbp frame, stack aligned to 16 before the call, 32 bytes
// of home space). Volatile registers may be clobbered: for the faulting code it is a call.
asm(R"(
    .text
    .globl VelmotStructuredExceptionTrampoline
    .def VelmotStructuredExceptionTrampoline; .scl 2; .type 32; .endef
VelmotStructuredExceptionTrampoline:
    pushq %rax
    .def VelmotStructuredExceptionFrame; .scl 3; .type 32; .endef
    .seh_proc VelmotStructuredExceptionFrame
VelmotStructuredExceptionFrame:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call VelmotThrowPendingStructuredException
    ud2
    .seh_endproc
)");

namespace {

LONG WINAPI TranslatingFilter(EXCEPTION_POINTERS* info) {
  const DWORD lastError = GetLastError();
  const bool wanted = TlsGetValue(g_tlsSlot) != nullptr;
  SetLastError(lastError);
  if (wanted && Translatable(*info->ExceptionRecord)) {
    t_pending.record = *info->ExceptionRecord;
    t_pending.context = *info->ContextRecord;
    CONTEXT* context = info->ContextRecord;
    context->Rax = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>(&VelmotStructuredExceptionTrampoline);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return g_previousFilter ? g_previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

BOOL CALLBACK InstallFilterOnce(PINIT_ONCE, PVOID, PVOID*) {
  g_tlsSlot = TlsAlloc();
  if (g_tlsSlot != TLS_OUT_OF_INDEXES)
    g_previousFilter = SetUnhandledExceptionFilter(TranslatingFilter);
  return TRUE;
}

}  // namespace

void InstallStructuredExceptionTranslator() {
  InitOnceExecuteOnce(&g_installOnce, InstallFilterOnce, nullptr, nullptr);
  if (g_tlsSlot == TLS_OUT_OF_INDEXES) return;
  // Touching the thread's record here allocates it, so the filter never has to.
  TlsSetValue(g_tlsSlot, &t_pending);
}

#endif
