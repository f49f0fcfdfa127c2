#include "driver/pipeline.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <sys/mman.h>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "filters/branch.hpp"
#include "filters/delta.hpp"
#include "filters/detect.hpp"
#include "filters/text.hpp"
#include "model/byte_model.hpp"
#include "model/match_model.hpp"
#include "model/structured_model.hpp"

namespace vexa {

std::uint8_t* work_buffer = nullptr;

bool allocate_work_buffer() {
    if (work_buffer == nullptr) work_buffer = static_cast<std::uint8_t*>(std::malloc(BLOCK_CAPACITY));
    return work_buffer != nullptr;
}

namespace {

// The current block, with zero bytes in front for context reads before its
// start and spare bytes behind for the delta filter's last sample.
std::uint8_t block_storage[CONTEXT_REACH + BLOCK_CAPACITY + DELTA_SPARE_BYTES];
std::uint8_t* const block_start = block_storage + CONTEXT_REACH;

// Faults in the pages of a region that the run is about to fill, in one
// call instead of one fault per page: about 4 us a page on the machines
// measured, which made up a tenth of the time of a 100 KB file. Only a
// hint; a kernel without it leaves the pages to fault one by one.
void populate(void* start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t page = 4096;
    const auto from = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)size;
#endif
}

// Asks for one 2 MiB page to back the aligned region at `start`: one fault
// then stands for 512. Also a hint; without it small pages serve as before.
void prefer_large_page(void* start) {
#ifdef MADV_HUGEPAGE
    madvise(start, LARGE_PAGE_SIZE, MADV_HUGEPAGE);
#else
    (void)start;
#endif
}

// Populates what a run of `length` bytes will touch anyway, and no more, so
// that small inputs keep a small footprint: the block buffer up to the
// length, and the trial table when compressing.
void populate_for_run(std::uint32_t length, bool compressing) {
    populate(block_storage, CONTEXT_REACH + std::min(length, BLOCK_CAPACITY));
    if (compressing && length > 2) populate(bit_tables.trial, sizeof bit_tables.trial);
}

// The generic path touches the whole position table once the first block
// reaches the size at which the multiplier search clears it all, and the
// window up to the input's length. Zeroing one large page costs about what
// faulting in 100 small ones does, so a window of at least 512 KiB in use
// takes one.
void populate_for_generic(std::uint32_t length) {
    if (length < SEARCH_ENTRIES / 4) return;
    populate(match_model.positions, sizeof match_model.positions);
    if (length >= WINDOW_SIZE / 4) {
        prefer_large_page(match_model.window);
        populate(match_model.window, WINDOW_SIZE);
    } else {
        populate(match_model.window, length);
    }
}

// Initialisations of every run, in both directions alike.
void start_run() {
    // The position table shares the bit tables' page: where large pages are
    // granted, populating the tables faults it all in at once.
    prefer_large_page(&bit_tables);
    populate(bit_tables.table_a, offsetof(BitTables, trial) - offsetof(BitTables, table_a));
    build_fragment_trie();
    init_tables();
    // Only a model that has served a block needs clearing (every such block
    // chose or read the multiplier first); the pages of an unused window
    // then stay out of resident memory.
    if (match_model.multiplier_chosen) reset_match_model();
    std::fill(block_storage, block_start, std::uint8_t{0});
}

RunResult failure(RunStatus status, int error = 0) {
    RunResult result;
    result.status = status;
    result.error = error;
    return result;
}

struct Rates {
    std::uint8_t a, b;
    bool operator==(const Rates&) const = default;
};

// The first row whose bound exceeds the trial count strictly. The factors
// are the single-precision values of the decimals; each product with a
// length below 2^20 is exact in double precision.
Rates choose_rates(std::uint32_t count, std::uint32_t n) {
    const double t = count, len = n;
    if (t < 0.25 * len) return {3, 2};
    if (t < 0.5 * len) return {3, 3};
    if (t < 0.75 * len) return {4, 3};
    if (t < double{0.8f} * len) return {4, 4};
    if (t < double{0.9f} * len) return {5, 4};
    if (t < double{0.95f} * len) return {5, 5};
    if (t < double{0.98f} * len) return {6, 5};
    return {6, 6};
}

std::uint32_t choose_flat(std::uint32_t count, std::uint32_t n) {
    const double coded = n > 2 ? n - 2 : 0;
    return static_cast<double>(count) > double{0.98f} * coded ? 1 : 0;
}

struct BlockCodes {
    std::uint32_t flat;
    Rates rates;
    bool operator==(const BlockCodes&) const = default;
};

BlockCodes codes_for(std::uint32_t count, std::uint32_t n) { return {choose_flat(count, n), choose_rates(count, n)}; }

// Both codes grow with the count, so codes equal at the two ends of the
// bounds hold for every count between them; only where they differ does
// the exact pass run.
BlockCodes choose_codes(RangeCoder& rc, const std::uint8_t* block, std::uint32_t n, TrialTally& tally) {
    const CountBounds bounds = bound_generic_block(bit_tables, block, n, TRIAL_RATE_A, TRIAL_RATE_B);
    const BlockCodes low = codes_for(bounds.lo, n);
    if (low == codes_for(bounds.hi, n)) {
        ++tally.settled;
        return low;
    }
    ++tally.exact;
    return codes_for(estimate_generic_block(rc, block, n), n);
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t get_le32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
}

// Reads exactly n bytes in pieces of READ_PIECE.
RunResult read_block(std::FILE* in, std::uint8_t* block, std::uint32_t n) {
    for (std::uint32_t done = 0; done < n;) {
        const std::uint32_t piece = std::min(READ_PIECE, n - done);
        const std::size_t got = std::fread(block + done, 1, piece, in);
        if (got != piece) {
            if (std::ferror(in)) return failure(RunStatus::read_failed, errno);
            return failure(RunStatus::input_changed);
        }
        done += piece;
    }
    return {};
}

void encode_generic_path(RangeCoder& rc, std::uint8_t* block, std::uint32_t n, std::uint32_t flat,
                         std::uint32_t bytes_done) {
    const bool filters_allowed = !flat && bit_tables.rate_a < 6;
    const std::uint32_t text = filters_allowed ? text_encode(block, n, work_buffer) : 0;
    rc.encode_direct_bit(text);
    if (!text && filters_allowed) branch_encode(block, n, bytes_done);
    encode_generic_block(rc, block, n, flat);
}

void encode_structured_path(RangeCoder& rc, std::uint8_t* block, std::uint32_t n,
                            DataProfile& profile, TrialTally& tally) {
    const std::uint32_t delta = choose_delta(rc, block, n, profile, tally);
    rc.encode_direct_bit(profile.row_context);
    rc.encode_direct_bit(delta);
    if (delta) delta_encode(block, 0, n, profile);
    encode_structured_block(rc, block, n, profile);
}

}  // namespace

