#include "support/linkrelay.h"

#include "support/downloadjob.h"
#include "support/unixshell.h"

#include <nlohmann/json.hpp>

#include <windows.h>

namespace testsupport {

namespace {

std::string ReadText(const std::wstring& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

LinkRelay::LinkRelay(unsigned rttMs, unsigned mbit, unsigned cutSeconds) {
  const std::string dir = UnixPath(folder_.Path());
  const std::string script = Narrow(Get(L"VELMOT_SOURCE_DIR")) + "/tests/servers/link.js";
  const std::string to = Narrow(Get(L"VELMOT_FILEHOST_ADDRESS"));
  if (dir.empty() || to.empty()) return;
  std::string command = "timeout 900 node '" + script + "' --pool 20-80 --port 443 --to " + to +
                        " --rtt " + std::to_string(rttMs) + " --mbit " + std::to_string(mbit);
  if (cutSeconds > 0) command += " --cut " + std::to_string(cutSeconds);
  command += " --ready '" + dir + "/ready' --stats '" + dir + "/stats' >'" + dir +
             "/log' 2>&1 & echo $! >'" + dir + "/pid'";
  RunUnix(command);
  const std::wstring ready = folder_.File(L"ready");
  std::string address;
  Eventually(
      [&] {
        address = ReadText(ready);
        return address.find(' ') != std::string::npos;
      },
      15000);
  const size_t dot = address.rfind('.', address.find(' '));
  if (dot == std::string::npos) return;
  host_ =
      L"files-" + FromUtf8(address.substr(dot + 1, address.find(' ') - dot - 1)) + L".velmot.test";
}

LinkRelay::~LinkRelay() {
  const std::string pid = ReadText(folder_.File(L"pid"));
  if (!pid.empty()) RunUnix("kill " + pid.substr(0, pid.find_first_of("\r\n")));
  // The relay's files go with the folder; its port is free once it has ended.
  Sleep(200);
}

uint64_t LinkRelay::Stat(const char* name) const {
  const std::string text = ReadText(folder_.File(L"stats"));
  const nlohmann::json stats = nlohmann::json::parse(text, nullptr, false);
  if (!stats.is_object() || !stats.contains(name)) return 0;
  return stats[name].get<uint64_t>();
}

}  // namespace testsupport
