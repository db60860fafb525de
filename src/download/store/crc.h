// CRC-32 of ISO-HDLC / IEEE 802.3 / zlib (reflected, polynomial 0x04C11DB7, initial and
// final XOR 0xFFFFFFFF). Each user builds its own instance; not shared between threads.
#pragma once

#include <cstdint>

class CRC {
 public:
  CRC();
  virtual ~CRC() = default;

  void BuildTable();
  uint32_t TableEntry(int index) const { return table_[0][index]; }
  // CRC-32 of length bytes, starting afresh; 0 bytes give 0.
  uint32_t Compute(const void* data, uint32_t length) const;

 private:
  // table_[0] is the byte-wise table; the others let Compute take 8 bytes per step.
  uint32_t table_[8][256];
};
