#ifdef _WIN32

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/files.hpp"

namespace vexa::cli {

// The errno value that says the same as a Windows error, so that messages
// read as on other systems; the rest keep the system's own words.
SystemError system_error(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_INVALID_NAME: return EINVAL;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        default: return code != 0 ? -static_cast<SystemError>(code) : EIO;
    }
}

const char* describe(SystemError error) {
    if (error >= 0) return std::strerror(error != 0 ? error : EIO);
    // The system's words for the rest, without the line end it adds.
    static char text[256];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(-error), 0, text, sizeof text, nullptr);
    if (n == 0) {
        std::snprintf(text, sizeof text, "system error %lu", static_cast<unsigned long>(-error));
        return text;
    }
    std::size_t end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '.')) --end;
    text[end] = '\0';
    return text;
}

std::wstring widen(const char* path) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::ptrdiff_t File::read_some(void* buf, std::size_t capacity, SystemError& error) {
    DWORD got = 0;
    const DWORD want = capacity > (1u << 30) ? (1u << 30) : static_cast<DWORD>(capacity);
    if (ReadFile(native_, buf, want, &got, nullptr) != 0) return got;
    const DWORD code = GetLastError();
    // The writer closing a pipe is its end, as on other systems.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
    error = system_error(code);
    return -1;
}

bool File::write_all(const void* buf, std::size_t size, SystemError& error) {
    const auto* p = static_cast<const char*>(buf);
    while (size > 0) {
        DWORD put = 0;
        const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        if (WriteFile(native_, p, piece, &put, nullptr) == 0 || put == 0) {
            error = system_error(GetLastError());
            return false;
        }
        p += put;
        size -= put;
    }
    return true;
}

bool File::close(SystemError& error) {
    if (native_ == NONE) return true;
    const BOOL closed = CloseHandle(native_);
    native_ = NONE;
    if (closed == 0) error = system_error(GetLastError());
    return closed != 0;
}

bool learn(HANDLE handle, FileFacts& facts) {
    facts = FileFacts{};
    // The times first: asking for the type reads from a disk file under
    // some systems, which moves its access time.
    BY_HANDLE_FILE_INFORMATION info{};
    const bool have_info = GetFileInformationByHandle(handle, &info) != 0;
    switch (GetFileType(handle)) {
        case FILE_TYPE_DISK: break;
        case FILE_TYPE_CHAR: facts.kind = FileKind::character_device; return true;
        case FILE_TYPE_PIPE: facts.kind = FileKind::pipe; return true;
        default:
            if (GetLastError() != NO_ERROR) return false;
            facts.kind = FileKind::pipe;
            return true;
    }
    if (!have_info) return false;
    facts.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory : FileKind::regular;
    facts.length = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    facts.identified = true;
    facts.volume = info.dwVolumeSerialNumber;
    facts.index_high = info.nFileIndexHigh;
    facts.index_low = info.nFileIndexLow;
    facts.accessed = info.ftLastAccessTime;
    facts.modified = info.ftLastWriteTime;
    facts.attributes = info.dwFileAttributes;
    return true;
}

bool same_file(const FileFacts& a, const FileFacts& b) {
    return a.identified && b.identified && a.volume == b.volume && a.index_high == b.index_high &&
           a.index_low == b.index_low;
}

HANDLE duplicate_standard(DWORD which) {
    const HANDLE standard = GetStdHandle(which);
    HANDLE own = INVALID_HANDLE_VALUE;
    if (standard == nullptr || standard == INVALID_HANDLE_VALUE ||
        DuplicateHandle(GetCurrentProcess(), standard, GetCurrentProcess(), &own, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return own;
}

namespace {

// Every kind of file opens, directories too, so that it is learnt what the
// name is rather than guessed from a failure.
HANDLE open_existing(const char* path, DWORD access) {
    if (std::strcmp(path, "/dev/stdin") == 0) return duplicate_standard(STD_INPUT_HANDLE);
    if (std::strcmp(path, "/dev/stdout") == 0) return duplicate_standard(STD_OUTPUT_HANDLE);
    return CreateFileW(widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

}  // namespace

bool open_input(const char* path, File& file, FileFacts& facts, SystemError& error) {
    file.adopt(open_existing(path, GENERIC_READ));
    if (!file.is_open() || !learn(file.native(), facts)) {
        error = system_error(GetLastError());
        return false;
    }
    return true;
}

bool look_at(const char* path, FileFacts& facts) {
    const File file(open_existing(path, 0));
    return file.is_open() && learn(file.native(), facts);
}

// A new file in the temporary folder that the system deletes when its one
// handle closes, however the process ends.
bool open_temporary(File& file, const char*& folder, SystemError& error) {
    wchar_t dir[MAX_PATH + 1];
    static char dir_utf8[4 * MAX_PATH];
    folder = "%TEMP%";
    const DWORD dir_length = GetTempPathW(MAX_PATH + 1, dir);
    if (dir_length == 0 || dir_length > MAX_PATH) {
        error = system_error(GetLastError());
        return false;
    }
    WideCharToMultiByte(CP_UTF8, 0, dir, -1, dir_utf8, sizeof dir_utf8, nullptr, nullptr);
    folder = dir_utf8;
    // A name of our own rather than one made by creating a file first, which
    // would outlive a process stopped before it reopened it.
    auto unique = static_cast<UINT>(GetCurrentProcessId() ^ GetTickCount());
    for (int attempt = 0; attempt < 100 && !file.is_open(); ++attempt) {
        wchar_t name[MAX_PATH + 1];
        unique = unique * 1103515245u + 12345u;
        if (GetTempFileNameW(dir, L"vx", (unique >> 8) | 1, name) == 0) break;
        file.adopt(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!file.is_open() && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file.is_open()) return true;
    error = system_error(GetLastError());
    return false;
}

bool skip_forward(File& file, std::size_t n, SystemError& error) {
    LARGE_INTEGER skip{};
    skip.QuadPart = static_cast<LONGLONG>(n);
    if (SetFilePointerEx(file.native(), skip, nullptr, FILE_CURRENT) != 0) return true;
    error = system_error(GetLastError());
    return false;
}

bool end_and_rewind(File& file, std::uint64_t length, SystemError& error) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    if (SetFilePointerEx(file.native(), at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file.native()) != 0 &&
        SetFilePointerEx(file.native(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0) {
        return true;
    }
    error = system_error(GetLastError());
    return false;
}

}  // namespace vexa::cli

#endif
