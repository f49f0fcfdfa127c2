#ifndef _WIN32

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/files.hpp"
#include "vexa.h"

namespace vexa::cli {

const char* describe(SystemError error) { return std::strerror(error != 0 ? error : EIO); }

std::ptrdiff_t File::read_some(void* buf, std::size_t capacity, SystemError& error) {
    ssize_t got;
    do got = read(native_, buf, capacity);
    while (got < 0 && errno == EINTR);
    if (got < 0) error = errno;
    return got;
}

bool File::write_all(const void* buf, std::size_t size, SystemError& error) {
    const auto* p = static_cast<const char*>(buf);
    while (size > 0) {
        const ssize_t put = write(native_, p, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? errno : EIO;
            return false;
        }
        p += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool File::close(SystemError& error) {
    if (native_ == NONE) return true;
    const int closed = ::close(native_);
    native_ = NONE;
    if (closed != 0) error = errno;
    return closed == 0;
}

namespace {

void learn(FileFacts& facts) {
    const mode_t mode = facts.stat.st_mode;
    facts.kind = S_ISREG(mode)   ? FileKind::regular
               : S_ISDIR(mode)   ? FileKind::directory
               : S_ISCHR(mode)   ? FileKind::character_device
               : S_ISBLK(mode)   ? FileKind::block_device
                                 : FileKind::pipe;
    facts.length = facts.kind == FileKind::regular ? static_cast<std::uint64_t>(facts.stat.st_size) : 0;
}

bool all_zero(const char* p, std::size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

}  // namespace

bool same_file(const FileFacts& a, const FileFacts& b) {
    return a.stat.st_dev == b.stat.st_dev && a.stat.st_ino == b.stat.st_ino;
}

bool open_input(const char* path, File& file, FileFacts& facts, SystemError& error) {
    file.adopt(open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!file.is_open() || fstat(file.native(), &facts.stat) != 0) {
        error = errno;
        return false;
    }
    learn(facts);
    return true;
}

bool look_at(const char* path, FileFacts& facts) {
    if (stat(path, &facts.stat) != 0) return false;
    learn(facts);
    return true;
}

// Into an unlinked file in $TMPDIR, or /tmp. Runs of zeros are skipped
// rather than written, so a stream of zeros costs no disk.
bool spool(File& input, const char* input_path, File& copy, std::uint64_t& length,
           void (*on_bytes)(void* user, std::size_t n), void* user, SpoolFailure& failure) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
    failure.path = dir;
#ifdef O_TMPFILE
    copy.adopt(open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
#endif
    if (!copy.is_open()) {  // a file system without nameless files: name one, unlink it at once
        char name[PATH_MAX];
        if (std::snprintf(name, sizeof name, "%s/vexa.XXXXXX", dir) >= static_cast<int>(sizeof name)) {
            failure.reason = describe(ENAMETOOLONG);
            return false;
        }
        copy.adopt(mkstemp(name));
        if (!copy.is_open()) {
            failure.reason = describe(errno);
            return false;
        }
        unlink(name);
    }

    static char chunk[65536];
    length = 0;
    SystemError error = 0;
    for (;;) {
        const std::ptrdiff_t got = input.read_some(chunk, sizeof chunk, error);
        if (got < 0) {
            failure = {input_path, describe(error)};
            return false;
        }
        if (got == 0) break;
        length += static_cast<std::uint64_t>(got);
        if (length > VEXA_MAX_INPUT_LENGTH) {
            failure = {input_path, vexa_strerror(VEXA_ERROR_TOO_LARGE)};
            return false;
        }
        const auto n = static_cast<std::size_t>(got);
        if (all_zero(chunk, n)) {
            if (lseek(copy.native(), got, SEEK_CUR) < 0) error = errno;
        } else {
            copy.write_all(chunk, n, error);
        }
        if (error != 0) {
            failure.reason = describe(error);
            return false;
        }
        on_bytes(user, n);
    }
    if (ftruncate(copy.native(), static_cast<off_t>(length)) != 0 || lseek(copy.native(), 0, SEEK_SET) != 0) {
        failure.reason = describe(errno);
        return false;
    }
    return true;
}

}  // namespace vexa::cli

#endif
