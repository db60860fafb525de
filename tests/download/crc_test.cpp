#include "download/store/crc.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

CRC Built() {
  CRC crc;
  crc.BuildTable();
  return crc;
}

// The byte-at-a-time definition, kept here as the reference the fast path must match.
uint32_t Reference(const CRC& crc, const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = (c >> 8) ^ crc.TableEntry((c ^ p[i]) & 0xFF);
  return c ^ 0xFFFFFFFFu;
}

TEST(CRC, KnownValues) {
  CRC crc = Built();
  EXPECT_EQ(crc.Compute("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc.Compute("", 0), 0u);
  EXPECT_EQ(crc.Compute(nullptr, 0), 0u);
  EXPECT_EQ(crc.TableEntry(0), 0u);
  EXPECT_EQ(crc.TableEntry(1), 0x77073096u);
  EXPECT_EQ(crc.TableEntry(128), 0xEDB88320u);
  // The CRC info document lists 0xCBF43926 as the signed value -873187034.
  EXPECT_EQ(static_cast<int32_t>(crc.Compute("123456789", 9)), -873187034);
}

TEST(CRC, EveryLengthAndAlignmentMatchesTheByteWiseDefinitionAndZlib) {
  CRC crc = Built();
  std::mt19937 rng(42);
  std::vector<uint8_t> buffer(4096 + 16);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 1000u, 4096u}) {
      const uint8_t* p = buffer.data() + offset;
      uint32_t ours = crc.Compute(p, static_cast<uint32_t>(length));
      EXPECT_EQ(ours, Reference(crc, p, length)) << offset << "/" << length;
      EXPECT_EQ(ours, static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(length))));
    }
  }
}

TEST(CRC, WholePartSizedBuffersMatchZlib) {
  // Long buffers go through the wide folding path; an odd remainder exercises its tail.
  CRC crc = Built();
  std::mt19937 rng(7);
  std::vector<uint8_t> buffer(10000007 + 3);
  for (auto& b : buffer) b = static_cast<uint8_t>(rng());
  for (size_t offset : {0u, 1u, 3u}) {
    for (uint32_t length : {4097u, 65599u, 10000000u, 10000007u}) {
      const uint8_t* p = buffer.data() + offset;
      EXPECT_EQ(crc.Compute(p, length), static_cast<uint32_t>(crc32(0, p, length)))
          << offset << "/" << length;
    }
  }
}

TEST(CRC, EachCallStartsAfresh) {
  CRC crc = Built();
  const uint32_t first = crc.Compute("abc", 3);
  crc.Compute("something else entirely", 23);
  EXPECT_EQ(crc.Compute("abc", 3), first);
}

}  // namespace
