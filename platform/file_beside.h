#pragma once
// A new file too large to build in memory first (rendered audio), written where it will
// live and put in place only when whole: it is written under a temporary name in the
// same folder and renamed over the final name on commit. The final name then holds either
// the whole new contents or what it held before; a file that is not committed is removed.
// Linux only, like the render that needs it.

#include <optional>
#include <string>

namespace tambrel::platform {

class FileBeside {
public:
    // Creates the temporary file beside `path` (beside a link's target, which is what
    // gets replaced or created), with the mode the final file will have.
    explicit FileBeside(const std::string& path);
    ~FileBeside();
    FileBeside(const FileBeside&) = delete;
    FileBeside& operator=(const FileBeside&) = delete;

    // The temporary file's descriptor for writing, or -1 when it could not be created.
    int descriptor() const noexcept { return fd_; }
    // Why it could not be created (empty when it was), and the system's error number.
    const std::string& error() const noexcept { return error_; }
    int errorNumber() const noexcept { return errorNumber_; }

    // Flushes it to the disk, closes it and renames it over the final name. Nothing on
    // success, else the system's reason (and the temporary file is gone).
    [[nodiscard]] std::optional<std::string> commit();

private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    std::string error_;
    int errorNumber_ = 0;
    // A write past a file-size limit then fails with EFBIG instead of ending the process
    // (which would leave the temporary file behind).
    void (*previousFileSizeSignal_)(int) = nullptr;
};

} // namespace tambrel::platform
