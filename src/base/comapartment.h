// COM on the calling thread for the length of a scope, apartment-threaded and without
// OLE 1 DDE, as the shell asks of every thread that calls it (ShellExecuteW may hand the
// work to a COM extension, SHOpenFolderAndSelectItems always does). A thread that already
// has COM keeps it: the scope only balances what it added itself (a thread that is in the
// multithreaded apartment stays there, and the shell works there too). Any thread; one
// scope per call; never throws.
#pragma once

#include <objbase.h>
#include <windows.h>

namespace velmot {

class ComApartment {
 public:
  ComApartment()
      : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  // S_OK (initialised here), S_FALSE (already in this apartment) or RPC_E_CHANGED_MODE
  // (already in the multithreaded one): COM may be used; anything else: it may not.
  HRESULT Result() const { return result_; }

 private:
  const HRESULT result_;
};

}  // namespace velmot
