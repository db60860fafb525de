// How long a call took, for the network tests' bounds on stops, retries and time-outs.
#pragma once

#include <windows.h>

namespace testsupport {

template <typename Call>
ULONGLONG MsTaken(Call call) {
  const ULONGLONG started = GetTickCount64();
  call();
  return GetTickCount64() - started;
}

}  // namespace testsupport
