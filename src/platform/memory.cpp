#include "platform/memory.hpp"

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vexa {

namespace {

std::uintptr_t align_up(std::uintptr_t address, std::uintptr_t alignment) {
    return (address + alignment - 1) & ~(alignment - 1);
}

}  // namespace

#ifdef _WIN32

void* allocate_region(std::size_t size, std::size_t alignment) {
    // Reserve with room to align, commit the aligned part alone: committed
    // pages read as zeros and take no memory until they are written.
    void* const reserved = VirtualAlloc(nullptr, size + alignment, MEM_RESERVE, PAGE_NOACCESS);
    if (reserved == nullptr) return nullptr;
    void* const aligned = reinterpret_cast<void*>(align_up(reinterpret_cast<std::uintptr_t>(reserved), alignment));
    if (VirtualAlloc(aligned, size, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        VirtualFree(reserved, 0, MEM_RELEASE);
        return nullptr;
    }
    return aligned;
}

void free_region(void* region, std::size_t) {
    // A reservation is released whole, from where it starts.
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(region, &info, sizeof info) != 0) VirtualFree(info.AllocationBase, 0, MEM_RELEASE);
}

// Large pages need a privilege that programs seldom hold, and committed
// pages have no call to fault them in ahead: both hints are left unused.
void populate(void*, std::size_t) {}
void prefer_large_page(void*, std::size_t) {}

#else

#if !defined(MAP_ANONYMOUS) && defined(MAP_ANON)
#define MAP_ANONYMOUS MAP_ANON
#endif

void* allocate_region(std::size_t size, std::size_t alignment) {
    // One alignment more than asked for, so that the region can start on
    // its boundary; the slack is unmapped again.
    const std::size_t mapping_size = size + alignment;
    void* const mapping = mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto base = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = align_up(base, alignment);
    // Trim the slack on both sides, so that the mapping is the region alone.
    if (aligned > base) munmap(mapping, aligned - base);
    const std::uintptr_t page_end = align_up(aligned + size, page);
    if (base + mapping_size > page_end) munmap(reinterpret_cast<void*>(page_end), base + mapping_size - page_end);
    return reinterpret_cast<void*>(aligned);
}

void free_region(void* region, std::size_t size) { munmap(region, size); }

void populate(void* start, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    // Whole pages only: the call refuses a start inside one.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t from = align_up(reinterpret_cast<std::uintptr_t>(start), page);
    const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(start) + size) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)size;
#endif
}

void prefer_large_page(void* start, std::size_t size) {
#ifdef MADV_HUGEPAGE
    madvise(start, size, MADV_HUGEPAGE);
#else
    (void)start;
    (void)size;
#endif
}

#endif

}  // namespace vexa
