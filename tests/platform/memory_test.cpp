// The system's memory behind the context: aligned regions that read as
// zeros, are writable to their last byte and can be given back and taken
// again; the page hints accept any part of one.
#include "platform/memory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "codec/context.hpp"

namespace vexa::test {
namespace {

TEST(Memory, RegionsAreAlignedZeroedAndWritable) {
    // Not a whole number of pages, so that the trimmed end is reached too.
    constexpr std::size_t size = 3 * LARGE_PAGE_SIZE + 100;
    // Twice: the second region may reuse the first one's pages.
    for (int round = 0; round < 2; ++round) {
        auto* const region = static_cast<std::uint8_t*>(allocate_region(size, LARGE_PAGE_SIZE));
        ASSERT_NE(region, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(region) % LARGE_PAGE_SIZE, 0u);
        prefer_large_page(region, LARGE_PAGE_SIZE);
        populate(region + 1, 5000);
        EXPECT_TRUE(std::all_of(region, region + size, [](std::uint8_t b) { return b == 0; })) << "round " << round;
        std::fill(region, region + size, std::uint8_t{0xA5});
        free_region(region, size);
    }
}

}  // namespace
}  // namespace vexa::test
