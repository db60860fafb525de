// A stable identifier of this computer: SHA-1 (CryptoAPI) of the machine GUID, "|", the
// volume GUID of C:\ and cpuid leaf 0, as 40 lower-case hex digits. No shared state.
#pragma once

#include <string>

class ComputerId {
 public:
  virtual ~ComputerId() = default;
  bool Compute(std::string& id);
  bool ComputeWide(std::wstring& id);
  bool ReadMachineGuid(std::string& guid);
  bool ReadVolumeGuid(std::string& guid);
  bool HashHex(const std::string& text, std::string& digest);
};
