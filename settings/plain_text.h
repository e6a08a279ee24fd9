#pragma once
// Text from a file that anyone may have written, before it is taken as a name or shown on
// a terminal: UTF-8 checked, control characters kept out.

#include <cstddef>
#include <string>
#include <string_view>

namespace tambrel::settings {

// Whether the text is valid UTF-8 without control characters (C0, DEL or C1).
bool isPlainText(std::string_view text);

// The text as it may be shown within one line of a terminal: control characters and bytes
// that are not UTF-8 as \xNN, cut with "..." after its first `maxBytes` bytes.
std::string shownText(std::string_view text, std::size_t maxBytes);

} // namespace tambrel::settings
