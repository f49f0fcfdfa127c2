// The command line: `vexa c input output` or `vexa d input output`. One run:
// check the command line, open the input and then the output, run the
// library in the chosen direction, report. Decompression restores every
// stream of a concatenated input, as `cat a.vx b.vx` makes one. Every failure
// ends with a message on standard error, status 1, and no partial output
// left behind. What differs between systems sits behind console.hpp,
// files.hpp and output.hpp; this file is the same everywhere.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "cli/console.hpp"
#include "cli/files.hpp"
#include "cli/messages.hpp"
#include "cli/output.hpp"
#include "cli/progress.hpp"
#include "vexa.h"

#ifdef _WIN32
#include <string>
#include <vector>
#endif

namespace vexa::cli {

namespace {

// The input as the library's read function. The count is what the summary
// line reports for a decompression: the whole input, padding included. A
// decompression from a pipe takes the length of the first stream from its
// first 4 bytes as they pass, for the progress line.
struct Input {
    File* file;
    Progress* progress;
    bool from_pipe = false;
    SystemError error = 0;
    std::uint64_t bytes_read = 0;
    unsigned char header[4] = {};
    std::size_t header_bytes = 0;
};

std::ptrdiff_t read_input(void* user, void* buf, std::size_t capacity) {
    auto& in = *static_cast<Input*>(user);
    const std::ptrdiff_t got = in.file->read_some(buf, capacity, in.error);
    if (got < 0) return -1;
    in.bytes_read += static_cast<std::uint64_t>(got);
    if (!in.from_pipe) {
        in.progress->advance(static_cast<std::size_t>(got));
    } else if (in.header_bytes < sizeof in.header && got > 0) {
        const std::size_t n = std::min(sizeof in.header - in.header_bytes, static_cast<std::size_t>(got));
        std::memcpy(in.header + in.header_bytes, buf, n);
        in.header_bytes += n;
        std::uint64_t length = 0;
        if (vexa_stored_length(in.header, in.header_bytes, &length) == VEXA_OK) in.progress->total = length;
    }
    return got;
}

// The output. As the compressor's write function: the library hands over
// 64 KiB of coded data at a time, and a header of a few bytes before them,
// so a buffer of 64 KiB makes each one system call. Decompression fills the
// same buffer from the reader.
struct Output {
    File* file = nullptr;
    Progress* progress = nullptr;
    SystemError error = 0;
    std::size_t used = 0;
    char buffer[65536];

