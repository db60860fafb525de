#include "download/store/crc.h"

#include "support/downloadjob.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <initializer_list>
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

// Each length of random bytes from each offset gives zlib's CRC, and with byteWise the
// reference's too.
void ExpectLikeZlib(unsigned seed, size_t size, std::initializer_list<size_t> offsets,
                    std::initializer_list<uint32_t> lengths, bool byteWise) {
  CRC crc = Built();
  const std::vector<uint8_t> buffer = testsupport::RandomBytes(size, seed);
  for (size_t offset : offsets) {
    for (uint32_t length : lengths) {
      const uint8_t* p = buffer.data() + offset;
      const uint32_t ours = crc.Compute(p, length);
      if (byteWise) {
        EXPECT_EQ(ours, Reference(crc, p, length)) << offset << "/" << length;
      }
      EXPECT_EQ(ours, static_cast<uint32_t>(crc32(0, p, length))) << offset << "/" << length;
    }
  }
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
  ExpectLikeZlib(42, 4096 + 16, {0, 1, 2, 3, 4, 5, 6, 7},
                 {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 1000, 4096}, true);
}

TEST(CRC, WholePartSizedBuffersMatchZlib) {
  // Long buffers go through the wide folding path; an odd remainder exercises its tail.
  ExpectLikeZlib(7, 10000007 + 3, {0, 1, 3}, {4097, 65599, 10000000, 10000007}, false);
}

TEST(CRC, EachCallStartsAfresh) {
  CRC crc = Built();
  const uint32_t first = crc.Compute("abc", 3);
  crc.Compute("something else entirely", 23);
  EXPECT_EQ(crc.Compute("abc", 3), first);
}

}  // namespace
