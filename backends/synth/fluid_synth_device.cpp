#include "fluid_synth_device.h"

#include "backends/alsa/alsa_midi_device.h"
#include "backends/jack/jack_placement.h"
#include "platform/periodic_timer.h"

#include <algorithm>
#include <cmath>
#include <fluidsynth.h>
#include <string_view>
#include <thread>

namespace tambrel::backends {

namespace {

constexpr double kDesktopSampleRate = 48000.0;

// A driver that has not asked for its first period by then plays nowhere.
constexpr auto kFirstPeriodWait = std::chrono::milliseconds(1000);

// How far ahead a stream-clocked stamp may point before it is taken for a clock that
// jumped and played at once rather than held (and everything behind it with it). Through
// JACK the MIDI output's rule decides (jack_placement.h).
constexpr double kClockHoldSeconds = 0.5;

std::int64_t nanosOf(FluidSynthDevice::Clock::time_point t) noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void clear(float* left, float* right, int frames) noexcept {
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
}

} // namespace

FluidSynthDevice::FluidSynthDevice(std::string soundfont, Output output,
                                   std::shared_ptr<JackConnection> jack)
    : soundfont_(std::move(soundfont)), output_(output), jackConnection_(std::move(jack)),
      streamClock_(StreamClock::forSoundServer(kDesktopSampleRate)) {}

FluidSynthDevice::~FluidSynthDevice() {
    teardown();
}

bool FluidSynthDevice::open() {
    silenceFluidSynth();
    teardown(); // a device is opened once at a time; this only guards against a double open
    pending_.discard();
    streamFrame_ = 0;
    if (output_ == Output::Offline) {
        synth_ = GmSynth::create(soundfont_, kOfflineSampleRate);
        streamClock_ = StreamClock::forSoundServer(kOfflineSampleRate);
        return synth_ != nullptr;
    }
    silenceJack();
    silenceAlsa();
    if (openJack()) {
        return true;
    }
    // The desktop's sound server (PipeWire desktops answer as PulseAudio too), then what
    // FluidSynth's own drivers reach.
    for (const char* driver : {"pulseaudio", "pipewire", "alsa"}) {
        if (startClocked(driver)) {
            return true;
        }
    }
    teardown();
    return false;
}

bool FluidSynthDevice::openJack() {
    // A running JACK server owns the sound card: play through it, at its rate, from our
    // own client, whose periods give every message its exact frame. A server started
    // after the program is used too.
    std::shared_ptr<JackMidiClient> jack =
        jackConnection_ != nullptr ? jackConnection_->client() : JackMidiClient::connect();
    if (jack == nullptr) {
        return false;
    }
    synth_ = GmSynth::create(soundfont_, static_cast<double>(jack->sampleRate()));
    if (synth_ == nullptr) {
        return false;
    }
    // Everything the process callback uses is in place before the source is published.
    jack_ = jack;
    jackClock_ = jack.get();
    if (!jack->openAudio(kSynthDeviceName, this)) {
        jack_.reset();
        jackClock_ = nullptr;
        synth_.reset();
        return false;
    }
    driver_ = "jack";
    return true;
}

bool FluidSynthDevice::startClocked(const char* driver) {
    if (synth_ == nullptr || synth_->sampleRate() != kDesktopSampleRate) {
        synth_ = GmSynth::create(soundfont_, kDesktopSampleRate);
        if (synth_ == nullptr) {
            return false;
        }
    }
    streamClock_ = StreamClock::forSoundServer(kDesktopSampleRate);
    periods_.store(0);
    if (std::string_view(driver) == "pulseaudio") {
        pulse_ = PulseOutput::open(kSynthDeviceName, static_cast<std::uint32_t>(kDesktopSampleRate),
                                   kPeriodFrames, kPeriodFrames * kPeriods,
                                   &FluidSynthDevice::onPulse, this, &FluidSynthDevice::mayRest);
        if (pulse_ == nullptr) {
            return false;
        }
    } else {
        _fluid_hashtable_t* settings = synth_->settings();
        // A driver not taken would open FluidSynth's default one in its place.
        if (fluid_settings_setint(settings, "audio.period-size", kPeriodFrames) != FLUID_OK ||
            fluid_settings_setint(settings, "audio.periods", kPeriods) != FLUID_OK ||
            fluid_settings_setstr(settings, "audio.driver", driver) != FLUID_OK) {
            return false;
        }
        audioDriver_ = new_fluid_audio_driver2(settings, &FluidSynthDevice::onAudio, this);
        if (audioDriver_ == nullptr) {
            return false;
        }
    }
    if (!waitForFirstPeriod()) {
        pulse_.reset();
        if (audioDriver_ != nullptr) {
            delete_fluid_audio_driver(audioDriver_);
            audioDriver_ = nullptr;
        }
        return false;
    }
    driver_ = driver;
    return true;
}

bool FluidSynthDevice::waitForFirstPeriod() {
    // Some outputs start without complaint and then never play (a sound server that is
    // not there): only one that asks for audio counts.
    const auto deadline = Clock::now() + kFirstPeriodWait;
    while (periods_.load(std::memory_order_acquire) == 0) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void FluidSynthDevice::send(const midiout::TimedMessage& message) noexcept {
    Timed timed;
    timed.message = message.packed();
    // The step clock's notes are stamped with the moment their step was due: a timer that
    // woke late by less than the fixed latency then moves no note.
    const Clock::time_point due = message.due;
    if (jackClock_ != nullptr) {
        if (!jackClock_->alive()) {
            return; // the server is gone: nothing would play it
        }
        timed.at = jackClock_->frameTimeAt(due);
        timed.stamp = Stamp::JackFrame;
    } else {
        timed.at = nanosOf(due);
        timed.stamp = Stamp::Clock;
    }
    if (push(timed) && pulse_ != nullptr) {
        pulse_->wake();
    }
}

bool FluidSynthDevice::sendAtFrame(std::uint32_t message, std::int64_t frame) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr) {
        return false;
    }
    return push({frame, message, Stamp::StreamFrame});
}