RunResult compress(std::FILE* in, std::FILE* out) {
    start_run();

    if (fseeko(in, 0, SEEK_END) != 0) return failure(RunStatus::too_large, errno);
    const off_t end = ftello(in);
    if (end < 0 || static_cast<std::uint64_t>(end) > MAX_INPUT_LENGTH) return failure(RunStatus::too_large);
    std::rewind(in);
    const auto length = static_cast<std::uint32_t>(end);

    std::uint8_t header[4];
    put_le32(header, length);
    if (std::fwrite(header, 1, 4, out) != 4) return failure(RunStatus::write_failed, errno);
    std::uint64_t header_bytes = 4;

    populate_for_run(length, true);
    bind_io_buffer(out);
    RangeCoder rc(0);
    DataProfile profile;
    std::uint8_t* const block = block_start;
    RunResult done;

    for (std::uint32_t bytes_done = 0; bytes_done < length;) {
        const std::uint32_t n = std::min(BLOCK_CAPACITY, length - bytes_done);
        if (const RunResult r = read_block(in, block, n); r.status != RunStatus::ok) return r;

        if (bytes_done == 0) {
            detect_data_class(profile, block, n);
            if (profile.class_word != CLASS_STRUCTURED) populate_for_generic(length);
            const std::uint32_t count = write_profile(profile, out);
            if (count == 0) return failure(RunStatus::write_failed, errno);
            header_bytes += count;
        }

        bit_tables.rate_a = TRIAL_RATE_A;
        bit_tables.rate_b = TRIAL_RATE_B;
        const BlockCodes codes = choose_codes(rc, block, n, done.rate_trials);
        const std::uint32_t flat = codes.flat;
        const Rates rates = codes.rates;
        rc.encode_direct_bit(flat);
        rc.encode_direct_byte(rates.a);
        rc.encode_direct_byte(rates.b);
        bit_tables.rate_a = rates.a;
        bit_tables.rate_b = rates.b;

        if (profile.class_word != CLASS_STRUCTURED) {
            encode_generic_path(rc, block, n, flat, bytes_done);
        } else {
            encode_structured_path(rc, block, n, profile, done.delta_trials);
        }
        bytes_done += n;
        if (io_buffer.failed) return failure(RunStatus::write_failed, io_buffer.error);
    }

    rc.flush();
    drain();
    if (io_buffer.failed) return failure(RunStatus::write_failed, io_buffer.error);
    done.bytes_in = length;
    done.bytes_out = header_bytes + io_buffer.moved;
    return done;
}

