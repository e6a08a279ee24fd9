#include "platform/regular_file.h"

#include <windows.h>

namespace tambrel::platform {

namespace {

struct FileHandle {
    explicit FileHandle(HANDLE h) : handle(h) {}
    ~FileHandle() {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE handle;
};

} // namespace

std::optional<std::string> readRegularFile(const std::string& path, long long maxBytes) {
    // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS; pipes, consoles and
    // devices ("NUL", "COM1") open but are not disk files, which the type tells at once.
    const FileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (file.handle == INVALID_HANDLE_VALUE || GetFileType(file.handle) != FILE_TYPE_DISK ||
        !GetFileSizeEx(file.handle, &size) || size.QuadPart > maxBytes) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.handle, buffer, sizeof buffer, &got, nullptr)) {
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        bytes.append(buffer, got);
        // A file that grows while it is read is refused too.
        if (bytes.size() > static_cast<std::size_t>(maxBytes)) {
            return std::nullopt;
        }
    }
}

} // namespace tambrel::platform
