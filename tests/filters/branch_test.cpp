// x86 branch filter: exact operands at the edges of both conversion rules,
// the scan's skipping and its end, and round trips over blocks dense with
// opcodes whose operands sit on those edges.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "filters/branch.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

void put_le32(Bytes& block, std::size_t at, std::int64_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int k = 0; k < 4; ++k) block[at + k] = static_cast<std::uint8_t>(u >> (8 * k));
}

std::int32_t get_le32(const Bytes& block, std::size_t at) {
    std::uint32_t u = 0;
    for (int k = 0; k < 4; ++k) u |= std::uint32_t{block[at + k]} << (8 * k);
    return static_cast<std::int32_t>(u);
}

Bytes encoded(Bytes block, std::uint32_t bytes_done) {
    branch_encode(block.data(), static_cast<std::uint32_t>(block.size()), bytes_done);
    return block;
}

Bytes decoded(Bytes block, std::uint32_t bytes_done) {
    branch_decode(block.data(), static_cast<std::uint32_t>(block.size()), bytes_done);
    return block;
}

// One opcode with operand `v` at `offset` of an otherwise zero block (zero
// bytes are no opcodes), encoded; returns the operand written.
std::int32_t encode_one(std::uint32_t len, std::uint32_t bytes_done, std::uint32_t offset,
                        std::int64_t v, std::uint8_t opcode = 0xE8) {
    Bytes block(len);
    block[offset] = opcode;
    put_le32(block, offset + 1, v);
    const Bytes out = encoded(block, bytes_done);
    EXPECT_EQ(decoded(out, bytes_done), block) << "offset " << offset << ", operand " << v;
    return get_le32(out, offset + 1);
}

TEST(Branch, ShortBlocksAreUnchanged) {
    const Bytes samples[] = {{}, {0xE8}, {0xE8, 0x01}, {0xE9, 0x01, 0x00}, {0xE8, 0x01, 0x00, 0x00},
                             {0xE8, 0xE8, 0xE8, 0xE8}};
    for (const Bytes& block : samples) {
        EXPECT_EQ(encoded(block, 0), block) << "len " << block.size();
        EXPECT_EQ(decoded(block, 0), block) << "len " << block.size();
        EXPECT_EQ(encoded(block, 1000), block) << "len " << block.size();
    }
}

