#pragma once
// The built-in General MIDI synth: FluidSynth in this process, playing a GM soundfont to
// the desktop's audio. Linux has no synth of its own, and without one a new user would
// hear nothing.
//
// Timing: a send never touches the synth. It stamps the message with the moment it was
// due (the step clock's slot, however late its thread woke; now for any other send), on
// the clock that the audio runs on (JACK's frame clock when JACK plays the synth, the
// monotonic clock otherwise), and hands it through a lock-free ring to the audio side.
// There each message is placed at the frame of its stamp plus one fixed latency: the
// synth is rendered up to that frame, the message applied, and the rendering goes on.
// Every note is then late by the same amount, instead of by however far the next audio
// block happened to be, and the steps keep the spacing of the step clock's schedule.
// FluidSynth itself starts notes only on its own 64-frame grid (1.3 ms at 48 kHz): that is
// the finest this path can do.
//
// Only the audio side ever plays the synth, so FluidSynth's own locking is off.

#include "backends/jack/jack_midi_device.h"
#include "backends/jack/jack_placement.h"
#include "backends/synth/gm_synth.h"
#include "backends/synth/pulse_output.h"
#include "backends/synth/stream_clock.h"
#include "midiout/midi_out.h"
#include "platform/spsc_ring.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct _fluid_audio_driver_t;

namespace tambrel::backends {

inline constexpr const char* kSynthDeviceName = "Tambrel GM Synth";

class FluidSynthDevice : public midiout::MidiOutDevice, private JackAudioSource {
public:
    using Clock = std::chrono::steady_clock;

    enum class Output {
        Audio, // to the desktop's audio: JACK when a server runs, else PulseAudio/PipeWire or ALSA
        Offline, // no driver: the caller pulls samples with render()
    };
    // Where a message goes in the audio. Only the synth timing benchmark picks the old
    // placement, to measure against it; the program always places at the stamp.
    enum class Placement {
        AtStamp,      // at the frame of its stamp plus the fixed latency
        AtBlockStart, // at the start of the first audio block that sees it
    };

    // Audio period and number of periods asked of PulseAudio and ALSA: the server asks for
    // 128 frames (2.7 ms at 48 kHz) whenever that much of a 1024-frame (21 ms) buffer has
    // played. The short requests keep the stream clock well fed; the buffer rides out a
    // sound server that a busy machine keeps waiting (two busy loops on two cores, with the
    // audio thread at its real-time priority). Each millisecond of it is a millisecond more
    // from Play to the first sound: with 32 ms, PipeWire through pipewire-pulse took 72 ms
    // from a step's due moment to its sound; with 21 ms, 57 ms.
    static constexpr int kPeriodFrames = 128;
    static constexpr int kPeriods = 8;
    // The fixed latency through PulseAudio/PipeWire or ALSA: a message plays this many
    // frames after the frame that the stream had been brought to at its stamp (on the
    // stream clock's line). The step clock's thread may wake up to the wake-up allowance
    // after its step was due (jack_placement.h), and a server bunches its requests, so
    // that a callback may run a few periods ahead of the line: the allowance and four
    // periods keep every message's frame ahead of what is already rendered (with two, a
    // timer that woke 0-20 ms late lost two notes in 400 to a bunched request).
    static constexpr int kClockLatencyFrames =
        static_cast<int>(kLateWakeAllowanceSeconds * 48000.0 + 0.5) + 4 * kPeriodFrames;
    // (Through JACK the fixed latency is one period and the same allowance, as for the JACK
    // MIDI output: jackDelayFrames.)

    static constexpr double kOfflineSampleRate = 48000.0;

    // `jack`: our client on the JACK server found at start-up, if any; it plays the synth
    // while that server runs.
    explicit FluidSynthDevice(std::string soundfont, Output output = Output::Audio,
                              std::shared_ptr<JackConnection> jack = nullptr);
    ~FluidSynthDevice() override;
    FluidSynthDevice(const FluidSynthDevice&) = delete;
    FluidSynthDevice& operator=(const FluidSynthDevice&) = delete;

