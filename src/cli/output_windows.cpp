#ifdef _WIN32

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "cli/console.hpp"
#include "cli/output.hpp"

namespace vexa::cli {

namespace {

// The output being written, for the console's control handler, which runs
// on a thread of its own: one output per process, so one record.
const wchar_t* volatile partial_output = nullptr;

// Ends the run as the system's own handler would, with the status that
// says so (some emulations of it end with 0, a failure reported as success).
BOOL WINAPI on_console_control(DWORD) {
    erase_progress_line();
    // The file was opened to be deletable while open: deleted by name now,
    // it is gone once the process ends.
    if (const wchar_t* path = partial_output) DeleteFileW(path);
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

bool set_delete_on_close(HANDLE handle, bool on) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

bool same_as_standard(const FileFacts& facts, HANDLE handle, DWORD which) {
    const File standard(duplicate_standard(which));
    FileFacts facts_there;
    if (!standard.is_open()) return false;
    if (is_console(handle) && is_console(standard.native())) return true;
    return learn(standard.native(), facts_there) && same_file(facts, facts_there);
}

}  // namespace

// Ctrl-C, Ctrl-Break and a closed console window all end the process once
// the output is marked for deletion.
void catch_interruptions() { SetConsoleCtrlHandler(on_console_control, TRUE); }

OutputFile::~OutputFile() {
    if (!partial) return;
    partial_output = nullptr;
    set_delete_on_close(file.native(), true);
    file.close();
    DeleteFileW(path.c_str());  // where the system does not delete on close
}

// An existing file is replaced. While it is written, the system deletes it
// when its handle closes, so that even a process stopped without warning
// leaves nothing that looks complete; `keep_output` lifts that.
bool open_output(const char* name, OutputFile& out, SystemError& error) {
    if (std::strcmp(name, "/dev/stdout") == 0) {
        out.file.adopt(duplicate_standard(STD_OUTPUT_HANDLE));
        out.to_stdout = true;
    } else {
        out.path = widen(name);
        out.file.adopt(CreateFileW(out.path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!out.file.is_open()) {
        const DWORD code = GetLastError();
        const DWORD attributes = out.path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(out.path.c_str());
        error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
            ? EISDIR
            : system_error(code);
        return false;
    }
    if (!learn(out.file.native(), out.facts)) {
        error = system_error(GetLastError());
        return false;
    }
    out.to_stdout = out.to_stdout || same_as_standard(out.facts, out.file.native(), STD_OUTPUT_HANDLE);
    out.to_stderr = same_as_standard(out.facts, out.file.native(), STD_ERROR_HANDLE);
    if (out.facts.kind == FileKind::regular && !out.to_stdout) {
        out.partial = true;
        partial_output = out.path.c_str();
        out.deleted_on_close = set_delete_on_close(out.file.native(), true);
    }
    return true;
}

// The input's access and modification times, and its read-only attribute;
// Windows has no mode bits, and the owner stays whoever ran the program.
bool keep_output(OutputFile& out, const FileFacts* input, SystemError& error) {
    if (out.partial) {
        // A file the system would still delete must not be reported done.
        if (out.deleted_on_close && !set_delete_on_close(out.file.native(), false)) {
            error = system_error(GetLastError());
            return false;
        }
        if (input != nullptr) {
            SetFileTime(out.file.native(), nullptr, &input->accessed, &input->modified);
            if ((input->attributes & FILE_ATTRIBUTE_READONLY) != 0) {
                FILE_BASIC_INFO basic{};
                basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
                SetFileInformationByHandle(out.file.native(), FileBasicInfo, &basic, sizeof basic);
            }
        }
    }
    if (!out.file.close(error)) return false;
    out.partial = false;
    partial_output = nullptr;
    return true;
}

}  // namespace vexa::cli

#endif
