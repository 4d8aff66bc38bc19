#include "memory/large_pages.h"

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
  for (const bool populate : {false, true}) {
    char* pages = map_large_pages(GetParam(), populate);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages) % kHugePage, 0u);
    expect_usable(pages, GetParam());
    unmap_large_pages(pages, GetParam());
  }
}

TEST_P(LargePages, ByteBuffersOfAnySizeHoldEveryByte) {
  for (const auto fill : {ByteBuffer::Fill::Whole, ByteBuffer::Fill::Partly}) {
    ByteBuffer buffer(GetParam(), fill);
    ASSERT_EQ(buffer.capacity(), GetParam());
    expect_usable(buffer.data(), GetParam());
  }
}

// Around the size where the heap gives way to mappings, and around a huge page.
INSTANTIATE_TEST_SUITE_P(Sizes, LargePages,
                         ::testing::Values(kLargePagesFrom - 1, kLargePagesFrom, kHugePage - 1, kHugePage,
                                           kHugePage + 1, 3 * kHugePage + 4097));

TEST(LargePageAllocator, AVectorKeepsItsValuesAsItMovesFromTheHeapToMappings) {
  std::vector<std::uint64_t, LargePageAllocator<std::uint64_t>> values;
  for (std::uint64_t i = 0; i < 3 * kLargePagesFrom / sizeof(std::uint64_t); ++i) values.push_back(i * 7);
  for (std::uint64_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], i * 7) << i;
  values.resize(10);  // shrinking keeps the mapping; freeing it must still match its size
  values.shrink_to_fit();
  EXPECT_EQ(values[9], 63u);
}

TEST(LargePageAllocator, ImpossibleSizesFailAsBadAlloc) {
  EXPECT_THROW(map_large_pages(SIZE_MAX - 4096, false), std::bad_alloc);
  LargePageAllocator<std::uint64_t> allocator;
  EXPECT_THROW((void)allocator.allocate(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
}  // namespace rowmender
