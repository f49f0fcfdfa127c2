#ifndef _WIN32

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/console.hpp"

namespace vexa::cli {

namespace {

// Set while a progress line stands, for a signal handler to clear it.
volatile sig_atomic_t progress_shown = 0;
const char ERASE_LINE[] = "\r\033[K";

bool write_stderr(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t put = write(STDERR_FILENO, text, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        text += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

// clock_gettime rather than <chrono>: the one call from the C++ runtime
// would otherwise load its whole shared library, 1.5 MiB of resident memory.
long long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool progress_terminal() { return isatty(STDERR_FILENO) != 0; }

void draw_progress_line(const char* text, std::size_t length) {
    char line[128];
    if (length + sizeof ERASE_LINE > sizeof line) return;
    line[0] = '\r';
    std::memcpy(line + 1, text, length);
    std::memcpy(line + 1 + length, ERASE_LINE + 1, sizeof ERASE_LINE - 2);
    if (write_stderr(line, length + sizeof ERASE_LINE - 1)) progress_shown = 1;
}

void erase_progress_line() {
    if (progress_shown == 0) return;
    progress_shown = 0;
    write_stderr(ERASE_LINE, sizeof ERASE_LINE - 1);
}

bool print(Stream stream, std::initializer_list<const char*> pieces) {
    std::FILE* const file = stream == Stream::out ? stdout : stderr;
    bool written = true;
    for (const char* piece : pieces) written = std::fputs(piece, file) >= 0 && written;
    return std::fflush(file) == 0 && written;
}

}  // namespace vexa::cli

#endif
