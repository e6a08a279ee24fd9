#pragma once
// Reading and replacing the small files a user picks by name, as this system allows:
// a read never blocks on something that is not a plain file, and a replacement leaves
// either the whole new contents or the old file as it was.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tambrel::platform {

struct FileRead {
    std::optional<std::string> bytes;
    std::string error; // the system's reason when there are no bytes
};

// The whole contents of a regular file of at most maxBytes. A pipe, a device or a folder
// is refused at once rather than read (a name typed by mistake must not hang the program
// or fill its memory), and so is a larger file.
[[nodiscard]] FileRead readRegularFile(const std::string& path, std::size_t maxBytes);

// Replaces the file's contents with `bytes`: written beside it and renamed over it, so a
// failure at any point leaves the old file intact. A link is followed: its target is
// replaced (or created, when it is not there yet), the link stays; a link that cannot be
// followed (a loop) is refused. Where the folder takes no new file but the file itself may be
// written, the file is overwritten in place, with its space reserved first and its old
// contents put back should the write still fail. Returns the system's reason on failure,
// nothing on success.
[[nodiscard]] std::optional<std::string> replaceFile(const std::string& path,
                                                     std::string_view bytes);

} // namespace tambrel::platform
