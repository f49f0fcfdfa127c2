#include "codec/context.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace vexa {

namespace {

// One large page more than the context, so that it can start on a
// large-page boundary; the slack is unmapped again.
constexpr std::size_t MAPPING_SIZE = sizeof(vexa_ctx) + LARGE_PAGE_SIZE;

// Faults in the pages of a region that the run is about to fill, in one
// call instead of one fault per page, which on small files is a visible
// share of a run (bench/compare's times of the corpus's smaller files).
// Only a hint; a kernel without it leaves the pages to fault one by one.
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

// Asks for one 2 MiB page to back the aligned region at `start`. Also a
// hint; without it small pages serve as before.
void prefer_large_page(void* start) {
#ifdef MADV_HUGEPAGE
    madvise(start, LARGE_PAGE_SIZE, MADV_HUGEPAGE);
#else
    (void)start;
#endif
}

}  // namespace

vexa_ctx* create_context() {
    void* const mapping = mmap(nullptr, MAPPING_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(mapping);
    const auto aligned = (base + LARGE_PAGE_SIZE - 1) & ~(std::uintptr_t{LARGE_PAGE_SIZE} - 1);
    // A fresh mapping reads as zeros; default-initialising leaves it so
    // without touching a page, apart from the profile's few bytes.
    vexa_ctx* const ctx = new (reinterpret_cast<void*>(aligned)) vexa_ctx;
    ctx->match.multiplier_chosen = false;
    ctx->match_in_use = false;
    ctx->reader.phase = ReaderPhase::closed;
    // Trim the slack on both sides, so that the mapping is the context alone.
    if (aligned > base) munmap(mapping, aligned - base);
    const std::uintptr_t end = aligned + sizeof(vexa_ctx);
    const std::uintptr_t page_end = (end + 4095) & ~std::uintptr_t{4095};
    if (base + MAPPING_SIZE > page_end) munmap(reinterpret_cast<void*>(page_end), base + MAPPING_SIZE - page_end);
    return ctx;
}

void destroy_context(vexa_ctx* ctx) {
    if (ctx == nullptr) return;
    ctx->~vexa_ctx();
    munmap(ctx, sizeof(vexa_ctx));
}

void start_run(Context& ctx, std::uint32_t length, bool compressing) {
    // The position table shares the tables' page: where large pages are
    // granted, populating the tables faults it all in at once.
    prefer_large_page(&ctx.tables);
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
        prefer_large_page(ctx.match.window);
        populate(ctx.match.window, WINDOW_SIZE);
    } else {
        populate(ctx.match.window, length);
    }
}

}  // namespace vexa
