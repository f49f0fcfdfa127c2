// Opening the input and the output, and moving bytes: what the program
// needs of the file system. One interface, a POSIX body (files_posix.cpp)
// and a Windows one (files_windows.cpp), and what is the same on both, the
// taking in of a pipe, in files.cpp. Paths are UTF-8. The names /dev/stdin
// and /dev/stdout mean the standard streams on both.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>

#include <string>
#else
#include <sys/stat.h>
#endif

namespace vexa::cli {

// A failed call's reason: an errno value, or on Windows the negated
// system error code where no errno value says the same.
using SystemError = int;

// The text after "path: " for a failed call.
const char* describe(SystemError error);

// An open file. Closed however the run ends; `close` reports a failure.
class File {
public:
#ifdef _WIN32
    using Native = HANDLE;
    static inline const Native NONE = INVALID_HANDLE_VALUE;
#else
    using Native = int;
    static constexpr Native NONE = -1;
#endif
    File() = default;
    explicit File(Native native) : native_(native) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    Native native() const { return native_; }
    bool is_open() const { return native_ != NONE; }
    void adopt(Native native) {
        close();
        native_ = native;
    }
    // The number read, 0 at the end, or -1 with `error` set.
    std::ptrdiff_t read_some(void* buf, std::size_t capacity, SystemError& error);
    bool write_all(const void* buf, std::size_t size, SystemError& error);
    bool close(SystemError& error);
    void close() {
        SystemError ignored = 0;
        close(ignored);
    }

private:
    Native native_ = NONE;
};

enum class FileKind { regular, directory, character_device, block_device, pipe };

// What the run needs to know of a file: its kind and length, who it is (to
// refuse writing the input over itself), and what a finished output copies.
struct FileFacts {
    FileKind kind = FileKind::regular;
    std::uint64_t length = 0;
#ifdef _WIN32
    bool identified = false;  // a file on a disk, whose volume and index say who it is
    DWORD volume = 0;
    DWORD index_high = 0, index_low = 0;
    FILETIME accessed{}, modified{};
    DWORD attributes = 0;
#else
    struct stat stat {};
#endif
};

bool same_file(const FileFacts& a, const FileFacts& b);

#ifdef _WIN32
// A UTF-8 path as the system's calls take it.
std::wstring widen(const char* path);
// The facts of an open handle; false when the system will not say.
bool learn(HANDLE handle, FileFacts& facts);
// A handle of our own on a standard stream, which the run may close.
HANDLE duplicate_standard(DWORD which);
// Windows' error code as a SystemError.
SystemError system_error(DWORD code);
#endif

// Opens the input for reading and learns its facts.
bool open_input(const char* path, File& file, FileFacts& facts, SystemError& error);

// The facts of what `path` names now, if anything: false when nothing is
// there (or it cannot be looked at, which opening it will then report).
bool look_at(const char* path, FileFacts& facts);

// Copies what cannot seek (a pipe, a FIFO, a socket) whole into a temporary
// file that nothing outlives, and returns it at its start in `copy`, with
// its length; stops with VEXA_ERROR_TOO_LARGE's reason past the largest
// input. `on_bytes` is told of every piece taken in. On failure, `path`
// says which side failed (the input's path or the temporary folder).
struct SpoolFailure {
    const char* path = nullptr;
    const char* reason = nullptr;
};
bool spool(File& input, const char* input_path, File& copy, std::uint64_t& length,
           void (*on_bytes)(void* user, std::size_t n), void* user, SpoolFailure& failure);

// What spool needs of the system. A new temporary file that nothing
// outlives, `folder` naming where it is (or would have been).
bool open_temporary(File& file, const char*& folder, SystemError& error);
// Moves on `n` bytes, leaving zeros behind (a hole where the system makes them).
bool skip_forward(File& file, std::size_t n, SystemError& error);
// Ends the file at `length` and goes back to its start.
bool end_and_rewind(File& file, std::uint64_t length, SystemError& error);

}  // namespace vexa::cli
