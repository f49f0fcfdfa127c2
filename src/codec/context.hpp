// All the state of a run, in one place: a context serves any number of runs,
// one at a time, and shares nothing writable with any other context.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder/bit_models.hpp"
#include "codec/reader.hpp"
#include "coder/range_coder.hpp"
#include "filters/delta.hpp"
#include "filters/detect.hpp"
#include "format/format.hpp"
#include "model/match_model.hpp"
#include "model/structured_model.hpp"

namespace vexa {

inline constexpr std::size_t LARGE_PAGE_SIZE = std::size_t{1} << 21;

// The tables and the position table share the first 2 MiB page, the window
// fills the second: where a large page is granted for each, one fault stands
// for 512. Nothing here is initialised on creation: pages that a run never
// touches stay out of resident memory.
struct Context {
    BitTables tables;
    MatchModel match;
    IoBuffer io;
    // The current block, with zero bytes in front for context reads before
    // its start and spare bytes behind for the delta filter's last sample.
    std::uint8_t block_storage[CONTEXT_REACH + BLOCK_CAPACITY + DELTA_SPARE_BYTES];
    std::uint8_t work[BLOCK_CAPACITY];   // scratch space of the text substitution
    DataProfile profile;
    StreamReader reader;
    bool match_in_use;   // a generic block has been coded since the match model was last cleared

    std::uint8_t* block() { return block_storage + CONTEXT_REACH; }
};
static_assert(sizeof(BitTables) + sizeof MatchModel::positions == LARGE_PAGE_SIZE,
              "the tables and the position table fill the first page exactly");
static_assert(offsetof(Context, match) == sizeof(BitTables), "the position table follows the tables");
static_assert(offsetof(MatchModel, window) == sizeof MatchModel::positions, "the window follows the position table");

}  // namespace vexa

// The library's handle is the context itself.
struct vexa_ctx : vexa::Context {};

namespace vexa {

// A context on memory of its own, aligned to a large page; null when memory
// is short. Released by destroy_context.
vexa_ctx* create_context();
void destroy_context(vexa_ctx* ctx);

// What every run does first, in both directions alike: afterwards the
// context is as a fresh one would be for this run. `length` is the run's
// uncompressed length, so that only the pages it will use are faulted in.
void start_run(Context& ctx, std::uint32_t length, bool compressing);

// The generic path touches the whole position table, and the window up to
// the input's length; faults them in at once once the path is known.
void prepare_generic_path(Context& ctx, std::uint32_t length);

// The match model for the generic block about to be coded; the next run
// clears it. Only a model handed out here is ever cleared, so that the
// pages of a window no run has used stay untouched.
inline MatchModel& match_for_block(Context& ctx) {
    ctx.match_in_use = true;
    return ctx.match;
}

}  // namespace vexa
