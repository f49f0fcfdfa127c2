// Whole files through the two pipelines in memory: round trips around every
// block boundary, what a later block carries, the flat bit and rates of
// blocks whose trial count lies at each threshold, and how cut or impossible
// compressed files are reported. The exact bytes of small files are the
// golden files' (golden_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

#include "coder/bit_models.hpp"
#include "decisions/block_codes.hpp"
#include "decisions/trial_count.hpp"
#include "filters/detect.hpp"
#include "model/byte_model.hpp"
#include "model/match_model.hpp"
#include "test_support.hpp"

namespace vexa::test {
namespace {

TEST(Pipeline, RoundTripsAroundBlockBoundaries) {
    for (const std::size_t size : {0u, 1u, 2u, 16u, 17u, 511u, 512u, BLOCK_CAPACITY - 1, BLOCK_CAPACITY, BLOCK_CAPACITY + 1}) {
        for (const Bytes& input : {english_text(size, 3), random_bytes(size, 5)}) {
            RunResult c, d;
            const Bytes packed = compress_bytes(input, &c);
            ASSERT_EQ(c.status, VEXA_OK) << "size " << size;
            const Bytes restored = decompress_bytes(packed, &d);
            ASSERT_EQ(d.status, VEXA_OK) << "size " << size;
            ASSERT_EQ(restored, input) << "size " << size;
        }
    }
}

// Decodes a two-block file by hand past its first block. The second block is
// one byte: its codes and a single head byte must follow the first block
// directly, with no second multiplier in between, and end the body exactly.
TEST(Pipeline, MultiplierIsCodedInTheFirstBlockOnly) {
    Bytes input = english_text(BLOCK_CAPACITY, 9);
    input.push_back(0x5A);
    RunResult c;
    const Bytes packed = compress_bytes(input, &c);
    ASSERT_EQ(c.status, VEXA_OK);
    ASSERT_EQ(packed[4], CLASS_GENERIC);

    init_tables();
    reset_match_model();
    RangeCoder rc = decoder_for(Bytes(packed.begin() + 8, packed.end()));
    std::vector<std::uint8_t> storage(256 + BLOCK_CAPACITY + 16);   // zeros before the block
    const std::uint32_t flat = rc.decode_direct_bit();
    test_rates.rate_a = static_cast<std::uint8_t>(rc.decode_direct_byte());
    test_rates.rate_b = static_cast<std::uint8_t>(rc.decode_direct_byte());
    rc.decode_direct_bit();   // text
    decode_generic_block(rc, storage.data() + 256, BLOCK_CAPACITY, flat);
    ASSERT_TRUE(match_model.multiplier_chosen);

    EXPECT_EQ(rc.decode_direct_bit(), 0u);     // flat: nothing to estimate in one byte
    EXPECT_EQ(rc.decode_direct_byte(), 3u);    // rate_a
    EXPECT_EQ(rc.decode_direct_byte(), 2u);    // rate_b
    EXPECT_EQ(rc.decode_direct_bit(), 0u);     // text: too short for the filter
    test_rates.rate_a = 3;
    test_rates.rate_b = 2;
    EXPECT_EQ(decode_pair_byte(rc, 0, 0), 0x5Au);
    EXPECT_FALSE(io_buffer.ran_dry);
    EXPECT_EQ(io_buffer.pos, io_buffer.fill) << "bytes left after the last block";
    refill_io_buffer();
    EXPECT_TRUE(io_buffer.ran_dry) << "bytes left after the last block";
}

struct BlockCodes {
    std::uint32_t flat, rate_a, rate_b;
    bool operator==(const BlockCodes&) const = default;
};

BlockCodes codes_of(std::uint32_t count, std::uint32_t n) {
    const RateBand band = choose_rates(count, n);
    return {choose_flat(count, n), band.rate_a, band.rate_b};
}

// At the flat threshold and at every band's end, blocks whose exact trial
// count lies within three bytes below and above it: where the bounds cannot
// tell (RunResult says the exact pass ran), the codes at the start of the
// body must be those of the exact count, on both sides. The blocks are
// noise then zeros, so each byte of noise adds about one to the count.
TEST(Pipeline, CodesAtEachThresholdComeFromTheExactCount) {
    constexpr std::uint32_t n = 20000;
    std::vector<std::uint32_t> thresholds = {static_cast<std::uint32_t>(FLAT_THRESHOLD * (n - 2)) + 1};
    for (const RateBand& band : RATE_BANDS) {
        if (band.bound < 1) thresholds.push_back(static_cast<std::uint32_t>(std::ceil(band.bound * n)));
    }
    const Bytes noise = random_bytes(n, 81);
    const auto block_of = [&](std::uint32_t length) {
        Bytes block(noise.begin(), noise.begin() + length);
        block.resize(n, 0);
        return block;
    };
    const auto count_of = [&](const Bytes& block) {
        init_tables();   // as the first block of a file meets them
        test_rates.rate_a = TRIAL_RATE_A;
        test_rates.rate_b = TRIAL_RATE_B;
        RangeCoder rc(Direction::encode, io_buffer);
        return estimate_generic_block(rc, block.data(), n);
    };
    for (const std::uint32_t threshold : thresholds) {
        std::uint32_t low = 0, high = n;   // the least noise that reaches the threshold
        while (low < high) {
            const std::uint32_t mid = (low + high) / 2;
            if (count_of(block_of(mid)) < threshold) low = mid + 1; else high = mid;
        }
        bool decided[2] = {};   // below and at or above the threshold
        for (std::uint32_t length = low - 12; length < low + 12; ++length) {
            const Bytes block = block_of(length);
            const std::uint32_t count = count_of(block);
            if (count + 3 < threshold || count > threshold + 2) continue;
            RunResult r;
            const Bytes packed = compress_bytes(block, &r);
            ASSERT_EQ(packed[4], CLASS_GENERIC);
            RangeCoder rc = decoder_for(Bytes(packed.begin() + 8, packed.end()));
            const std::uint32_t flat = rc.decode_direct_bit(), rate_a = rc.decode_direct_byte();
            EXPECT_EQ((BlockCodes{flat, rate_a, rc.decode_direct_byte()}), codes_of(count, n)) << "count " << count;
            decided[count >= threshold] |= r.rate_trials.exact == 1;
        }
        EXPECT_TRUE(decided[0] && decided[1]) << "no block on each side of " << threshold << " took the exact pass";
    }
}

// The decoder needs every byte the compressor wrote, so every cut of a file
// with a non-zero length is reported as truncated, also below 4 bytes (no
// length yet). Nothing is decoded on from zeros.
TEST(Pipeline, EveryCutIsReported) {
    Bytes wave = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    wave.resize(44);
    wave[22] = 2;    // channels
    wave[34] = 16;   // bits per sample
    const Bytes tail = random_bytes(40, 6);
    wave.insert(wave.end(), tail.begin(), tail.end());
    for (const Bytes& input : {english_text(700, 4), random_bytes(30, 2), wave}) {
        const Bytes packed = compress_bytes(input);
        for (std::size_t cut = 0; cut < packed.size(); ++cut) {
            RunResult r;
            decompress_bytes(Bytes(packed.begin(), packed.begin() + static_cast<long>(cut)), &r);
            EXPECT_EQ(r.status, VEXA_ERROR_TRUNCATED)
                << "input of " << input.size() << " bytes, file cut to " << cut << " of " << packed.size();
        }
    }
    // A cut in the second block, and the last byte of a two-block file.
    Bytes two = english_text(BLOCK_CAPACITY, 7);
    const Bytes more = random_bytes(3000, 8);
    two.insert(two.end(), more.begin(), more.end());
    const Bytes packed = compress_bytes(two);
    for (const std::size_t cut : {packed.size() - 1000, packed.size() - 1}) {
        RunResult r;
        decompress_bytes(Bytes(packed.begin(), packed.begin() + static_cast<long>(cut)), &r);
        EXPECT_EQ(r.status, VEXA_ERROR_TRUNCATED) << "two-block file cut to " << cut << " of " << packed.size();
    }
}

// A one-block generic file built by hand: its block codes as given, a zero
// multiplier, and `data` as head bytes. With rates 3 and 2 and text 0 it is
// exactly what the compressor writes for `data` of up to 16 bytes.
Bytes hand_made_file(const Bytes& data, std::uint32_t rate_a, std::uint32_t rate_b, std::uint32_t text) {
    init_tables();
    const Bytes body = encode_to_bytes([&](RangeCoder& rc) {
        rc.encode_direct_bit(0);
        rc.encode_direct_byte(rate_a);
        rc.encode_direct_byte(rate_b);
        rc.encode_direct_bit(text);
        rc.encode_direct_byte(0);
        rc.encode_direct_byte(0);
        // Out-of-range rates must never reach the tables; the decoder stops first.
        test_rates.rate_a = 3;
        test_rates.rate_b = 2;
        for (const std::uint8_t b : data) encode_pair_byte(rc, 0, 0, b);
    });
    const auto n = static_cast<std::uint8_t>(data.size());
    // Sized first: inserting after a short initializer list draws a false
    // out-of-bounds warning from g++ 12 at -O3, on s390x and for Windows.
    Bytes file(8 + body.size());
    file[0] = n;
    file[4] = 1;
    std::copy(body.begin(), body.end(), file.begin() + 8);
    return file;
}

TEST(Pipeline, ImpossibleValuesAreReportedDamaged) {
    // The hand-made files are sound apart from the one value each changes.
    ASSERT_EQ(hand_made_file({'A'}, 3, 2, 0), compress_bytes({'A'}));

    const auto status_of = [](const Bytes& file) {
        RunResult r;
        decompress_bytes(file, &r);
        return r.status;
    };

    const std::uint32_t bad_rates[][2] = {{2, 2}, {7, 2}, {255, 2}, {3, 1}, {3, 7}, {0, 0}};
    for (const auto& rates : bad_rates) {
        EXPECT_EQ(status_of(hand_made_file({'A'}, rates[0], rates[1], 0)), VEXA_ERROR_DAMAGED)
            << "rates " << rates[0] << ", " << rates[1];
    }
    // A text code at the end of a one-byte block would expand past the block.
    EXPECT_EQ(status_of(hand_made_file({130}, 3, 2, 1)), VEXA_ERROR_DAMAGED);

    // A media header whose delta filter would have no channel or no sample width.
    for (const std::size_t field : {14u, 15u}) {
        Bytes media = compress_bytes({'B', 'M'});
        ASSERT_EQ(media.size(), 25u);
        media[field] = 0;
        EXPECT_EQ(status_of(media), VEXA_ERROR_DAMAGED) << "header byte " << field;
    }
    // A media file cut inside its 16-byte header.
    const Bytes media = compress_bytes({'B', 'M'});
    EXPECT_EQ(status_of(Bytes(media.begin(), media.begin() + 12)), VEXA_ERROR_TRUNCATED);

    // Not damaged: any non-zero class word is the generic path, and a length
    // of 0 means an empty output whatever follows it.
    Bytes odd_class = compress_bytes({'A'});
    odd_class[4] = 7;
    RunResult r;
    EXPECT_EQ(decompress_bytes(odd_class, &r), Bytes{'A'});
    EXPECT_EQ(r.status, VEXA_OK);
    EXPECT_TRUE(decompress_bytes({0, 0, 0, 0, 0xFF, 0x12}, &r).empty());
    EXPECT_EQ(r.status, VEXA_OK);
}

}  // namespace
}  // namespace vexa::test
