#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "cli/console.hpp"

namespace vexa::cli {

namespace {

// The width of the progress line standing on the console, 0 when none: a
// console without escape sequences is cleared by writing over it.
volatile LONG progress_width = 0;

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

bool write_bytes(HANDLE handle, const char* text, std::size_t length) {
    while (length > 0) {
        DWORD put = 0;
        const DWORD piece = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        if (WriteFile(handle, text, piece, &put, nullptr) == 0 || put == 0) return false;
        text += put;
        length -= put;
    }
    return true;
}

// A console takes UTF-16, so that a name in any script shows as typed
// whatever its code page; anything else (a file, a pipe) gets the UTF-8
// bytes, as on other systems.
bool write_text(HANDLE handle, const std::string& text) {
    if (!is_console(handle)) return write_bytes(handle, text.data(), text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    DWORD put = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &put, nullptr) != 0;
}

}  // namespace

long long now_ms() { return static_cast<long long>(GetTickCount64()); }

bool progress_terminal() { return is_console(GetStdHandle(STD_ERROR_HANDLE)); }

void draw_progress_line(const char* text, std::size_t length) {
    const auto width = static_cast<std::size_t>(progress_width);
    std::string line = "\r";
    line.append(text, length);
    if (width > length) line.append(width - length, ' ');
    if (write_bytes(GetStdHandle(STD_ERROR_HANDLE), line.data(), line.size())) {
        InterlockedExchange(&progress_width, static_cast<LONG>(std::max(width, length)));
    }
}

// Also called from the console's control handler, on a thread of its own.
void erase_progress_line() {
    const LONG width = InterlockedExchange(&progress_width, 0);
    if (width <= 0) return;
    char line[160];
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(width), sizeof line - 2);
    line[0] = '\r';
    std::memset(line + 1, ' ', n);
    line[n + 1] = '\r';
    write_bytes(GetStdHandle(STD_ERROR_HANDLE), line, n + 2);
}

bool print(Stream stream, std::initializer_list<const char*> pieces) {
    std::string text;
    for (const char* piece : pieces) text += piece;
    return write_text(GetStdHandle(stream == Stream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), text);
}

}  // namespace vexa::cli

#endif
