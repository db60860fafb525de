// Unix programs from a test under Wine: a Windows path's Unix name, and a shell command
// started through /bin/sh. Wine starts such a program but cannot wait for it: callers poll
// for what it does.
#pragma once

#include <string>

namespace testsupport {

// Empty when the path has no Unix name (or off Wine).
std::string UnixPath(const std::wstring& path);
void RunUnix(const std::string& shellCommand);

}  // namespace testsupport
