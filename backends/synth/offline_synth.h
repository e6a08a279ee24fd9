#pragma once
// The built-in synth with no audio output: whoever holds it pulls the samples, as an audio
// callback would, and says when each message plays (at a frame, at a moment, or at a frame
// of a JACK server's clock). The same placed synth as the device that plays to the desktop,
// for the tests and benchmarks that check where the notes land, frame by frame, without a
// sound server; and a device of its own, for the step clock to play to.

#include "backends/synth/placed_synth.h"
#include "backends/synth/synth_output.h"
#include "midiout/midi_out.h"

#include <cstdint>
#include <string>

namespace tambrel::backends {

class OfflineSynth : public midiout::MidiOutDevice {
public:
    using Clock = PlacedSynth::Clock;

    explicit OfflineSynth(std::string soundfont);
    ~OfflineSynth() override;
    OfflineSynth(const OfflineSynth&) = delete;
    OfflineSynth& operator=(const OfflineSynth&) = delete;

    std::string name() const override { return kSynthDeviceName; }
    // A fresh synth at the stream rate, nothing rendered yet. False when the soundfont
    // cannot be loaded.
    bool open() override;
    // While open: as a stream's send, stamped with its due moment.
    void send(const midiout::TimedMessage& message) noexcept override { (void)sendAt(message); }
    void close() noexcept override;

    // While open (false otherwise, or when the ring is full). The message plays at that
    // frame of the rendered output (frame 0 is the first one rendered after open); its due
    // moment plays no part. Messages go in order: one for an earlier frame than the message
    // before it plays with that one.
    bool sendAtFrame(const midiout::TimedMessage& message, std::int64_t frame) noexcept;
    // As if a stream's send had been called with it: placed by its due moment.
    bool sendAt(const midiout::TimedMessage& message) noexcept;
    // As if sent while JACK played the synth, its frame clock at `frame` at the due moment.
    bool sendAtJackFrame(const midiout::TimedMessage& message, std::uint32_t frame) noexcept;

    // While open (false otherwise): one JACK period that starts at `cycleStart` on that
    // clock, rendered as JACK's process callback would.
    bool renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                          float* right) noexcept;
    // While open (false otherwise): the next `frames` stereo frames into the two buffers
    // (overwritten), as a stream's request at `callbackTime` (or now) would.
    bool render(float* left, float* right, int frames) noexcept;
    bool render(float* left, float* right, int frames, Clock::time_point callbackTime) noexcept;

    double sampleRate() const noexcept { return synth_.sampleRate(); }
    std::uint64_t droppedCount() const noexcept { return synth_.droppedCount(); }
    std::uint64_t lateCount() const noexcept { return synth_.lateCount(); }

private:
    std::string soundfont_;
    PlacedSynth synth_;
};

} // namespace tambrel::backends
