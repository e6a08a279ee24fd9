#pragma once
// One MIDI message on its way to a device: its bytes (1 to 3) and the moment it is due.
// The moment travels with the message, from whatever made it (a step of the step clock, a
// clock byte, a transport's first step) to the back end that places it in the sound; the
// back ends that hold every message for a fixed latency place it at that moment, however
// late the thread that made it woke.
//
// Moments are on the steady clock (CLOCK_MONOTONIC on Linux): the clock that the step
// clock's timeline runs on, and the one every back end can map onto its own (a JACK
// server's frames, an audio stream's frames).

#include "midiout/midi_bytes.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tambrel::midiout {

using MidiClock = std::chrono::steady_clock;
using Moment = MidiClock::time_point;

// System real-time messages: one status byte, no data. With the Song Position Pointer they
// are what a MIDI clock sends; the JACK output places them at their frames like the notes.
inline constexpr std::uint8_t kTimingClock = 0xF8;
inline constexpr std::uint8_t kStart = 0xFA;
inline constexpr std::uint8_t kContinue = 0xFB;
inline constexpr std::uint8_t kStop = 0xFC;
// Song Position Pointer: the sixteenth notes since the song's start, 14 bits, low 7 first.
inline constexpr std::uint8_t kSongPosition = 0xF2;

// A moment counted from a start that only the audio side will know (a JACK transport that
// rolls once every slow-sync client is ready: midiout/followed_time.h): `offset` after the
// frame the start is released on. It lies far below any real moment, so an output that
// cannot hold a message for its release takes it as long overdue and plays it at once;
// the JACK output holds it and places it from the release frame.
inline constexpr Moment kReleaseOrigin{std::chrono::nanoseconds{-(std::int64_t{1} << 62)}};
constexpr Moment releaseMoment(std::chrono::nanoseconds offset) noexcept {
    return kReleaseOrigin + offset;
}
constexpr bool awaitsRelease(Moment moment) noexcept {
    return moment < kReleaseOrigin + std::chrono::hours(24);
}
constexpr std::chrono::nanoseconds releaseOffset(Moment moment) noexcept {
    return moment - kReleaseOrigin;
}

struct TimedMessage {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0; // 0: nothing to send (a status that a short message cannot carry)
    Moment due{};

    // A packed short message (status in the low byte, then the data bytes) as the step
    // clock and the pattern's note-ons make them; the data bytes are kept to 7 bits.
    static constexpr TimedMessage fromShort(std::uint32_t packed, Moment due) noexcept {
        TimedMessage m;
        std::uint8_t out[3] = {};
        m.size = static_cast<std::uint8_t>(unpackShortMessage(packed, out));
        m.bytes = {out[0], out[1], out[2]};
        m.due = due;
        return m;
    }
    static constexpr TimedMessage realTime(std::uint8_t status, Moment due) noexcept {
        return fromShort(status, due);
    }
    static constexpr TimedMessage songPosition(std::uint16_t sixteenths, Moment due) noexcept {
        return fromShort(
            kSongPosition | ((sixteenths & 0x7Fu) << 8) | (((sixteenths >> 7) & 0x7Fu) << 16), due);
    }

    // The bytes packed back into a short message (unused bytes 0), for the outputs whose
    // interface takes one (Windows' midiOutShortMsg) and for records.
    constexpr std::uint32_t packed() const noexcept {
        std::uint32_t p = 0;
        for (std::size_t i = 0; i < size; ++i) {
            p |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
        }
        return p;
    }
    constexpr bool empty() const noexcept { return size == 0; }
};

} // namespace tambrel::midiout
