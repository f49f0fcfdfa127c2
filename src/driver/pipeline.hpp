// The two block pipelines and the file they share: a 4-byte length, the
// profile bytes, then one range-coded body holding every block's codes and
// bytes. Blocks are 512 KiB, the last one shorter; their lengths follow from
// the stored length and are never written.
#pragma once

#include <cstdint>
#include <cstdio>

#include "model/trial_bound.hpp"

namespace vexa {

inline constexpr std::uint32_t BLOCK_CAPACITY = 524288;
inline constexpr std::uint32_t READ_PIECE = 65536;
inline constexpr std::uint32_t WRITE_PIECE = 4096;
inline constexpr std::uint64_t MAX_INPUT_LENGTH = (std::uint64_t{1} << 31) - 1;

// Scratch space of the text substitution, BLOCK_CAPACITY bytes, allocated
// once per run by allocate_work_buffer.
extern std::uint8_t* work_buffer;
bool allocate_work_buffer();

enum class RunStatus {
    ok,
    read_failed,     // the input stream reported an error (errno in RunResult)
    input_changed,   // the input ended before the length taken at the start
    too_large,       // the input is 2^31 bytes or more, or has no length
    write_failed,    // the output stream reported an error (errno in RunResult)
    truncated,       // the compressed input ended before its stored length was restored
    damaged,         // the compressed input holds values no compressor writes
};

struct RunResult {
    RunStatus status = RunStatus::ok;
    int error = 0;
    std::uint64_t bytes_in = 0;    // read from the input stream
    std::uint64_t bytes_out = 0;   // written to the output stream
    TrialTally rate_trials;        // compressing: flat bit and rates of each block
    TrialTally delta_trials;       // compressing: delta decision of each structured block
};

// Both take open streams positioned at their start and leave the output
// complete but unflushed; the caller flushes, closes and reports.
RunResult compress(std::FILE* in, std::FILE* out);
RunResult decompress(std::FILE* in, std::FILE* out);

}  // namespace vexa
