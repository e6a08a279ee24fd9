#pragma once
// A packed short MIDI message (status in the low byte, then the first and second data
// bytes) unpacked into the bytes that go on the wire.

#include <cstddef>
#include <cstdint>

namespace tambrel::midiout {

// How many bytes the message with this status byte has; 0 for what a short message
// cannot carry (a data byte without status, the start or end of a system exclusive).
constexpr std::size_t shortMessageLength(std::uint8_t status) noexcept {
    if (status < 0x80) {
        return 0;
    }
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
    }
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    case 0xF0:
    case 0xF7:
    case 0xF4:
    case 0xF5:
    case 0xF9:
    case 0xFD:
        return 0;
    default:
        return 1;
    }
}

// Writes the message's bytes to out[0..2] and returns how many there are (0: nothing to send).
constexpr std::size_t unpackShortMessage(std::uint32_t message, std::uint8_t out[3]) noexcept {
    out[0] = static_cast<std::uint8_t>(message & 0xFF);
    out[1] = static_cast<std::uint8_t>((message >> 8) & 0x7F);
    out[2] = static_cast<std::uint8_t>((message >> 16) & 0x7F);
    return shortMessageLength(out[0]);
}

} // namespace tambrel::midiout
