#ifndef _WIN32

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/files.hpp"

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

// An unlinked file in $TMPDIR, or /tmp.
bool open_temporary(File& file, const char*& folder, SystemError& error) {
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
    folder = dir;
#ifdef O_TMPFILE
    file.adopt(open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
#endif
    if (file.is_open()) return true;
    // A file system without nameless files: name one, unlink it at once.
    char name[PATH_MAX];
    if (std::snprintf(name, sizeof name, "%s/vexa.XXXXXX", dir) >= static_cast<int>(sizeof name)) {
        error = ENAMETOOLONG;
        return false;
    }
    file.adopt(mkstemp(name));
    if (!file.is_open()) {
        error = errno;
        return false;
    }
    unlink(name);
    return true;
}

bool skip_forward(File& file, std::size_t n, SystemError& error) {
    if (lseek(file.native(), static_cast<off_t>(n), SEEK_CUR) >= 0) return true;
    error = errno;
    return false;
}

bool end_and_rewind(File& file, std::uint64_t length, SystemError& error) {
    if (ftruncate(file.native(), static_cast<off_t>(length)) == 0 && lseek(file.native(), 0, SEEK_SET) == 0) {
        return true;
    }
    error = errno;
    return false;
}

}  // namespace vexa::cli

#endif
