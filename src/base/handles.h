// Move-only owners for the Windows handles the program uses. Each kind of handle has
// exactly one owner type, which closes it in one place; copying is forbidden so that a
// handle can never be closed twice.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>

#include <utility>

namespace velmot {

// Traits: how a handle kind is closed and which value means "no handle".
template <typename T, T Invalid, BOOL(WINAPI* CloseFn)(T)>
struct HandleTraits {
  using Type = T;
  static Type InvalidValue() { return Invalid; }
  static void Close(Type h) { CloseFn(h); }
};

// INVALID_HANDLE_VALUE is a cast integer and cannot be a template argument, so the kinds
// that use it get traits of their own.
template <BOOL(WINAPI* CloseFn)(HANDLE)>
struct InvalidValueHandleTraits {
  using Type = HANDLE;
  static Type InvalidValue() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { CloseFn(h); }
};

// Keeps the calling thread's last-error code across a cleanup: closing a handle between a
// failing call and the GetLastError() that reads its code must not change the code.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : code_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(code_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD code_;
};

// The one owner of every handle kind: move-only, closes in Reset (and so in the destructor),
// never twice. Reset keeps the caller's GetLastError(). Put() hands the slot to an API that
// returns its handle through an out-parameter (RegOpenKeyExW, CryptAcquireContextW, ...).
template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;
  UniqueHandle() = default;
  explicit UniqueHandle(Type h) : handle_(h) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Type Get() const { return handle_; }
  bool IsValid() const { return handle_ != Traits::InvalidValue(); }
  explicit operator bool() const { return IsValid(); }

  Type Release() {
    Type h = handle_;
    handle_ = Traits::InvalidValue();
    return h;
  }
  void Reset(Type h = Traits::InvalidValue()) {
    if (IsValid()) {
      LastErrorKeeper keep;
      Traits::Close(handle_);
    }
    handle_ = h;
  }
  // Closes what is held and returns the empty slot for the API to fill.
  Type* Put() {
    Reset();
    return &handle_;
  }

 private:
  Type handle_ = Traits::InvalidValue();
};

inline BOOL WINAPI CloseInternetHandle(HINTERNET h) { return InternetCloseHandle(h); }
inline BOOL WINAPI CloseRegistryKey(HKEY h) { return RegCloseKey(h) == ERROR_SUCCESS; }
inline BOOL WINAPI ReleaseCryptContext(HCRYPTPROV h) { return CryptReleaseContext(h, 0); }
inline BOOL WINAPI DeleteGdiObject(HGDIOBJ h) { return DeleteObject(h); }

// CreateFile returns INVALID_HANDLE_VALUE on failure, most other calls NULL: two types.
using FileHandle = UniqueHandle<InvalidValueHandleTraits<CloseHandle>>;
using KernelHandle = UniqueHandle<HandleTraits<HANDLE, nullptr, CloseHandle>>;  // events, threads
using FindHandle = UniqueHandle<InvalidValueHandleTraits<FindClose>>;
using InternetHandle = UniqueHandle<HandleTraits<HINTERNET, nullptr, CloseInternetHandle>>;
using RegistryKey = UniqueHandle<HandleTraits<HKEY, nullptr, CloseRegistryKey>>;
using CryptContext = UniqueHandle<HandleTraits<HCRYPTPROV, 0, ReleaseCryptContext>>;
using CryptHash = UniqueHandle<HandleTraits<HCRYPTHASH, 0, CryptDestroyHash>>;
using GdiObject = UniqueHandle<HandleTraits<HGDIOBJ, nullptr, DeleteGdiObject>>;  // fonts, bitmaps

// A critical section and its scoped lock.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(&cs) { cs_->Enter(); }
  ~CriticalSectionLock() { Unlock(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
  // Lets a holder give the lock up early (e.g. before a blocking wait).
  void Unlock() {
    if (cs_) cs_->Leave();
    cs_ = nullptr;
  }

 private:
  CriticalSection* cs_;
};

}  // namespace velmot