    bool flush() {
        if (used > 0 && !file->write_all(buffer, used, error)) return false;
        used = 0;
        return true;
    }
};

int write_output(void* user, const void* buf, std::size_t size) {
    auto& out = *static_cast<Output*>(user);
    if (out.used + size > sizeof out.buffer && !out.flush()) return -1;
    if (size >= sizeof out.buffer) {
        if (!out.file->write_all(buf, size, out.error)) return -1;
    } else {
        std::memcpy(out.buffer + out.used, buf, size);
        out.used += size;
    }
    out.progress->tick();
    return 0;
}

// Restores every stream of the input through the output's buffer: the
// reader decodes a whole block at once and hands it out in as many pieces
// as we ask for, so a block-sized buffer would only add 0.5 MiB of resident
// memory, not speed.
// Returns a status as the library's one-call functions do; the reader stays
// open, for the caller to learn where the last complete stream ended.
int restore(vexa_ctx* ctx, Input& in, Output& out, std::uint64_t& bytes_out) {
    if (const int status = vexa_reader_open(ctx, read_input, &in, 0); status != VEXA_OK) return status;
    bytes_out = 0;
    for (;;) {
        const std::ptrdiff_t got = vexa_reader_read(ctx, out.buffer, sizeof out.buffer);
        if (got < 0) return static_cast<int>(got);
        if (got == 0) return VEXA_OK;
        if (!out.file->write_all(out.buffer, static_cast<std::size_t>(got), out.error)) return VEXA_ERROR_WRITE;
        bytes_out += static_cast<std::uint64_t>(got);
        if (in.from_pipe) out.progress->advance(static_cast<std::size_t>(got));
    }
}

void count_spooled(void* user, std::size_t n) { static_cast<Progress*>(user)->advance(n); }

// Frees the context however the run ends.
struct ContextHolder {
    vexa_ctx* ctx = vexa_create();
    ~ContextHolder() { vexa_free(ctx); }
};

// What is refused once the input is open and before the output is: opening
// the output would truncate it. Returns the status, or 0 to go on.
int refuse_input(bool compressing, const char* in_path, const FileFacts& in_facts, const char* out_path) {
    if (in_facts.kind == FileKind::directory) return fail(in_path, describe(EISDIR));
    FileFacts out_facts;
    if (look_at(out_path, out_facts) && same_file(out_facts, in_facts)) {
        return fail(out_path, "is the input file; refusing to overwrite it");
    }
    if (!compressing) return 0;
    // A device has no length to take, and some never end: /dev/zero would
    // go on forever, a terminal waits for typing. Decompression reads
    // devices like pipes, through to the end of the compressed data.
    if (in_facts.kind == FileKind::character_device) {
        return fail(in_path, "is a character device; vexa compresses files and pipes");
    }
    if (in_facts.kind == FileKind::block_device) {
        return fail(in_path, "is a block device; vexa compresses files and pipes");
    }
    if (in_facts.kind == FileKind::regular && in_facts.length > VEXA_MAX_INPUT_LENGTH) {
        return fail(in_path, vexa_strerror(VEXA_ERROR_TOO_LARGE));
    }
    return 0;
}

int run(int argc, char** argv) {
    if (argc != 4 || (argv[1][0] != 'c' && argv[1][0] != 'd')) {
        print_usage();
        return 1;
    }
    const bool compressing = argv[1][0] == 'c';
    const char* const in_path = argv[2];
    const char* const out_path = argv[3];
    const long long start = now_ms();
    Progress progress;
    progress.start(start);
    catch_interruptions();

    File in_file;
    FileFacts in_facts;
    SystemError error = 0;
    if (!open_input(in_path, in_file, in_facts, error)) return fail(in_path, error);
    if (const int status = refuse_input(compressing, in_path, in_facts, out_path); status != 0) return status;
    const bool in_regular = in_facts.kind == FileKind::regular;
    std::uint64_t in_length = in_facts.length;

    ContextHolder holder;
    if (holder.ctx == nullptr) return fail("vexa", vexa_strerror(VEXA_ERROR_MEMORY));

    // The format stores the length first, so an input that cannot seek is
    // first copied whole; past the largest length the format stores, the
    // rest is never read.
    File spooled;
    Input in{&in_file, &progress};
    if (compressing && !in_regular) {
        SpoolFailure failure;
        if (!spool(in_file, in_path, spooled, in_length, count_spooled, &progress, failure)) {
            return fail(failure.path, failure.reason);
        }
        in.file = &spooled;
    }
    if (compressing || in_regular) {
        progress.restart(in_length);
    } else {
        in.from_pipe = true;
        progress.counted = "restored";
    }

    OutputFile output;
    if (!open_output(out_path, output, error)) return fail(out_path, error);
    if (output.to_stderr) progress.enabled = false;  // data written to the terminal itself
    static Output out;  // its buffer is too large for the stack
    out.file = &output.file;
    out.progress = &progress;

    std::uint64_t bytes_out = 0;
    const int status = compressing
        ? vexa_compress_stream(holder.ctx, in_length, read_input, &in, write_output, &out, &bytes_out)
        : restore(holder.ctx, in, out, bytes_out);
    const std::uint64_t bytes_in = compressing ? in_length : in.bytes_read;
    switch (status) {
        case VEXA_OK: break;
        case VEXA_ERROR_READ: return fail(in_path, in.error);
        case VEXA_ERROR_WRITE: return fail(out_path, out.error);
        default: return fail_decoding(in_path, status, compressing ? 0 : vexa_reader_complete_size(holder.ctx));
    }
    if (!out.flush()) return fail(out_path, out.error);
    if (!keep_output(output, in_regular ? &in_facts : nullptr, error)) return fail(out_path, error);

    print_summary(output.to_stdout, in_path, bytes_in, out_path, bytes_out, now_ms() - start);
    return 0;
}

}  // namespace

}  // namespace vexa::cli

#ifdef _WIN32
// The arguments as the system holds them, in UTF-16, turned into the UTF-8
// that the rest of the program and the messages use.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args(static_cast<std::size_t>(argc));
    std::vector<char*> argv(static_cast<std::size_t>(argc) + 1, nullptr);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
        args[i].resize(n > 0 ? static_cast<std::size_t>(n) : 1);
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, args[i].data(), n, nullptr, nullptr);
        argv[i] = args[i].data();
    }
    return vexa::cli::run(argc, argv.data());
}
#else
int main(int argc, char** argv) {
    return vexa::cli::run(argc, argv);
}
#endif
