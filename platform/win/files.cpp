#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tambrel::platform {

namespace {

// The system's own words for an error code, without the line break it ends them with.
std::string systemReason(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
    std::string reason(text, n);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

struct Handle {
    explicit Handle(HANDLE h) : handle(h) {}
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE handle;
};

// The reason for a failed open in the words the program gives on every system.
std::string openFailure(const std::string& path, DWORD error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::strerror(EISDIR);
    }
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return std::strerror(ENOENT);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return std::strerror(EACCES);
    default:
        return systemReason(error);
    }
}

} // namespace

FileRead readRegularFile(const std::string& path, std::size_t maxBytes) {
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS; pipes, consoles and
    // devices ("NUL", "COM1") open, but are not disk files, which the type tells at once.
    const Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
        return {std::nullopt, openFailure(path, GetLastError())};
    }
    if (GetFileType(file.handle) != FILE_TYPE_DISK) {
        return {std::nullopt, "not a regular file"};
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.handle, &size)) {
        return {std::nullopt, systemReason(GetLastError())};
    }
    if (static_cast<unsigned long long>(size.QuadPart) > maxBytes) {
        return {std::nullopt, "file too large"};
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr)) {
            return {std::nullopt, systemReason(GetLastError())};
        }
        if (got == 0) {
            return {std::move(bytes), {}};
        }
        bytes.append(buffer, got);
        // A file that grows while it is read is refused too.
        if (bytes.size() > maxBytes) {
            return {std::nullopt, "file too large"};
        }
    }
}

namespace {

// Writes all of `bytes` to a new file at `path` and flushes it to the disk.
std::optional<std::string> writeNewFile(const std::string& path, std::string_view bytes) {
    const Handle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.handle == INVALID_HANDLE_VALUE) {
        return systemReason(GetLastError());
    }
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
        if (!WriteFile(file.handle, bytes.data(), chunk, &written, nullptr) || written == 0) {
            return systemReason(GetLastError());
        }
        bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(file.handle)) {
        return systemReason(GetLastError());
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes) {
    // Written whole beside the file, then moved over it in one step: a failure at any
    // point leaves the old file as it was.
    const std::string temporary = path + ".tambrel-new";
    std::optional<std::string> failed = writeNewFile(temporary, bytes);
    if (!failed && !MoveFileExA(temporary.c_str(), path.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        failed = systemReason(GetLastError());
    }
    if (failed) {
        DeleteFileA(temporary.c_str());
    }
    return failed;
}

} // namespace tambrel::platform
