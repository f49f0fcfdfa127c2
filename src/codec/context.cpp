#include "codec/context.hpp"

#include <algorithm>
#include <new>

#include "platform/memory.hpp"

namespace vexa {

vexa_ctx* create_context() {
    // Large-page aligned: the tables and the position table share one.
    void* const region = allocate_region(sizeof(vexa_ctx), LARGE_PAGE_SIZE);
    if (region == nullptr) return nullptr;
    // A fresh region reads as zeros; default-initialising leaves it so
    // without touching a page, apart from the profile's few bytes.
    vexa_ctx* const ctx = new (region) vexa_ctx;
    ctx->match.multiplier_chosen = false;
    ctx->match_in_use = false;
    ctx->reader.phase = ReaderPhase::closed;
    return ctx;
}

void destroy_context(vexa_ctx* ctx) {
    if (ctx == nullptr) return;
    ctx->~vexa_ctx();
    free_region(ctx, sizeof(vexa_ctx));
}

void start_run(Context& ctx, std::uint32_t length, bool compressing) {
    // The position table shares the tables' page: where large pages are
    // granted, populating the tables faults it all in at once.
    prefer_large_page(&ctx.tables, LARGE_PAGE_SIZE);
    populate(ctx.tables.table_a, offsetof(BitTables, trial) - offsetof(BitTables, table_a));
    populate(ctx.block_storage, CONTEXT_REACH + std::min(length, BLOCK_CAPACITY));
    if (compressing && length > 2) populate(ctx.tables.trial, sizeof ctx.tables.trial);
    init_tables(ctx.tables);
    if (ctx.match_in_use) {
        reset_match_model(ctx.match);
        ctx.match_in_use = false;
    } else {
        ctx.match.hash = 0;
        ctx.match.hash_multiplier = 0;
        ctx.match.write_offset = 0;
        ctx.match.lap = 0;
        ctx.match.swept_lap = 0;
        reset_match_block(ctx.match);
    }
    std::fill(ctx.block_storage, ctx.block(), std::uint8_t{0});
    ctx.profile = DataProfile{};
}

void prepare_generic_path(Context& ctx, std::uint32_t length) {
    // The multiplier search clears the whole position table from this size on.
    if (length < SEARCH_ENTRIES / 4) return;
    populate(ctx.match.positions, sizeof ctx.match.positions);
    // Zeroing one large page costs about what faulting in 100 small ones
    // does, so a window of at least 512 KiB in use takes one.
    if (length >= WINDOW_SIZE / 4) {
        prefer_large_page(ctx.match.window, LARGE_PAGE_SIZE);
        populate(ctx.match.window, WINDOW_SIZE);
    } else {
        populate(ctx.match.window, length);
    }
}

}  // namespace vexa