// First block, len 1000: T = 1000, and a = offset + 1.
TEST(Branch, DisplacementsOfTheFirstBlock) {
    // Two calls to offset 121 from different places become the same bytes.
    Bytes block(1000);
    block[100] = 0xE8;
    put_le32(block, 101, 16);
    block[200] = 0xE9;
    put_le32(block, 201, -84);
    const Bytes out = encoded(block, 0);
    EXPECT_EQ(Bytes(out.begin() + 100, out.begin() + 105), (Bytes{0xE8, 0x75, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(out.begin() + 200, out.begin() + 205), (Bytes{0xE9, 0x75, 0x00, 0x00, 0x00}));
    EXPECT_EQ(decoded(out, 0), block);

    // Positive displacements past the block move below zero; the decoder
    // takes them back because a + v >= 0.
    EXPECT_EQ(encode_one(1000, 0, 100, 950), -50);
    // At or above T, or below -a: left as they are by both directions.
    EXPECT_EQ(encode_one(1000, 0, 100, 5000), 5000);
    EXPECT_EQ(encode_one(1000, 0, 100, -500), -500);
    for (const std::int32_t v : {5000, -500}) {
        Bytes raw(1000);
        raw[100] = 0xE8;
        put_le32(raw, 101, v);
        EXPECT_EQ(decoded(raw, 0), raw) << "operand " << v;
    }
}

// Each edge of the two rules, at offset 100 of a len-1000 block (a = 101,
// T = 1000), then again at a later block position.
TEST(Branch, EdgesOfTheRules) {
    struct Case {
        std::int64_t v, want;
    };
    const Case first[] = {
        {-101, 0},          // target 0: the first position converts
        {-102, -102},       // one before it stays
        {898, 999},         // target T - 1: the last position in the block
        {899, 899 - 1000},  // target T: moved below zero
        {999, -1},          // T - 1: the largest moved value
        {1000, 1000},       // T: unchanged
        {0, 101},
        {-1, 100},
        {INT32_MAX, INT32_MAX},
        {INT32_MIN, INT32_MIN},
    };
    for (const Case& c : first) EXPECT_EQ(encode_one(1000, 0, 100, c.v), c.want) << "operand " << c.v;

    // Second block of a file with 512 KiB blocks: -10 from block offset 0
    // points back into the first block.
    EXPECT_EQ(encode_one(1000, 524288, 0, -10), 524279);
    const Case later[] = {
        {-524389, 0}, {-524390, -524390}, {898, 524288 + 999}, {899, 899 - 525288},
        {525287, -1}, {525288, 525288},
    };
    for (const Case& c : later) EXPECT_EQ(encode_one(1000, 524288, 100, c.v), c.want) << "operand " << c.v;

    // The highest positions the filter supports: T = 2^31 - 1.
    const std::uint32_t done = 0x7FFFFFFFu - 1000;
    EXPECT_EQ(encode_one(1000, done, 100, 898), INT32_MAX - 1);
    EXPECT_EQ(encode_one(1000, done, 100, INT32_MAX - 1), -1);
    EXPECT_EQ(encode_one(1000, done, 100, INT32_MAX), INT32_MAX);
    EXPECT_EQ(encode_one(1000, done, 100, -std::int64_t{done} - 101), 0);
}

TEST(Branch, ScanSkipsOperandsAndStopsFiveBeforeTheEnd) {
    // The first E8 is the opcode and the next four its (unchanged) operand;
    // the scan resumes at 5, where a convertible call sits.
    Bytes block = {0xE8, 0xE8, 0xE8, 0xE8, 0xE8, 0xE8, 0x02, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(encoded(block, 0),
              (Bytes{0xE8, 0xE8, 0xE8, 0xE8, 0xE8, 0xE8, 0x08, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0}));

    // An unchanged operand hides an opcode inside it: E8 01 00 00 00 at
    // offset 3 would convert if the scan looked there.
    block = {0xE8, 0x00, 0x00, 0xE8, 0x01, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(encoded(block, 0), block);
    EXPECT_EQ(decoded(block, 0), block);

    // len 10: an opcode at len - 5 is processed, one at len - 4 is not (its
    // operand would end past the block).
    block = {0, 0, 0, 0, 0, 0xE8, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(encoded(block, 0), (Bytes{0, 0, 0, 0, 0, 0xE8, 0x07, 0x00, 0x00, 0x00}));
    block = {0, 0, 0, 0, 0, 0, 0xE8, 0x01, 0x00, 0x00};
    EXPECT_EQ(encoded(block, 0), block);
    EXPECT_EQ(decoded(block, 0), block);
}

// Blocks built opcode by opcode, so that most operands sit on an edge of a
// rule for their own a and T. Both orders must be identities: encoding is a
// one-to-one map of all 32-bit values.
TEST(Branch, RoundTripsRestoreEveryBlock) {
    std::mt19937 gen(17);
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t len = round < 2000 ? gen() % 64 : gen() % 20000;
        const std::uint32_t bytes_done = round % 3 == 0 ? 0 : gen() % (0x80000000u - len);
        const std::int64_t total = std::int64_t{bytes_done} + len;
        Bytes block(len);
        for (std::uint32_t i = 0; i < len;) {
            if (gen() % 3 != 0 || i + 5 > len) {
                block[i++] = static_cast<std::uint8_t>(gen() % 4 == 0 ? 0xE8 + gen() % 2 : gen());
                continue;
            }
            const std::int64_t a = std::int64_t{bytes_done} + i + 1;
            const std::int64_t edges[] = {-a - 1, -a, 0, -1, total - a - 1, total - a, total - 1, total,
                                          INT32_MIN, INT32_MAX, static_cast<std::int32_t>(gen())};
            block[i] = static_cast<std::uint8_t>(0xE8 + gen() % 2);
            put_le32(block, i + 1, edges[gen() % std::size(edges)] + static_cast<int>(gen() % 3) - 1);
            i += 5;
        }
        const Bytes there = encoded(block, bytes_done);
        ASSERT_EQ(decoded(there, bytes_done), block) << "round " << round << ", len " << len << ", done " << bytes_done;
        const Bytes back = decoded(block, bytes_done);
        ASSERT_EQ(encoded(back, bytes_done), block) << "round " << round << ", len " << len << ", done " << bytes_done;
    }
}

}  // namespace
}  // namespace vexa::test
