#include "download/crc.h"

#include <cstring>

namespace {

uint32_t Reflect(uint32_t value, int bits) {
  uint32_t result = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & (1u << i)) result |= 1u << (bits - 1 - i);
  }
  return result;
}

}  // namespace

CRC::CRC() { std::memset(table_, 0, sizeof(table_)); }

void CRC::BuildTable() {
  const uint32_t polynomial = 0x04C11DB7;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ polynomial : (c << 1);
    table_[0][i] = Reflect(c, 32);
  }
  // Slicing-by-8: table_[k][i] is the CRC of byte i followed by k zero bytes, derived from
  // the byte-wise table, so Compute can fold eight bytes per step with identical results.
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = table_[0][i];
    for (int k = 1; k < 8; ++k) {
      c = (c >> 8) ^ table_[0][c & 0xFF];
      table_[k][i] = c;
    }
  }
}

uint32_t CRC::Compute(const void* data, uint32_t length) const {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  while (length >= 8) {
    uint32_t lo;
    uint32_t hi;
    std::memcpy(&lo, p, 4);  // little-endian loads (x86/x64, ARM64 Windows)
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = table_[7][lo & 0xFF] ^ table_[6][(lo >> 8) & 0xFF] ^ table_[5][(lo >> 16) & 0xFF] ^
        table_[4][lo >> 24] ^ table_[3][hi & 0xFF] ^ table_[2][(hi >> 8) & 0xFF] ^
        table_[1][(hi >> 16) & 0xFF] ^ table_[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  while (length--) c = (c >> 8) ^ table_[0][(c ^ *p++) & 0xFF];
  return c ^ 0xFFFFFFFFu;
}
