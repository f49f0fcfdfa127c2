// The decoder as a reader that the caller pulls: one block decoded at a time
// into the context, and streams taken one after another from the same
// input. Every stream ends exactly where its encoder stopped (the header,
// then the five bytes of the coder's start and one per normalisation), so
// the bytes after it are known to be the start of whatever follows.
#pragma once

#include <cstdint>

#include "coder/range_coder.hpp"

namespace vexa {

struct Context;

enum class ReaderPhase : std::uint8_t {
    closed,    // no reader on the context
    between,   // before a stream's header
    inside,    // between two blocks of a stream
    ended,     // every stream restored
    failed,    // `status` says why
};

struct StreamReader {
    RangeCoder coder;              // of the current stream
    std::uint32_t length;          // the current stream's stored length
    std::uint32_t bytes_done;      // of it, decoded
    std::uint32_t out_pos;         // the current block's bytes not yet handed out
    std::uint32_t out_end;
    std::uint64_t complete_size;   // input bytes of the complete streams so far
    std::uint64_t streams;         // complete streams so far
    int status;                    // of a failed reader
    ReaderPhase phase;
    bool one_stream;
};

// Binds the context's buffer to `read` and readies the first stream. Any
// run that was open on the context ends.
void open_reader(Context& ctx, ReadFn read, void* user, bool one_stream);

// Ends the reader on the context, wherever it stands.
void close_reader(Context& ctx);

// Decodes the next block into ctx.block() and sets `n` to its length, 0
// once every stream has been restored. Returns VEXA_OK or a failure, which
// sticks: every later call returns it again.
int next_block(Context& ctx, std::uint32_t& n);

// Input bytes consumed so far; exact at any stream boundary.
std::uint64_t bytes_consumed(const IoBuffer& io);

}  // namespace vexa
