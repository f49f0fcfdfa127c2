// The two block pipelines and the stream they share: the header, then one
// range-coded body holding every block's codes and bytes. Data comes and goes
// only through the caller's functions.
#pragma once

#include <cstdint>

#include "codec/context.hpp"
#include "coder/range_coder.hpp"
#include "decisions/trial_interval.hpp"
#include "format/format.hpp"

namespace vexa {

inline constexpr std::uint32_t READ_PIECE = 65536;

struct RunResult {
    int status = 0;                // VEXA_OK or a VEXA_ERROR_* code
    std::uint64_t bytes_in = 0;    // taken from the reader
    std::uint64_t bytes_out = 0;   // handed to the writer
    TrialTally rate_trials;        // compressing: flat bit and rates of each block
    TrialTally delta_trials;       // compressing: delta decision of each structured block
};

RunResult compress(Context& ctx, std::uint64_t length, ReadFn read, void* read_user, WriteFn write,
                   void* write_user);
RunResult decompress(Context& ctx, ReadFn read, void* read_user, WriteFn write, void* write_user);

}  // namespace vexa
