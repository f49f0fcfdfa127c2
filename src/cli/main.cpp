// The command line: `vexa c input output` or `vexa d input output`. One run:
// check the command line, open the input and then the output, run the
// library in the chosen direction, report. Every failure ends with a message
// on standard error, status 1, and no partial output left behind.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

// The output path, once we have created or truncated a regular file there.
// Read by the signal handler, hence volatile and of the plainest type.
const char* volatile partial_output = nullptr;

void remove_partial_output() {
    if (partial_output != nullptr) std::remove(partial_output);
    partial_output = nullptr;
}

// An interrupted run must not leave a half-written file that looks complete:
// remove it, then die of the same signal so the caller sees why we stopped.
extern "C" void on_fatal_signal(int sig) {
    if (partial_output != nullptr) unlink(partial_output);
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

// A stdio stream as the library's reader or writer; the errno of its first
// failure is kept for the message.
struct FileEnd {
    std::FILE* file;
    int error;
};

std::ptrdiff_t read_file(void* user, void* buf, std::size_t capacity) {
    auto& f = *static_cast<FileEnd*>(user);
    const std::size_t got = std::fread(buf, 1, capacity, f.file);
    if (got == 0 && std::ferror(f.file)) {
        f.error = errno;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

int write_file(void* user, const void* buf, std::size_t size) {
    auto& f = *static_cast<FileEnd*>(user);
    if (std::fwrite(buf, 1, size, f.file) == size) return 0;
    f.error = errno;
    return -1;
}

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

    FileEnd in{std::fopen(in_path, "rb"), 0};
    if (in.file == nullptr) return fail_errno(in_path, errno);

    // Refuse before the output is opened: opening it would truncate the input.
    struct stat in_stat {}, out_stat {};
    if (fstat(fileno(in.file), &in_stat) != 0) return fail_errno(in_path, errno);
    if (S_ISDIR(in_stat.st_mode)) return fail_errno(in_path, EISDIR);
    if (stat(out_path, &out_stat) == 0 && out_stat.st_dev == in_stat.st_dev &&
        out_stat.st_ino == in_stat.st_ino) {
        return fail(out_path, "is the input file; refusing to overwrite it");
    }
    // The format stores the length first, so only a regular file, whose
    // length is known before it is read, can be compressed.
    const auto in_length = static_cast<unsigned long long>(in_stat.st_size);
    if (compressing && !S_ISREG(in_stat.st_mode)) {
        return fail(in_path, "cannot compress: not a regular file of less than 4 GiB");
    }
    if (compressing && in_length > VEXA_MAX_INPUT_LENGTH) return fail(in_path, vexa_strerror(VEXA_ERROR_TOO_LARGE));

    ContextHolder holder;
    if (holder.ctx == nullptr) return fail("vexa", vexa_strerror(VEXA_ERROR_MEMORY));

    catch_fatal_signals();
    FileEnd out{std::fopen(out_path, "wb"), 0};
    if (out.file == nullptr) return fail_errno(out_path, errno);
    // The library hands over 64 KiB of coded data or a whole block at a
    // time; a buffer of the same size makes each one system call.
    static char out_buffer[65536];
    std::setvbuf(out.file, out_buffer, _IOFBF, sizeof out_buffer);
    if (fstat(fileno(out.file), &out_stat) == 0 && S_ISREG(out_stat.st_mode)) partial_output = out_path;

    std::uint64_t bytes_in = 0, bytes_out = 0;
    const int status = compressing
        ? vexa_compress_stream(holder.ctx, in_length, read_file, &in, write_file, &out, &bytes_out)
        : vexa_decompress_stream(holder.ctx, read_file, &in, write_file, &out, &bytes_in, &bytes_out);
    if (compressing) bytes_in = in_length;
    switch (status) {
        case VEXA_OK: break;
        case VEXA_ERROR_READ: return fail_errno(in_path, in.error);
        case VEXA_ERROR_WRITE: return fail_errno(out_path, out.error);
        default: return fail(in_path, vexa_strerror(status));
    }

    if (std::fflush(out.file) != 0) return fail_errno(out_path, errno);
    if (std::fclose(out.file) != 0) return fail_errno(out_path, errno);
    partial_output = nullptr;
    const long long end = now_ms();

    // The counts are what the run read and wrote: right for a pipe too,
    // which has no position.
    // Printed as long long: a long of 32 bits would wrap at 2 GiB.
    std::printf("%s (%lld bytes) -> %s (%lld bytes) in %1.2f s.\n", in_path, static_cast<long long>(bytes_in),
                out_path, static_cast<long long>(bytes_out), static_cast<double>(end - start) / 1000.0);
    std::fclose(in.file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
