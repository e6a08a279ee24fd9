#pragma once
// An audio server's frame clock, as an output that places messages on it sees it (our JACK
// client's). The step clock may be paced by it: each step then falls a whole step of the
// server's frames after the one before, to the frame, however the server's frames and the
// machine's clock drift apart, so that what a receiver counts in frames (MIDI clock, the
// notes) never drifts.

#include "midiout/timed_message.h"

#include <cstdint>

namespace tambrel::midiout {

class FrameClock {
public:
    virtual ~FrameClock() = default;
    virtual std::uint32_t sampleRate() const noexcept = 0;
    // Any thread, without waiting: the frame at a moment, and the moment of a frame within
    // a few seconds of now, by the same line (the one a message due then is placed by).
    virtual std::uint32_t frameAt(Moment moment) const noexcept = 0;
    virtual Moment momentOf(std::uint32_t frame) const noexcept = 0;
};

} // namespace tambrel::midiout
