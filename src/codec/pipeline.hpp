// The two block pipelines and the stream they share: the header, then one
// range-coded body holding every block's codes and bytes. Data comes and goes
// only through the caller's functions.
#pragma once

#include <cstdint>

#include "codec/context.hpp"
#include "coder/range_coder.hpp"
#include "format/format.hpp"
#include "model/trial_bound.hpp"

namespace vexa {

inline constexpr std::uint32_t READ_PIECE = 65536;

struct RunResult {
    int status = 0;                // VEXA_OK or a VEXA_ERROR_* code
    std::uint64_t bytes_in = 0;    // taken from the reader
    std::uint64_t bytes_out = 0;   // handed to the writer
    TrialTally rate_trials;        // compressing: flat bit and rates of each block
    TrialTally delta_trials;       // compressing: delta decision of each structured block
};

// The filters are tried on modelled blocks only: flat blocks, and those
// whose rate says their trial count was 0.95 bytes per byte or more, are
// near random. Both directions ask here.
inline bool block_filters_allowed(std::uint32_t flat, std::uint32_t rate_a) {
    return !flat && rate_a < FILTER_RATE_A_LIMIT;
}

// The x86 filter's arithmetic is that of signed 32-bit positions: blocks that
// end past 2^31 - 1 (in inputs of 2 GiB or more) are left as they are.
inline bool branch_filter_fits(std::uint64_t block_end) { return block_end < (std::uint64_t{1} << 31); }

// The rates of a block from its trial count; see RATE_BANDS.
RateBand choose_rates(std::uint32_t count, std::uint32_t n);
// 1 when the trial count says the block barely compresses.
std::uint32_t choose_flat(std::uint32_t count, std::uint32_t n);

RunResult compress(Context& ctx, std::uint64_t length, ReadFn read, void* read_user, WriteFn write,
                   void* write_user);
RunResult decompress(Context& ctx, ReadFn read, void* read_user, WriteFn write, void* write_user);

}  // namespace vexa
