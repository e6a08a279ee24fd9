#pragma once
// Where the built-in synth is heard: the audio outputs that can play it, in the order they
// are tried. The first that opens plays; each one renders the placed synth in its own audio
// callbacks and stamps each message on the clock those callbacks keep.

#include "backends/jack/jack_client.h"
#include "backends/synth/placed_synth.h"
#include "midiout/timed_message.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tambrel::backends {

// The synth's name: the device's in the list, and its audio's on the sound server.
inline constexpr const char* kSynthDeviceName = "Tambrel GM Synth";

// An audio output, open and playing the synth.
class SynthOutput {
public:
    virtual ~SynthOutput() = default;

    // The step clock's thread: the message stamped on this output's clock and handed to the
    // synth. Never waits, locks or allocates.
    virtual void send(const midiout::TimedMessage& message) noexcept = 0;
    // Any thread: a resting output plays again by the time a step due a period from now is.
    virtual void wake() noexcept {}
    // How often the output has rested (stopped asking for audio) since it opened.
    virtual std::uint64_t rests() const noexcept { return 0; }
    // How often the sound server found the output's buffer empty since it opened.
    virtual std::uint64_t underflows() const noexcept { return 0; }
    // Window's thread: how long after its due moment a message sent now is heard
    // (MidiOutDevice::latency).
    virtual std::chrono::nanoseconds latency() const noexcept = 0;
    // Window's thread: no audio callback runs any more once it returns. False when that
    // could not be made sure of: the output and the synth must then be left as they are.
    [[nodiscard]] virtual bool stop() noexcept = 0;
};

// What an output opens with: the synth it plays (started by the output at the rate it
// plays at), the soundfont to start it with, and our client on the JACK server found at
// start-up, if any.
struct SynthOutputPlace {
    PlacedSynth& synth;
    const std::string& soundfont;
    const std::shared_ptr<JackConnection>& jack;
};

struct SynthOutputEntry {
    // What driverName() reports while it plays ("jack", "pulseaudio", ...); FluidSynth's
    // own drivers go by the same names.
    const char* name;
    // Nothing when this output does not play here; it leaves the synth stopped or started,
    // never playing.
    std::unique_ptr<SynthOutput> (*open)(const SynthOutputPlace& place, const char* name);
};

// Every output, best first.
std::span<const SynthOutputEntry> synthOutputs() noexcept;

} // namespace tambrel::backends
