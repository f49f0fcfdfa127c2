#pragma once

#include <cstddef>

// What the codec needs from the system: its working memory. Everything else
// it reaches through the caller's callbacks.
namespace vexa {

// `size` bytes starting on an `alignment`-byte boundary (a power of two, at
// least a page). They read as zeros and no page is touched until written,
// so that a run pays only for the memory that its input reaches. nullptr
// when the system refuses.
void* allocate_region(std::size_t size, std::size_t alignment);

// Gives back a region from allocate_region, with the size asked for then.
void free_region(void* region, std::size_t size);

// Faults in the pages of a region that the run is about to fill, in one call
// instead of one fault per page, which on small files is a visible share of
// a run. Only a hint: where the system has no such call, the pages fault one
// by one.
void populate(void* start, std::size_t size);

// Asks for a large page to back `size` bytes at `start`, aligned to it.
// Also a hint; without it small pages serve.
void prefer_large_page(void* start, std::size_t size);

}  // namespace vexa
