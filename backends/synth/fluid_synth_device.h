#pragma once
// The built-in General MIDI synth: FluidSynth in this process, playing a GM soundfont to
// the desktop's audio. Linux has no synth of its own, and without one a new user would
// hear nothing.
//
// Each message is placed at the frame of its due moment plus one fixed latency
// (placed_synth.h), on the first of the audio outputs that opens (synth_output.h).

#include "backends/jack/jack_client.h"
#include "backends/synth/placed_synth.h"
#include "backends/synth/synth_output.h"
#include "midiout/midi_out.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace tambrel::backends {

class FluidSynthDevice : public midiout::MidiOutDevice {
public:
    // `jack`: our client on the JACK server found at start-up, if any; it plays the synth
    // while that server runs. `placement`: where each message goes in the audio.
    explicit FluidSynthDevice(std::string soundfont, std::shared_ptr<JackConnection> jack = nullptr,
                              PlacedSynth::Placement placement = &PlacedSynth::atStamp);
    ~FluidSynthDevice() override;
    FluidSynthDevice(const FluidSynthDevice&) = delete;
    FluidSynthDevice& operator=(const FluidSynthDevice&) = delete;

    std::string name() const override { return kSynthDeviceName; }
    // False when no audio output works on this machine.
    bool open() override;
    // Stamps the message with its due moment on the audio's clock; never waits, locks or
    // allocates.
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;
    // Wakes a resting stream: it plays again by the time Play's first step is due, even
    // where the server had put its sound card to sleep meanwhile.
    void prepare() noexcept override;
    // The output's latency, and the wait for the synth's next block that a note starts on:
    // half a block on average, which a Link session counts so that its beats fall in the
    // middle of where the notes land rather than at their earliest.
    std::chrono::nanoseconds latency() const noexcept override {
        return output_ != nullptr ? output_->latency() + gridWait(synth_.sampleRate())
                                  : std::chrono::nanoseconds{};
    }
    static std::chrono::nanoseconds gridWait(double sampleRate) noexcept {
        return std::chrono::nanoseconds(
            sampleRate > 0 ? std::llround(GmSynth::kBlockFrames / 2 * 1e9 / sampleRate) : 0);
    }

    // The audio output in use while open ("jack", "pulseaudio", ...).
    std::string driverName() const { return driver_; }
    double sampleRate() const noexcept { return synth_.sampleRate(); }
    std::uint64_t droppedCount() const noexcept { return synth_.droppedCount(); }
    std::uint64_t lateCount() const noexcept { return synth_.lateCount(); }
    // How often the stream to PulseAudio/PipeWire has rested (stopped asking for audio)
    // since open: it does once the synth has rung out with nothing to play.
    std::uint64_t rests() const noexcept { return output_ != nullptr ? output_->rests() : 0; }
    std::uint64_t underflows() const noexcept {
        return output_ != nullptr ? output_->underflows() : 0;
    }

private:
    void teardown() noexcept;

    std::string soundfont_;
    std::shared_ptr<JackConnection> jackConnection_; // shared with the JACK MIDI devices
    PlacedSynth synth_;
    // Set by open while no send can come; read by send afterwards.
    std::unique_ptr<SynthOutput> output_;
    std::string driver_;
};

} // namespace tambrel::backends
