// The command line: `vexa c input output` or `vexa d input output`. One run:
// check the command line, open the input and then the output, run the
// library in the chosen direction, report. Decompression restores every
// stream of a concatenated input, as `cat a.vx b.vx` makes one. Every failure
// ends with a message on standard error, status 1, and no partial output
// left behind.

// Inputs and temporary files past 2 GiB on 32-bit systems too: a 64-bit
// off_t and st_size (the default already on 64-bit ones).
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "vexa.h"

namespace {

const char* const USAGE =
    "experimental vexa method v.0.01            \n"
    "To compress:   vexa c input output\n"
    "To decompress: vexa d input output\n";

// The file to remove if the run fails: the output's resolved path, once we
// have created or truncated a regular file there. Read by the signal
// handler, hence volatile and of the plainest type.
const char* volatile partial_output = nullptr;
char partial_output_path[PATH_MAX];

// Set while a progress line stands on standard error, for the signal handler.
volatile sig_atomic_t progress_shown = 0;
const char ERASE_LINE[] = "\r\033[K";

void erase_progress() {
    if (progress_shown == 0) return;
    progress_shown = 0;
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, ERASE_LINE, sizeof ERASE_LINE - 1);
}

void remove_partial_output() {
    if (partial_output != nullptr) std::remove(partial_output);
    partial_output = nullptr;
}

// An interrupted run must not leave a half-written file that looks complete:
// remove it, then die of the same signal so the caller sees why we stopped.
extern "C" void on_fatal_signal(int sig) {
    if (partial_output != nullptr) unlink(partial_output);
    if (progress_shown != 0) {
        [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, ERASE_LINE, sizeof ERASE_LINE - 1);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// A signal the caller set to be ignored stays ignored: a background job
// keeps ignoring SIGINT, and an ignored SIGXFSZ or SIGPIPE turns into a
// failed write, which is reported like any other.
void catch_fatal_signals() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            signal(sig, on_fatal_signal);
        }
    }
}

// "path: reason"; the message is formed before the removal can touch errno.
int fail(const char* path, const char* reason) {
    erase_progress();
    std::fprintf(stderr, "%s: %s\n", path, reason);
    remove_partial_output();
    return 1;
}

int fail_errno(const char* path, int err) { return fail(path, std::strerror(err != 0 ? err : EIO)); }

// Elapsed wall time in milliseconds. clock_gettime rather than <chrono>:
// the one call from the C++ runtime would otherwise load its whole shared
// library, 1.5 MiB of resident memory.
long long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// One status line on a terminal, for runs that take a while: percent done,
// speed and time left, or only the bytes so far while the total is unknown.
// The clock is read from the read and write functions, each call of which
// moves up to 512 KiB: no timer, no signal, nothing at all when standard
// error is not a terminal. A decompression from a file counts the bytes
// read against the file's size, however many streams it holds; one from a
// pipe counts the bytes restored against the first stream's length, and
// only the bytes once a later stream has taken it past that.
struct Progress {
    bool enabled = false;
    long long next_draw = 0;
    long long phase_start = 0;
    std::uint64_t total = 0;  // 0: not known (yet)
    std::uint64_t done = 0;
    const char* counted = "read";  // what `done` counts

    void start(long long now) {
        enabled = isatty(STDERR_FILENO) != 0;
        next_draw = now + 1000;  // runs shorter than a second show nothing
        phase_start = now;
    }

    // A new stage with its own count, e.g. compressing what a pipe gave.
    void restart(std::uint64_t new_total) {
        total = new_total;
        done = 0;
        phase_start = now_ms();
    }

    void advance(std::size_t n) {
        done += n;
        if (done > total) total = 0;
        tick();
    }

    void tick() {
        if (!enabled) return;
        const long long now = now_ms();
        if (now < next_draw) return;
        next_draw = now + 250;
        draw(now);
    }

