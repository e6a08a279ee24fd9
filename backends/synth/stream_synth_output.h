#pragma once
// An output whose sound server pulls the audio through callbacks, bunched and late as a
// busy machine lets them come (PulseAudio, PipeWire, ALSA): each message is stamped with its
// due moment on the monotonic clock, and the stream clock maps that moment onto the stream.

#include "backends/synth/synth_output.h"

#include <atomic>
#include <cstdint>

namespace tambrel::backends {

class StreamSynthOutput : public SynthOutput {
public:
    void send(const midiout::TimedMessage& message) noexcept override {
        (void)synth_.pushAtMoment(message);
    }

protected:
    explicit StreamSynthOutput(PlacedSynth& synth) noexcept : synth_(synth) {}
    ~StreamSynthOutput() override = default;

    // The audio side: one request of the server, which came at `nanos` on the monotonic
    // clock, for `frames` frames.
    void render(std::int64_t nanos, int frames, float* left, float* right) noexcept {
        synth_.renderStream(nanos, frames, left, right);
        requests_.fetch_add(1, std::memory_order_release);
    }
    // Window's thread, once the stream has started: false when no request came within the
    // wait. Some outputs start without complaint and then never play (a sound server that
    // is not there): only one that asks for audio counts.
    [[nodiscard]] bool waitForFirstRequest() const;

    PlacedSynth& synth_;

private:
    std::atomic<std::uint64_t> requests_{0};
};

} // namespace tambrel::backends
