#include "memory/large_pages.h"
#include "memory/byte_buffer.h"
#include "memory/growable_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

#include "memory/byte_buffer.h"

namespace rowmender {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Every 4 KiB page of [data, data + size) can be written and read back, the last byte too.
void expect_usable(char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 4096) data[i] = static_cast<char>(i / 4096);
  data[size - 1] = 'z';
  for (std::size_t i = 0; i + 1 < size; i += 4096) ASSERT_EQ(data[i], static_cast<char>(i / 4096)) << i;
  EXPECT_EQ(data[size - 1], 'z');
}

class LargePages : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LargePages, MappingsStartOnAHugePageAndHoldEveryByte) {
  char* pages = map_large_pages(GetParam());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages) % kHugePage, 0u);
  expect_usable(pages, GetParam());
  unmap_large_pages(pages, GetParam());
}

TEST_P(LargePages, ByteBuffersOfAnySizeHoldEveryByte) {
  ByteBuffer buffer(GetParam());
  ASSERT_EQ(buffer.capacity(), GetParam());
  expect_usable(buffer.data(), GetParam());
}

// Around the size where the heap gives way to mappings, and around a huge page.
INSTANTIATE_TEST_SUITE_P(Sizes, LargePages,
                         ::testing::Values(kLargePagesFrom - 1, kLargePagesFrom, kHugePage - 1, kHugePage,
                                           kHugePage + 1, 3 * kHugePage + 4097));

// Growing moves a large array's pages instead of copying it; the values must come along,
// whether the array is on the heap, moves to a mapping, or moves from one mapping to another.
TEST(GrowableArray, KeepsItsValuesAsItGrowsFromTheHeapIntoMappings) {
  GrowableArray<std::uint64_t> values;
  for (std::uint64_t i = 0; i < 3 * kHugePage / sizeof(std::uint64_t); ++i) values.push_back(i * 7);
  for (std::uint64_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i * 7) << i;
  values.truncate(10);
  values.append_copies(5, 3);
  EXPECT_EQ(values.size(), 13u);
  EXPECT_EQ(values[9], 63u);
  EXPECT_EQ(values[12], 5u);
}

// A byte buffer that grows keeps its bytes; one that shrinks keeps those it keeps.
TEST(ByteBuffer, GrowingAndShrinkingKeepTheBytes) {
  ByteBuffer buffer(kLargePagesFrom + 100);
  for (std::size_t i = 0; i < buffer.capacity(); ++i) buffer.data()[i] = static_cast<char>(i * 13);
  const std::size_t used = buffer.capacity();
  buffer.grow(5 * kHugePage + 1, used);
  for (std::size_t i = 0; i < used; ++i) ASSERT_EQ(buffer.data()[i], static_cast<char>(i * 13)) << i;
  buffer.shrink_to(1000);
  EXPECT_EQ(buffer.capacity(), 1000u);
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(buffer.data()[i], static_cast<char>(i * 13)) << i;
}

TEST(LargePages, ImpossibleSizesFailAsBadAlloc) {
  EXPECT_THROW(map_large_pages(SIZE_MAX - 4096), std::bad_alloc);
  GrowableArray<std::uint64_t> values;
  EXPECT_THROW(values.reserve(SIZE_MAX / 4), std::length_error);
  EXPECT_THROW(values.reserve(SIZE_MAX / 32), std::bad_alloc);
}

}  // namespace
}  // namespace rowmender