    void draw(long long now) const {
        const double seconds = static_cast<double>(now - phase_start) / 1000.0;
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        char line[96];
        int length = 0;
        if (total == 0) {
            length = std::snprintf(line, sizeof line, "\r%.1f MB %s, %.1f MB/s\033[K",
                                   static_cast<double>(done) / 1e6, counted, rate / 1e6);
        } else {
            const std::uint64_t part = std::min(done, total);
            char left[32] = "--:--";
            if (rate > 0) {
                const auto s = static_cast<long long>(static_cast<double>(total - part) / rate + 0.5);
                if (s < 3600) {
                    std::snprintf(left, sizeof left, "%lld:%02lld", s / 60, s % 60);
                } else {
                    std::snprintf(left, sizeof left, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
                }
            }
            length = std::snprintf(line, sizeof line, "\r%3d%%  %.1f MB/s  %s left\033[K",
                                   static_cast<int>(part * 100 / total), rate / 1e6, left);
        }
        if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
        if (write(STDERR_FILENO, line, static_cast<std::size_t>(length)) == length) progress_shown = 1;
    }
};

Progress progress;

std::ptrdiff_t read_some(int fd, void* buf, std::size_t capacity) {
    ssize_t got;
    do got = read(fd, buf, capacity);
    while (got < 0 && errno == EINTR);
    return got;
}

bool write_all(int fd, const void* buf, std::size_t size) {
    const auto* p = static_cast<const char*>(buf);
    while (size > 0) {
        const ssize_t put = write(fd, p, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// The input as the library's read function. The count is what the summary
// line reports for a decompression: the whole input, padding included. A
// decompression from a pipe takes the length of the first stream from its
// first 4 bytes as they pass, for the progress line.
struct Input {
    int fd;
    bool from_pipe = false;
    int error = 0;
    std::uint64_t bytes_read = 0;
    unsigned char header[4] = {};
    std::size_t header_bytes = 0;
};

std::ptrdiff_t read_input(void* user, void* buf, std::size_t capacity) {
    auto& in = *static_cast<Input*>(user);
    const std::ptrdiff_t got = read_some(in.fd, buf, capacity);
    if (got < 0) {
        in.error = errno;
        return -1;
    }
    in.bytes_read += static_cast<std::uint64_t>(got);
    if (!in.from_pipe) {
        progress.advance(static_cast<std::size_t>(got));
    } else if (in.header_bytes < sizeof in.header && got > 0) {
        const std::size_t n = std::min(sizeof in.header - in.header_bytes, static_cast<std::size_t>(got));
        std::memcpy(in.header + in.header_bytes, buf, n);
        in.header_bytes += n;
        std::uint64_t length = 0;
        if (vexa_stored_length(in.header, in.header_bytes, &length) == VEXA_OK) progress.total = length;
    }
    return got;
}

// The output. As the compressor's write function: the library hands over
// 64 KiB of coded data at a time, and a header of a few bytes before them,
// so a buffer of 64 KiB makes each one system call. Decompression fills the
// same buffer from the reader.
struct Output {
    int fd = -1;
    int error = 0;
    std::size_t used = 0;
    char buffer[65536];

    bool flush() {
        if (used > 0 && !write_all(fd, buffer, used)) {
            error = errno;
            return false;
        }
        used = 0;
        return true;
    }
};

int write_output(void* user, const void* buf, std::size_t size) {
    auto& out = *static_cast<Output*>(user);
    if (out.used + size > sizeof out.buffer && !out.flush()) return -1;
    if (size >= sizeof out.buffer) {
        if (!write_all(out.fd, buf, size)) {
            out.error = errno;
            return -1;
        }
    } else {
        std::memcpy(out.buffer + out.used, buf, size);
        out.used += size;
    }
    progress.tick();
    return 0;
}

// Restores every stream of the input into out.fd, through the output's
// buffer: the reader decodes a whole block at once and hands it out in as
// many pieces as we ask for, so a block-sized buffer would only add 0.5 MiB
// of resident memory, not speed.
// Returns a status as the library's one-call functions do; the reader stays
// open, for the caller to learn where the last complete stream ended.
int restore(vexa_ctx* ctx, Input& in, Output& out, std::uint64_t& bytes_out) {
    if (const int status = vexa_reader_open(ctx, read_input, &in, 0); status != VEXA_OK) return status;
    bytes_out = 0;
    for (;;) {
        const std::ptrdiff_t got = vexa_reader_read(ctx, out.buffer, sizeof out.buffer);
        if (got < 0) return static_cast<int>(got);
        if (got == 0) return VEXA_OK;
        if (!write_all(out.fd, out.buffer, static_cast<std::size_t>(got))) {
            out.error = errno;
            return VEXA_ERROR_WRITE;
        }
        bytes_out += static_cast<std::uint64_t>(got);
        if (in.from_pipe) progress.advance(static_cast<std::size_t>(got));
    }
}

// The library's reason, and once a stream has been complete, where the last
// one ended: the first `complete` bytes of the input restore on their own
// (`head -c`), which is worth knowing about a long concatenation.
int fail_decoding(const char* path, int status, std::uint64_t complete) {
    if (complete == 0) return fail(path, vexa_strerror(status));
    char reason[160];
    std::snprintf(reason, sizeof reason, "%s after the stream that ends at byte %llu", vexa_strerror(status),
                  static_cast<unsigned long long>(complete));
    return fail(path, reason);
}

// Closes a descriptor however the run ends.
struct FdHolder {
    int fd = -1;
    ~FdHolder() {
        if (fd >= 0) close(fd);
    }
};

bool all_zero(const char* p, std::size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

// The format stores the length first, so an input that cannot seek (a pipe,
// a FIFO, a socket) is first copied whole into an unlinked file in $TMPDIR,
// or /tmp; nothing of it outlives the process. Runs of zeros are skipped
// rather than written, so a stream of zeros costs no disk. Past the largest
// length the format stores, stops: the rest is never read. Returns the
// file, at its start, or -1 after reporting.
int spool(int in_fd, const char* in_path, std::uint64_t& length) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {  // a file system without nameless files: name one, unlink it at once
        char name[PATH_MAX];
        if (std::snprintf(name, sizeof name, "%s/vexa.XXXXXX", dir) >= static_cast<int>(sizeof name)) {
            fail_errno(dir, ENAMETOOLONG);
            return -1;
        }
        fd = mkstemp(name);
        if (fd < 0) {
            fail_errno(dir, errno);
            return -1;
        }
        unlink(name);
    }

    FdHolder file{fd};
    static char chunk[65536];
    length = 0;
    for (;;) {
        const std::ptrdiff_t got = read_some(in_fd, chunk, sizeof chunk);
        if (got < 0) {
            fail_errno(in_path, errno);
            return -1;
        }
        if (got == 0) break;
        length += static_cast<std::uint64_t>(got);
        if (length > VEXA_MAX_INPUT_LENGTH) {
            fail(in_path, vexa_strerror(VEXA_ERROR_TOO_LARGE));
            return -1;
        }
        const auto n = static_cast<std::size_t>(got);
        const bool stored = all_zero(chunk, n) ? lseek(fd, got, SEEK_CUR) >= 0 : write_all(fd, chunk, n);
        if (!stored) {
            fail_errno(dir, errno);
            return -1;
        }
        progress.advance(n);
    }
    if (ftruncate(fd, static_cast<off_t>(length)) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        fail_errno(dir, errno);
        return -1;
    }
    file.fd = -1;
    return fd;
}

// A finished output gets what the input had: its permission bits, its
// owner and group where we may set them, its access and modification
// times. Failures change nothing about the data and are not reported.
void copy_attributes(int fd, const struct stat& in, const struct stat& out) {
    gid_t group = out.st_gid;
    if (fchown(fd, in.st_uid, in.st_gid) == 0 || fchown(fd, static_cast<uid_t>(-1), in.st_gid) == 0) {
        group = in.st_gid;
    }
    mode_t mode = in.st_mode & 0777;
    // A group other than the input's gets no more than everyone else.
    if (group != in.st_gid) mode = (mode & ~static_cast<mode_t>(070)) | ((mode & 07) << 3);
    fchmod(fd, mode);
    const timespec times[2] = {in.st_atim, in.st_mtim};
    futimens(fd, times);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Frees the context however the run ends.
struct ContextHolder {
    vexa_ctx* ctx = vexa_create();
    ~ContextHolder() { vexa_free(ctx); }
};

int run(int argc, char** argv) {
    if (argc != 4 || (argv[1][0] != 'c' && argv[1][0] != 'd')) {
        std::fputs(USAGE, stdout);
        return 1;
    }
    const bool compressing = argv[1][0] == 'c';
    const char* const in_path = argv[2];
    const char* const out_path = argv[3];
    const long long start = now_ms();
    progress.start(start);
    catch_fatal_signals();

    FdHolder in_file{open(in_path, O_RDONLY | O_NOCTTY | O_CLOEXEC)};
    if (in_file.fd < 0) return fail_errno(in_path, errno);

    // Refuse before the output is opened: opening it would truncate the input.
    struct stat in_stat {}, out_stat {};
    if (fstat(in_file.fd, &in_stat) != 0) return fail_errno(in_path, errno);
    if (S_ISDIR(in_stat.st_mode)) return fail_errno(in_path, EISDIR);
    const bool out_existed = stat(out_path, &out_stat) == 0;
    if (out_existed && same_file(out_stat, in_stat)) return fail(out_path, "is the input file; refusing to overwrite it");
    // A device has no length to take, and some never end: /dev/zero would
    // go on forever, a terminal waits for typing. Decompression reads
    // devices like pipes, through to the end of the compressed data.
    if (compressing && S_ISCHR(in_stat.st_mode)) {
        return fail(in_path, "is a character device; vexa compresses files and pipes");
    }
    if (compressing && S_ISBLK(in_stat.st_mode)) {
        return fail(in_path, "is a block device; vexa compresses files and pipes");
    }
    const bool in_regular = S_ISREG(in_stat.st_mode);
    auto in_length = static_cast<std::uint64_t>(in_stat.st_size);
    if (compressing && in_regular && in_length > VEXA_MAX_INPUT_LENGTH) {
        return fail(in_path, vexa_strerror(VEXA_ERROR_TOO_LARGE));
    }

    ContextHolder holder;
    if (holder.ctx == nullptr) return fail("vexa", vexa_strerror(VEXA_ERROR_MEMORY));

    FdHolder spooled;
    Input in{in_file.fd};
    if (compressing && !in_regular) {
        spooled.fd = spool(in_file.fd, in_path, in_length);
        if (spooled.fd < 0) return 1;
        in.fd = spooled.fd;
    }
    if (compressing || in_regular) {
        progress.restart(in_length);
    } else {
        in.from_pipe = true;
        progress.counted = "restored";
    }

    // Private while it is written: created 0600, and an existing file, which
    // keeps its mode through O_TRUNC, made so.
    const mode_t mask = umask(0);
    umask(mask);
    static Output out;  // its buffer is too large for the stack
    out.fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0600);
    if (out.fd < 0) return fail_errno(out_path, errno);
    // Written to our own standard output, a pipe to ssh say, the data must
    // stay pure: the summary line goes to standard error, and the file
    // there, if any, is the caller's to keep or remove.
    struct stat stdout_stat {}, stderr_stat {};
    if (fstat(out.fd, &out_stat) != 0) return fail_errno(out_path, errno);
    const bool to_stdout = fstat(STDOUT_FILENO, &stdout_stat) == 0 && same_file(out_stat, stdout_stat);
    // Data written to the terminal itself: no status line into it.
    if (fstat(STDERR_FILENO, &stderr_stat) == 0 && same_file(out_stat, stderr_stat)) progress.enabled = false;
    const bool out_regular = S_ISREG(out_stat.st_mode) && !to_stdout;
    const mode_t old_mode = out_stat.st_mode & 07777;
    if (out_regular) {
        // The file removed on failure is the one written, also through a
        // symbolic link.
        partial_output = realpath(out_path, partial_output_path) != nullptr ? partial_output_path : out_path;
        if ((old_mode & 07077) != 0) fchmod(out.fd, 0600);
    }

    std::uint64_t bytes_out = 0;
    const int status = compressing
        ? vexa_compress_stream(holder.ctx, in_length, read_input, &in, write_output, &out, &bytes_out)
        : restore(holder.ctx, in, out, bytes_out);
    const std::uint64_t bytes_in = compressing ? in_length : in.bytes_read;
    switch (status) {
        case VEXA_OK: break;
        case VEXA_ERROR_READ: return fail_errno(in_path, in.error);
        case VEXA_ERROR_WRITE: return fail_errno(out_path, out.error);
        default: return fail_decoding(in_path, status, compressing ? 0 : vexa_reader_complete_size(holder.ctx));
    }
    if (!out.flush()) return fail_errno(out_path, out.error);

    if (out_regular && in_regular) {
        copy_attributes(out.fd, in_stat, out_stat);
    } else if (out_regular) {
        // From a pipe or a device there is nothing to copy: the mode a new
        // file gets, or the one the existing file had.
        fchmod(out.fd, out_existed ? old_mode : 0666 & ~mask);
    }
    const int closed = close(out.fd);
    out.fd = -1;
    if (closed != 0) return fail_errno(out_path, errno);
    partial_output = nullptr;
    const long long end = now_ms();

    // The counts are what the run read and wrote: right for a pipe too,
    // which has no position.
    // Printed as long long: a long of 32 bits would wrap at 2 GiB.
    erase_progress();
    std::fprintf(to_stdout ? stderr : stdout, "%s (%lld bytes) -> %s (%lld bytes) in %1.2f s.\n", in_path,
                 static_cast<long long>(bytes_in), out_path, static_cast<long long>(bytes_out),
                 static_cast<double>(end - start) / 1000.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
