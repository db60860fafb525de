// A stable identifier of this computer: SHA-1 (CryptoAPI) of the machine GUID, "|", the
// volume GUID of C:\ and cpuid leaf 0, as 40 lower-case hex digits. No shared state: any
// thread. Failures to read a piece are recorded and only shorten the hashed text; only a
// failing hash leaves the identifier empty. Every operation but HashHex returns true.
// A test build (BUILD_TESTING) takes VELMOT_TEST_COMPUTER_ID from the environment instead
// when it is set; the shipped program (tools/build-release) has no such seam.
#pragma once

#include <string>

class ComputerId {
 public:
  virtual ~ComputerId() = default;
  bool Compute(std::string& id);
  bool ComputeWide(std::wstring& id);
  bool ReadMachineGuid(std::string& guid);
  bool ReadVolumeGuid(std::string& guid);
  // false at the first failing CryptoAPI call (recorded with the call's name); digest is
  // then left as it was.
  bool HashHex(const std::string& text, std::string& digest);
  // The text that Compute hashes: machine GUID + "|" + volume GUID + cpuid leaf 0 values.
  bool BuildText(std::string& text);
};
