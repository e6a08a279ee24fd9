#include "platform/file_beside.h"
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tambrel::platform {

namespace {

std::string systemReason(int error) {
    return std::strerror(error);
}

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool writeAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The links a name may go through before the system itself gives up (Linux's MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// The file a save really replaces: a link's target, so the link itself stays a link. A link
// to a file not there yet names the file to create, as editors do. A link that cannot be
// followed (a loop) sets `error` to the system's error number.
std::string resolvedTarget(const std::string& path, int& error) {
    std::string current = path;
    for (int links = 0; links < kMaxLinks; ++links) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return current;
        }
        char resolved[PATH_MAX];
        if (::realpath(current.c_str(), resolved) != nullptr) {
            return resolved;
        }
        if (errno != ENOENT) {
            error = errno;
            return current;
        }
        // Dangling: one step along the link, relative to the link's own folder.
        const ssize_t length = ::readlink(current.c_str(), resolved, sizeof resolved - 1);
        if (length <= 0) {
            error = length < 0 ? errno : ENOENT;
            return current;
        }
        const std::string next(resolved, static_cast<std::size_t>(length));
        current = next.front() == '/' ? next : folderOf(current) + "/" + next;
    }
    error = ELOOP;
    return current;
}

// A file-size limit makes a write past it fail with EFBIG, and by default also ends the
// process: the user would lose the pattern on screen along with the save.
struct FileSizeSignalIgnored {
    FileSizeSignalIgnored() { previous = std::signal(SIGXFSZ, SIG_IGN); }
    ~FileSizeSignalIgnored() { std::signal(SIGXFSZ, previous); }
    void (*previous)(int);
};

mode_t newFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// The in-place overwrite of a file whose folder takes no new file.
std::optional<std::string> overwriteInPlace(const std::string& path, std::string_view bytes) {
    Fd file{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
    if (file.fd < 0) {
        return systemReason(errno);
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return systemReason(errno != 0 ? errno : EINVAL);
    }
    std::string old(static_cast<std::size_t>(info.st_size), '\0');
    for (std::size_t got = 0; got < old.size();) {
        const ssize_t n =
            ::pread(file.fd, old.data() + got, old.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return systemReason(n < 0 ? errno : EIO);
        }
        got += static_cast<std::size_t>(n);
    }
    // Space first: a full disk then fails here, before a byte of the old file changes.
    const int reserved = ::posix_fallocate(file.fd, 0, static_cast<off_t>(bytes.size()));
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
        if (::ftruncate(file.fd, info.st_size) != 0) {
            // The size did not change back: the old bytes are still all there.
        }
        return systemReason(reserved);
    }
    if (!writeAllAt(file.fd, bytes, 0) ||
        ::ftruncate(file.fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(file.fd) != 0) {
        const int error = errno;
        // Put back what was there; it fitted before.
        if (writeAllAt(file.fd, old, 0) && ::ftruncate(file.fd, info.st_size) == 0) {
            ::fsync(file.fd);
        }
        return systemReason(error);
    }
    return std::nullopt;
}

} // namespace

FileRead readRegularFile(const std::string& path, std::size_t maxBytes) {
    FileRead read;
    Fd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        read.error = systemReason(errno);
        return read;
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) {
        read.error = systemReason(errno);
        return read;
    }
    if (S_ISDIR(info.st_mode)) {
        read.error = systemReason(EISDIR);
        return read;
    }
    if (!S_ISREG(info.st_mode)) {
        read.error = "not a regular file";
        return read;
    }
    if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
        read.error = systemReason(EFBIG);
        return read;
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, static_cast<std::size_t>(got));
            // A file that grows while it is read is refused too.
            if (bytes.size() > maxBytes) {
                read.error = systemReason(EFBIG);
                return read;
            }
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            read.error = systemReason(errno);
            return read;
        }
    }
    read.bytes = std::move(bytes);
    return read;
}

FileBeside::FileBeside(const std::string& path)
    : previousFileSizeSignal_(std::signal(SIGXFSZ, SIG_IGN)) {
    int linkError = 0;
    target_ = resolvedTarget(path, linkError);
    if (linkError != 0) {
        errorNumber_ = linkError;
        error_ = systemReason(linkError);
        return;
    }
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        errorNumber_ = EISDIR;
        error_ = systemReason(EISDIR);
        return;
    }
    std::string temporary = folderOf(target_) + "/.tambrel-save-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        errorNumber_ = errno;
        error_ = systemReason(errno);
        return;
    }
    fd_ = fd;
    temporary_ = std::move(temporary);
    const mode_t mode = exists ? (existing.st_mode & 07777) : newFileMode();
    if (exists && ::fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
        // Written by someone who may not give files away: the file becomes theirs.
    }
    if (::fchmod(fd_, mode) != 0) {
        errorNumber_ = errno;
        error_ = systemReason(errno);
        ::close(fd_);
        fd_ = -1;
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

FileBeside::~FileBeside() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
    std::signal(SIGXFSZ, previousFileSizeSignal_);
}

std::optional<std::string> FileBeside::commit() {
    if (fd_ < 0) {
        return error_.empty() ? systemReason(EBADF) : error_;
    }
    int error = 0;
    if (::fsync(fd_) != 0) {
        error = errno;
    }
    if (::close(fd_) != 0 && error == 0) {
        error = errno;
    }
    fd_ = -1;
    if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
        return systemReason(error);
    }
    temporary_.clear();
    return std::nullopt;
}

std::optional<std::string> replaceFile(const std::string& path, std::string_view bytes) {
    const FileSizeSignalIgnored quiet;
    FileBeside file(path);
    if (file.descriptor() < 0) {
        // A folder that takes no new file may still hold a file we may write.
        int linkError = 0;
        const std::string target = resolvedTarget(path, linkError);
        struct stat existing {};
        if (linkError == 0 && (file.errorNumber() == EACCES || file.errorNumber() == EPERM) &&
            ::stat(target.c_str(), &existing) == 0 && ::access(target.c_str(), W_OK) == 0) {
            return overwriteInPlace(target, bytes);
        }
        return file.error();
    }
    if (!writeAllAt(file.descriptor(), bytes, 0)) {
        return systemReason(errno); // the temporary file goes with `file`
    }
    return file.commit();
}

} // namespace tambrel::platform
