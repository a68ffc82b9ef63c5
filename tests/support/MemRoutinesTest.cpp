#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "MemRoutines.h"

namespace {

std::vector<uint8_t> Counting(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

TEST(MemRoutinesTest, CopyMemHandlesOverlapInBothDirections) {
  std::vector<uint8_t> forward = Counting(16);
  CopyMem(forward.data() + 4, forward.data(), 10);  // destination inside the source
  EXPECT_EQ(std::vector<uint8_t>(forward.begin() + 4, forward.begin() + 14),
            std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  std::vector<uint8_t> backward = Counting(16);
  CopyMem(backward.data(), backward.data() + 4, 10);  // source inside the destination
  EXPECT_EQ(std::vector<uint8_t>(backward.begin(), backward.begin() + 10),
            std::vector<uint8_t>({5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(backward[10], 11);  // nothing written past the length
}

TEST(MemRoutinesTest, SetMemFillsExactlyTheLength) {
  std::vector<uint8_t> bytes(8, 0x11);
  SetMem(bytes.data() + 1, 6, 0xA5);
  EXPECT_EQ(bytes, std::vector<uint8_t>({0x11, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0x11}));
}

TEST(MemRoutinesTest, CompareBytesReturnsTheFirstDifferenceAsUnsignedBytes) {
  const uint8_t a[] = {'K', 'V', 0x01, 'X'};
  const uint8_t b[] = {'K', 'V', 0xFF, 'A'};
  EXPECT_EQ(CompareBytes(a, b, 2), 0);
  EXPECT_EQ(CompareBytes(a, b, 4), 0x01 - 0xFF);
  EXPECT_EQ(CompareBytes(b, a, 4), 0xFF - 0x01);
  // Two texts that differ only in their last byte.
  EXPECT_EQ(CompareBytes("PCIE 3.0", "PCIE 3.1", 8), '0' - '1');
  EXPECT_EQ(CompareBytes("PCIE 3.0", "PCIE 3.1", 7), 0);
}

TEST(MemRoutinesTest, GuidsCompareAsTwoHalves) {
  EFI_GUID a = gEfiHobListGuid;
  EFI_GUID b = gEfiHobListGuid;
  EXPECT_TRUE(GuidsMatch(&a, &b));
  b.Data4[7] ^= 1;
  EXPECT_FALSE(GuidsMatch(&a, &b));
  b = a;
  b.Data1 ^= 0x80000000u;
  EXPECT_FALSE(GuidsMatch(&a, &b));
}

}  // namespace
