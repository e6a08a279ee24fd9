#include "settings/plain_text.h"

#include <array>
#include <cstdint>

namespace tambrel::settings {

namespace {

struct Decoded {
    std::size_t length = 0; // 0: not the start of a valid UTF-8 sequence
    std::uint32_t codePoint = 0;
};

// The character that starts at `at`, refusing overlong forms, surrogates and anything
// past U+10FFFF, as a terminal or JACK would choke on them.
Decoded decodeAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return {1, lead};
    }
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return {};
    }
    if (at + length > text.size()) {
        return {};
    }
    std::uint32_t codePoint = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return {};
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3Fu);
    }
    static constexpr std::array<std::uint32_t, 5> kSmallest{0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return {};
    }
    return {length, codePoint};
}

bool isControl(std::uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

void appendEscaped(std::string& out, std::string_view bytes) {
    static constexpr std::string_view kHex = "0123456789abcdef";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
}

} // namespace

bool isPlainText(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const Decoded decoded = decodeAt(text, at);
        if (decoded.length == 0 || isControl(decoded.codePoint)) {
            return false;
        }
        at += decoded.length;
    }
    return true;
}

std::string shownText(std::string_view text, std::size_t maxBytes) {
    std::string shown;
    std::size_t at = 0;
    while (at < text.size() && at < maxBytes) {
        const Decoded decoded = decodeAt(text, at);
        const std::size_t length = decoded.length == 0 ? 1 : decoded.length;
        const std::string_view bytes = text.substr(at, length);
        if (decoded.length == 0 || isControl(decoded.codePoint)) {
            appendEscaped(shown, bytes);
        } else {
            shown += bytes;
        }
        at += length;
    }
    if (at < text.size()) {
        shown += "...";
    }
    return shown;
}

} // namespace tambrel::settings
