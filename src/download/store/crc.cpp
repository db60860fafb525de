#include "download/store/crc.h"

#include <cstring>

#if defined(_M_X64) || defined(__x86_64__)
#define VELMOT_CRC_FOLDING 1
#include <emmintrin.h>
#include <wmmintrin.h>
#ifdef _MSC_VER
#include <intrin.h>
#define VELMOT_PCLMUL_TARGET
#else
#include <cpuid.h>
#define VELMOT_PCLMUL_TARGET __attribute__((target("pclmul,sse2")))
#endif
#endif

namespace {

uint32_t Reflect(uint32_t value, int bits) {
  uint32_t result = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & (1u << i)) result |= 1u << (bits - 1 - i);
  }
  return result;
}

#ifdef VELMOT_CRC_FOLDING

bool HasCarrylessMultiply() {
#ifdef _MSC_VER
  int info[4];
  __cpuid(info, 1);
  const unsigned ecx = static_cast<unsigned>(info[2]);
#else
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
#endif
  return (ecx & (1u << 1)) != 0;  // PCLMULQDQ
}

inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a multiplied by x^distance (the pair k) and folded onto the next block b.
VELMOT_PCLMUL_TARGET inline __m128i Fold(__m128i a, __m128i k, __m128i b) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

// Carry-less multiplication folding of the reflected CRC-32 (the method of Intel's paper
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction"): four 128-bit
// lanes are folded forward 512 bits at a time, then into one lane, then reduced to 32 bits
// with a Barrett reduction. The constants are x^n mod P(x) for the fold distances, bit-
// reflected, and the Barrett pair for P(x) = 0x104C11DB7. Takes the running register c (not
// inverted) and length >= 64, a multiple of 16; returns the running register.
VELMOT_PCLMUL_TARGET uint32_t FoldWithCarrylessMultiply(const uint8_t* p, size_t length,
                                                        uint32_t c) {
  const __m128i fold512 = _mm_set_epi64x(0x01C6E41596LL, 0x0154442BD4LL);
  const __m128i fold128 = _mm_set_epi64x(0x00CCAA009ELL, 0x01751997D0LL);
  const __m128i fold64 = _mm_set_epi64x(0, 0x0163CD6124LL);
  const __m128i barrett = _mm_set_epi64x(0x01F7011641LL, 0x01DB710641LL);
  const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);

  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  p += 64;
  length -= 64;
  while (length >= 64) {
    x0 = Fold(x0, fold512, Load(p));
    x1 = Fold(x1, fold512, Load(p + 16));
    x2 = Fold(x2, fold512, Load(p + 32));
    x3 = Fold(x3, fold512, Load(p + 48));
    p += 64;
    length -= 64;
  }
  x0 = Fold(x0, fold128, x1);
  x0 = Fold(x0, fold128, x2);
  x0 = Fold(x0, fold128, x3);
  while (length >= 16) {
    x0 = Fold(x0, fold128, Load(p));
    p += 16;
    length -= 16;
  }
  // 128 bits to 64, then to 32 + 32 for the reduction.
  __m128i r = _mm_xor_si128(_mm_srli_si128(x0, 8), _mm_clmulepi64_si128(x0, fold128, 0x10));
  r = _mm_xor_si128(_mm_srli_si128(r, 4),
                    _mm_clmulepi64_si128(_mm_and_si128(r, low32), fold64, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(r, low32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
  r = _mm_xor_si128(r, t);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(r, 4)));
}

#endif

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
#ifdef VELMOT_CRC_FOLDING
  // Parts are 10 MB: folding 64 bytes per step is several times faster than any table.
  static const bool folding = HasCarrylessMultiply();
  if (folding && length >= 64) {
    const uint32_t bulk = length & ~15u;
    c = FoldWithCarrylessMultiply(p, bulk, c);
    p += bulk;
    length -= bulk;
  }
#endif
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
