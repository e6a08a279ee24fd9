#include "gm_synth.h"

#include <fluidsynth.h>
#include <unistd.h>

namespace tambrel::backends {

namespace {

// Where Debian and the other distributions put their General MIDI soundfonts, best first.
constexpr const char* kSoundfontPlaces[] = {
    "/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",   "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};

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

std::unique_ptr<GmSynth> GmSynth::create(const std::string& soundfont, double sampleRate) {
    silenceFluidSynth();
    // Asked first, through FluidSynth's own (silenced) log: handed a file that is no
    // soundfont, its loader would go on to libinstpatch, which prints on standard error.
    if (!fluid_is_soundfont(soundfont.c_str())) {
        return nullptr;
    }
    std::unique_ptr<GmSynth> synth(new GmSynth);
    synth->settings_ = new_fluid_settings();
    if (synth->settings_ == nullptr) {
        return nullptr;
    }
    // A rate or gain not taken would play every note at the wrong moment or loudness.
    // Only one thread plays the synth (sends reach it through a ring), so the synth's own
    // mutex would only cost time on that thread.
    if (fluid_settings_setnum(synth->settings_, "synth.sample-rate", sampleRate) != FLUID_OK ||
        fluid_settings_setnum(synth->settings_, "synth.gain", kGain) != FLUID_OK ||
        fluid_settings_setint(synth->settings_, "synth.threadsafe-api", 0) != FLUID_OK) {
        return nullptr;
    }
    synth->synth_ = new_fluid_synth(synth->settings_);
    if (synth->synth_ == nullptr ||
        fluid_synth_sfload(synth->synth_, soundfont.c_str(), 1) == FLUID_FAILED) {
        return nullptr;
    }
    synth->sampleRate_ = sampleRate;
    return synth;
}

GmSynth::~GmSynth() {
    if (synth_ != nullptr) {
        delete_fluid_synth(synth_);
    }
    if (settings_ != nullptr) {
        delete_fluid_settings(settings_);
    }
}

void GmSynth::renderAdd(int frames, float* left, float* right) noexcept {
    if (frames <= 0) {
        return;
    }
    if (fluid_synth_get_active_voice_count(synth_) > 0) {
        quietFrames_ = 0;
    } else if (!rungOut()) {
        quietFrames_ += frames;
    } else {
        // Rung out: silence either way. Whole grid blocks are left out, so that the next
        // note still starts on the grid the frames asked for were counted on.
        frames %= kBlockFrames;
        if (frames == 0) {
            return;
        }
    }
    // No separate effect outputs: reverb and chorus go into the dry pair.
    float* out[2] = {left, right};
    float* fx[4] = {left, right, left, right};
    fluid_synth_process(synth_, frames, 4, fx, 2, out);
}

void GmSynth::apply(std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.empty()) {
        return;
    }
    const int status = bytes[0];
    const int channel = status & 0x0F;
    const int data1 = bytes.size() > 1 ? bytes[1] & 0x7F : 0;
    const int data2 = bytes.size() > 2 ? bytes[2] & 0x7F : 0;
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

} // namespace tambrel::backends
