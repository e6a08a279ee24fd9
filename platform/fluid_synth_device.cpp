#include "fluid_synth_device.h"

#include "platform/alsa_midi_device.h"
#include "platform/jack_midi_device.h"

#include <chrono>
#include <fluidsynth.h>
#include <thread>
#include <unistd.h>

namespace tambrel::platform {

namespace {

// Where Debian and the other distributions put their General MIDI soundfonts, best first.
constexpr const char* kSoundfontPlaces[] = {
    "/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",   "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};

constexpr double kDesktopSampleRate = 48000.0;

// A driver that has not asked for its first period by then plays nowhere.
constexpr auto kFirstPeriodWait = std::chrono::milliseconds(1000);

} // namespace

std::optional<std::string> findGmSoundfont() {
    for (const char* place : kSoundfontPlaces) {
        if (access(place, R_OK) == 0) {
            return std::string(place);
        }
    }
    return std::nullopt;
}

void silenceFluidSynth() noexcept {
    for (int level = FLUID_PANIC; level < LAST_LOG_LEVEL; ++level) {
        fluid_set_log_function(level, nullptr, nullptr);
    }
}

FluidSynthDevice::FluidSynthDevice(std::string soundfont, Output output)
    : soundfont_(std::move(soundfont)), output_(output) {}

FluidSynthDevice::~FluidSynthDevice() {
    teardown();
}

bool FluidSynthDevice::buildSynth(double sampleRate) {
    if (synth_ != nullptr && sampleRate == sampleRate_) {
        return true;
    }
    teardown();
    settings_ = new_fluid_settings();
    if (settings_ == nullptr) {
        return false;
    }
    fluid_settings_setnum(settings_, "synth.sample-rate", sampleRate);
    fluid_settings_setnum(settings_, "synth.gain", kGain);
    // Only the audio thread plays the synth (sends arrive through the ring), so the
    // synth's own mutex would only cost time on that thread.
    fluid_settings_setint(settings_, "synth.threadsafe-api", 0);
    fluid_settings_setint(settings_, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(settings_, "audio.periods", kPeriods);
    fluid_settings_setstr(settings_, "audio.jack.id", kSynthDeviceName);
    fluid_settings_setint(settings_, "audio.jack.autoconnect", 1);
    fluid_settings_setint(settings_, "audio.jack.multi", 0);
    synth_ = new_fluid_synth(settings_);
    if (synth_ == nullptr || fluid_synth_sfload(synth_, soundfont_.c_str(), 1) == FLUID_FAILED) {
        teardown();
        return false;
    }
    sampleRate_ = sampleRate;
    return true;
}

bool FluidSynthDevice::startDriver(const std::string& driver) {
    fluid_settings_setstr(settings_, "audio.driver", driver.c_str());
    periods_.store(0);
    audioDriver_ = new_fluid_audio_driver2(settings_, &FluidSynthDevice::onAudio, this);
    if (audioDriver_ == nullptr) {
        return false;
    }
    // Some drivers start without complaint and then never play (a sound server that is
    // not there): only a driver that asks for audio counts.
    const auto deadline = std::chrono::steady_clock::now() + kFirstPeriodWait;
    while (periods_.load() == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            delete_fluid_audio_driver(audioDriver_);
            audioDriver_ = nullptr;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    driver_ = driver;
    return true;
}

bool FluidSynthDevice::open() {
    silenceFluidSynth();
    teardown(); // a device is opened once at a time; this only guards against a double open
    pending_.discard();
    if (output_ == Output::Offline) {
        return buildSynth(kOfflineSampleRate);
    }
    silenceJack();
    silenceAlsa();
    // A running JACK server owns the sound card: play through it, at its rate.
    if (const auto jackRate = runningJackSampleRate()) {
        if (buildSynth(static_cast<double>(*jackRate)) && startDriver("jack")) {
            return true;
        }
    }
    // PipeWire desktops also answer as PulseAudio; FluidSynth builds without its own
    // PipeWire driver then still reach them.
    for (const char* driver : {"pipewire", "pulseaudio", "alsa"}) {
        if (buildSynth(kDesktopSampleRate) && startDriver(driver)) {
            return true;
        }
    }
    teardown();
    return false;
}

void FluidSynthDevice::send(std::uint32_t message) noexcept {
    if (!pending_.push(message)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

void FluidSynthDevice::close() noexcept {
    teardown();
}

void FluidSynthDevice::teardown() noexcept {
    // The driver goes first: once it is deleted no audio callback runs any more.
    if (audioDriver_ != nullptr) {
        delete_fluid_audio_driver(audioDriver_);
        audioDriver_ = nullptr;
    }
    if (synth_ != nullptr) {
        delete_fluid_synth(synth_);
        synth_ = nullptr;
    }
    if (settings_ != nullptr) {
        delete_fluid_settings(settings_);
        settings_ = nullptr;
    }
    driver_.clear();
    sampleRate_ = 0.0;
}

void FluidSynthDevice::applyPending() noexcept {
    while (const std::uint32_t* pending = pending_.front()) {
        const std::uint32_t message = *pending;
        pending_.pop();
        const int status = static_cast<int>(message & 0xFF);
        const int channel = status & 0x0F;
        const int data1 = static_cast<int>((message >> 8) & 0x7F);
        const int data2 = static_cast<int>((message >> 16) & 0x7F);
        switch (status & 0xF0) {
        case 0x80:
            fluid_synth_noteoff(synth_, channel, data1);
            break;
        case 0x90: // velocity 0 is a note-off, and FluidSynth treats it as one
            fluid_synth_noteon(synth_, channel, data1, data2);
            break;
        case 0xA0:
            fluid_synth_key_pressure(synth_, channel, data1, data2);
            break;
        case 0xB0:
            fluid_synth_cc(synth_, channel, data1, data2);
            break;
        case 0xC0:
            fluid_synth_program_change(synth_, channel, data1);
            break;
        case 0xD0:
            fluid_synth_channel_pressure(synth_, channel, data1);
            break;
        case 0xE0:
            fluid_synth_pitch_bend(synth_, channel, data1 | (data2 << 7));
            break;
        default:
            if (status == 0xFF) {
                fluid_synth_system_reset(synth_);
            }
            break;
        }
    }
}

int FluidSynthDevice::onAudio(void* self, int frames, int effects, float* fx[], int outputs,
                              float* out[]) noexcept {
    auto* device = static_cast<FluidSynthDevice*>(self);
    device->periods_.fetch_add(1, std::memory_order_relaxed);
    device->applyPending();
    if (effects == 0) {
        // No separate effect outputs: reverb and chorus are mixed into the dry pair.
        float* mixed[4] = {out[0], out[1], out[0], out[1]};
        return fluid_synth_process(device->synth_, frames, 4, mixed, outputs, out);
    }
    return fluid_synth_process(device->synth_, frames, effects, fx, outputs, out);
}

void FluidSynthDevice::renderInto(int frames, float* left, float* right) noexcept {
    for (int i = 0; i < frames; ++i) {
        left[i] = 0.0f;
        right[i] = 0.0f;
    }
    float* out[2] = {left, right};
    onAudio(this, frames, 0, nullptr, 2, out);
}

bool FluidSynthDevice::render(float* left, float* right, int frames) noexcept {
    if (output_ != Output::Offline || synth_ == nullptr || frames < 0) {
        return false;
    }
    renderInto(frames, left, right);
    return true;
}

} // namespace tambrel::platform
