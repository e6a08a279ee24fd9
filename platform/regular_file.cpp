#include "platform/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tambrel::platform {

std::optional<std::string> readRegularFile(const std::string& path, long long maxBytes) {
    // Non-blocking, so that opening a pipe with no writer returns at once; the type is
    // then checked on what was opened, not on the name.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxBytes) {
        bytes.emplace();
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                bytes->append(buffer, static_cast<std::size_t>(got));
                // A file that grows while it is read is refused too.
                if (bytes->size() > static_cast<std::size_t>(maxBytes)) {
                    bytes.reset();
                    break;
                }
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                bytes.reset();
                break;
            }
        }
    }
    ::close(fd);
    return bytes;
}

} // namespace tambrel::platform