    std::string name() const override { return kSynthDeviceName; }
    // Audio: false when no audio output works on this machine.
    bool open() override;
    // Stamps the message with its due moment on the audio's clock; never waits, locks or
    // allocates.
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;
    // Wakes a resting stream: it plays again by the time Play's first step is due, even
    // where the server had put its sound card to sleep meanwhile.
    void prepare() noexcept override;

    // Offline, while open: the message plays at that frame of the rendered output (frame 0
    // is the first one rendered after open). Messages go in order: one for an earlier frame
    // than the message before it plays with that one. False when the ring is full or the
    // device is not open offline.
    bool sendAtFrame(std::uint32_t message, std::int64_t frame) noexcept;
    // Offline, while open: as if send had been called at `when`.
    bool sendAt(std::uint32_t message, Clock::time_point when) noexcept;
    // Offline, while open: as if send had been called while JACK played the synth, its frame
    // clock at `frame`; and one JACK period that starts at `cycleStart` on that clock,
    // rendered as JACK's process callback would.
    bool sendAtJackFrame(std::uint32_t message, std::uint32_t frame) noexcept;
    bool renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                          float* right) noexcept;
    // Offline, while open: renders the next `frames` stereo frames into the two buffers
    // (overwritten), as an audio callback at `callbackTime` (or now) would. False when not
    // open offline.
    bool render(float* left, float* right, int frames) noexcept;
    bool render(float* left, float* right, int frames, Clock::time_point callbackTime) noexcept;

    // The audio output in use while open ("jack", "pulseaudio", ...); empty offline.
    std::string driverName() const { return driver_; }
    double sampleRate() const noexcept { return synth_ ? synth_->sampleRate() : 0.0; }
    // Messages dropped because the ring was full.
    std::uint64_t droppedCount() const noexcept { return dropped_.load(); }
    // Messages whose frame had already been rendered when the audio side saw them: they
    // played at the start of the block, in their order.
    std::uint64_t lateCount() const noexcept { return late_.load(); }
    // How often the stream to PulseAudio/PipeWire has rested (stopped asking for audio)
    // since open: it does once the synth has rung out with nothing to play.
    std::uint64_t rests() const noexcept { return pulse_ != nullptr ? pulse_->rests() : 0; }
    void usePlacement(Placement placement) noexcept {
        blockStart_.store(placement == Placement::AtBlockStart);
    }

private:
    enum class Stamp : std::uint32_t { Clock, JackFrame, StreamFrame };
    struct Timed {
        std::int64_t at = 0; // nanoseconds, JACK frames or stream frames, by `stamp`
        std::uint32_t message = 0;
        Stamp stamp = Stamp::Clock;
    };

    static int onAudio(void* self, int frames, int effects, float* fx[], int outputs,
                       float* out[]) noexcept;
    static void onPulse(void* self, std::int64_t nanos, int frames, float* left,
                        float* right) noexcept;
    static bool mayRest(void* self) noexcept;
    void renderPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                      float* right) noexcept override;
    void renderClocked(std::int64_t nanos, int frames, float* left, float* right) noexcept;
    template <typename OffsetOf>
    void renderPlaced(int frames, float* left, float* right, OffsetOf offsetOf) noexcept;
    bool push(const Timed& timed) noexcept;
    bool openJack();
    bool startClocked(const char* driver);
    bool waitForFirstPeriod();
    void teardown() noexcept;

    std::string soundfont_;
    Output output_;
    std::shared_ptr<JackConnection> jackConnection_; // shared with the JACK MIDI devices
    std::shared_ptr<JackMidiClient> jack_;           // the one playing the synth while open
    JackMidiClient* jackClock_ = nullptr;            // what send stamps with, set while open
    std::unique_ptr<GmSynth> synth_;
    std::unique_ptr<PulseOutput> pulse_;
    _fluid_audio_driver_t* audioDriver_ = nullptr;
    std::string driver_;
    platform::SpscRing<Timed, 1024> pending_;
    // The audio side's own: the stream's frames rendered since open, and the loop that
    // maps the monotonic clock onto them.
    std::int64_t streamFrame_ = 0;
    StreamClock streamClock_;
    std::atomic<bool> blockStart_{false};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<std::uint64_t> periods_{0};
};

} // namespace tambrel::backends
