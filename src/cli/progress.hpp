// One status line on a terminal, for runs that take a while: percent done,
// speed and time left, or only the bytes so far while the total is unknown.
// The clock is read from the read and write functions, each call of which
// moves up to 512 KiB: no timer, no signal, nothing at all when standard
// error is not a terminal. A decompression from a file counts the bytes
// read against the file's size, however many streams it holds; one from a
// pipe counts the bytes restored against the first stream's length, and
// only the bytes once a later stream has taken it past that.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::cli {

struct Progress {
    bool enabled = false;
    long long next_draw = 0;
    long long phase_start = 0;
    std::uint64_t total = 0;  // 0: not known (yet)
    std::uint64_t done = 0;
    const char* counted = "read";  // what `done` counts

    void start(long long now);
    // A new stage with its own count, e.g. compressing what a pipe gave.
    void restart(std::uint64_t new_total);
    void advance(std::size_t n);
    void tick();

private:
    void draw(long long now) const;
};

}  // namespace vexa::cli
