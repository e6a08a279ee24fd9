#pragma once
// Reading a whole file that the user named, safely: only a regular file is read, never a
// pipe or a device that would hang the window or never end, and never more than a limit.

#include <optional>
#include <string>

namespace tambrel::platform {

// The whole contents of the regular file at `path` if it holds at most `maxBytes` bytes;
// nothing when it cannot be read (missing, unreadable, a folder, a pipe or device, larger
// than that). Bytes come as they are on the disk, line breaks untouched.
std::optional<std::string> readRegularFile(const std::string& path, long long maxBytes);

} // namespace tambrel::platform