bool FluidSynthDevice::sendAt(std::uint32_t message, Clock::time_point when) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr) {
        return false;
    }
    return push({nanosOf(when), message, Stamp::Clock});
}

bool FluidSynthDevice::sendAtJackFrame(std::uint32_t message, std::uint32_t frame) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr) {
        return false;
    }
    return push({frame, message, Stamp::JackFrame});
}

bool FluidSynthDevice::renderJackPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                                        float* right) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr) {
        return false;
    }
    renderPeriod(cycleStart, frames, left, right);
    return true;
}

bool FluidSynthDevice::push(const Timed& timed) noexcept {
    if (!pending_.push(timed)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void FluidSynthDevice::prepare() noexcept {
    if (pulse_ != nullptr) {
        pulse_->wake();
    }
}

void FluidSynthDevice::close() noexcept {
    teardown();
}

void FluidSynthDevice::teardown() noexcept {
    // The audio goes first: once it is stopped nothing renders the synth any more.
    if (jack_ != nullptr) {
        if (!jack_->closeAudio()) {
            // A process callback may still be inside the synth: it is left to it.
            (void)synth_.release();
        }
        jack_.reset();
        jackClock_ = nullptr;
    }
    pulse_.reset();
    if (audioDriver_ != nullptr) {
        delete_fluid_audio_driver(audioDriver_);
        audioDriver_ = nullptr;
    }
    synth_.reset();
    driver_.clear();
}

template <typename OffsetOf>
void FluidSynthDevice::renderPlaced(int frames, float* left, float* right,
                                    OffsetOf offsetOf) noexcept {
    const bool atBlockStart = blockStart_.load(std::memory_order_relaxed);
    int rendered = 0;
    while (const Timed* timed = pending_.front()) {
        std::int64_t offset = atBlockStart ? 0 : offsetOf(*timed);
        if (offset >= frames) {
            break; // a later block's, and so is everything behind it
        }
        if (offset < 0) {
            late_.fetch_add(1, std::memory_order_relaxed);
            offset = 0;
        }
        // Never before the message ahead of it.
        const int at = std::max(rendered, static_cast<int>(offset));
        synth_->renderAdd(at - rendered, left + rendered, right + rendered);
        rendered = at;
        synth_->apply(timed->message);
        pending_.pop();
    }
    synth_->renderAdd(frames - rendered, left + rendered, right + rendered);
    streamFrame_ += frames;
}

void FluidSynthDevice::renderPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                                    float* right) noexcept {
    const auto period = static_cast<std::int64_t>(frames);
    clear(left, right, static_cast<int>(frames));
    // The same delay as the JACK MIDI output's, so that both keep the same time.
    const std::int64_t delay =
        jackDelayFrames(frames, static_cast<std::uint32_t>(synth_->sampleRate()));
    renderPlaced(static_cast<int>(frames), left, right, [&](const Timed& timed) {
        // The JACK MIDI output's rule: its delay after the stamp. Order within the block is
        // kept by renderPlaced itself.
        const JackPlacement placed =
            placeInPeriod(static_cast<std::uint32_t>(timed.at), cycleStart, frames, delay, 0);
        if (placed.hold) {
            return period;
        }
        return placed.late ? std::int64_t{-1} : placed.offset;
    });
}

void FluidSynthDevice::renderClocked(std::int64_t nanos, int frames, float* left,
                                     float* right) noexcept {
    // The line follows the frames handed to the server by each callback's end: a stream's
    // first request fills the server's whole buffer at once, and from then on the frames
    // handed over keep pace with the frames played.
    streamClock_.update(nanos, streamFrame_ + frames);
    const auto holdLimit = static_cast<std::int64_t>(synth_->sampleRate() * kClockHoldSeconds);
    clear(left, right, frames);
    renderPlaced(frames, left, right, [&](const Timed& timed) -> std::int64_t {
        if (timed.stamp == Stamp::StreamFrame) {
            return timed.at - streamFrame_;
        }
        const auto frame = static_cast<std::int64_t>(std::floor(streamClock_.frameAt(timed.at)));
        const std::int64_t offset = frame + kClockLatencyFrames - streamFrame_;
        return offset < holdLimit ? offset : 0;
    });
}

int FluidSynthDevice::onAudio(void* self, int frames, int, float*[], int outputs,
                              float* out[]) noexcept {
    auto* device = static_cast<FluidSynthDevice*>(self);
    if (outputs < 2) {
        return FLUID_FAILED;
    }
    device->renderClocked(nanosOf(Clock::now()), frames, out[0], out[1]);
    device->periods_.fetch_add(1, std::memory_order_release);
    return FLUID_OK;
}

void FluidSynthDevice::onPulse(void* self, std::int64_t nanos, int frames, float* left,
                               float* right) noexcept {
    auto* device = static_cast<FluidSynthDevice*>(self);
    device->renderClocked(nanos, frames, left, right);
    device->periods_.fetch_add(1, std::memory_order_release);
}

bool FluidSynthDevice::mayRest(void* self) noexcept {
    const auto* device = static_cast<FluidSynthDevice*>(self);
    return device->synth_->rungOut() && device->pending_.front() == nullptr;
}

bool FluidSynthDevice::render(float* left, float* right, int frames) noexcept {
    return render(left, right, frames, Clock::now());
}

bool FluidSynthDevice::render(float* left, float* right, int frames,
                              Clock::time_point callbackTime) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr || frames < 0) {
        return false;
    }
    renderClocked(nanosOf(callbackTime), frames, left, right);
    return true;
}

} // namespace tambrel::backends