RunResult decompress(std::FILE* in, std::FILE* out) {
    start_run();

    // The header is read straight from the stream; an empty input's file
    // ends after the length, and nothing after it is used then.
    std::uint8_t header[16] = {};
    std::size_t got = std::fread(header, 1, 8, in);
    if (got < 4) {
        if (std::ferror(in)) return failure(RunStatus::read_failed, errno);
        return failure(RunStatus::damaged);
    }
    const std::uint32_t length = get_le32(header);
    DataProfile profile;
    profile.class_word = get_le32(header + 4);
    bool header_short = got < 8;
    if (!header_short && profile.class_word == CLASS_STRUCTURED) {
        const std::size_t more = std::fread(header + 8, 1, 8, in);
        header_short = more < 8;
        got += more;
        profile.stride = header[8];
        profile.far_stride = header[9];
        profile.row_width = get_le32(header + 10);
        profile.channels = header[14];
        profile.sample_width = header[15];
    }
    if (length != 0) {
        if (std::ferror(in)) return failure(RunStatus::read_failed, errno);
        if (header_short) return failure(RunStatus::truncated);
        // No compressor writes these; the delta filter could not walk them.
        if (profile.class_word == CLASS_STRUCTURED && (profile.channels == 0 || profile.sample_width == 0))
            return failure(RunStatus::damaged);
    }

    populate_for_run(length, false);
    if (profile.class_word != CLASS_STRUCTURED) populate_for_generic(length);
    bind_io_buffer(in);
    RangeCoder rc(1);
    std::uint8_t* const block = block_start;

    for (std::uint32_t bytes_done = 0; bytes_done < length;) {
        const std::uint32_t n = std::min(BLOCK_CAPACITY, length - bytes_done);
        const std::uint32_t flat = rc.decode_direct_bit();
        const std::uint32_t rate_a = rc.decode_direct_byte();
        const std::uint32_t rate_b = rc.decode_direct_byte();
        if (rate_a < 3 || rate_a > 6 || rate_b < 2 || rate_b > 6) {
            return failure(io_buffer.ran_dry ? RunStatus::truncated : RunStatus::damaged);
        }
        bit_tables.rate_a = static_cast<std::uint8_t>(rate_a);
        bit_tables.rate_b = static_cast<std::uint8_t>(rate_b);

        bool intact = true;
        if (profile.class_word != CLASS_STRUCTURED) {
            const std::uint32_t text = rc.decode_direct_bit();
            decode_generic_block(rc, block, n, flat);
            if (text) {
                intact = text_decode(block, n, work_buffer);
            } else if (!flat && rate_a < 6) {
                branch_decode(block, n, bytes_done);
            }
        } else {
            profile.row_context = static_cast<std::uint8_t>(rc.decode_direct_bit());
            const std::uint32_t delta = rc.decode_direct_bit();
            decode_structured_block(rc, block, n, profile);
            if (delta) delta_decode(block, 0, n, profile);
        }
        if (io_buffer.failed) return failure(RunStatus::read_failed, io_buffer.error);
        if (io_buffer.ran_dry) return failure(RunStatus::truncated);
        if (!intact) return failure(RunStatus::damaged);

        for (std::uint32_t done = 0; done < n;) {
            const std::uint32_t piece = std::min(WRITE_PIECE, n - done);
            if (std::fwrite(block + done, 1, piece, out) != piece) return failure(RunStatus::write_failed, errno);
            done += piece;
        }
        bytes_done += n;
    }
    RunResult done;
    done.bytes_in = got + io_buffer.moved;
    done.bytes_out = length;
    return done;
}

}  // namespace vexa
