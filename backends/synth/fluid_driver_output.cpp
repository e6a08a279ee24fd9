#include "fluid_driver_output.h"

#include "backends/alsa/alsa_midi_device.h"
#include "backends/synth/stream_synth_output.h"

#include <fluidsynth.h>

namespace tambrel::backends {

namespace {

class FluidDriverOutput final : public StreamSynthOutput {
public:
    explicit FluidDriverOutput(PlacedSynth& synth) noexcept : StreamSynthOutput(synth) {}
    ~FluidDriverOutput() override { (void)stop(); }

    bool play(const char* driver) {
        // The driver's settings live with the synth. A driver not taken would open
        // FluidSynth's default one in its place.
        _fluid_hashtable_t* settings = synth_.synth()->settings();
        if (fluid_settings_setint(settings, "audio.period-size", PlacedSynth::kPeriodFrames) !=
                FLUID_OK ||
            fluid_settings_setint(settings, "audio.periods", PlacedSynth::kPeriods) != FLUID_OK ||
            fluid_settings_setstr(settings, "audio.driver", driver) != FLUID_OK) {
            return false;
        }
        driver_ = new_fluid_audio_driver2(settings, &FluidDriverOutput::onAudio, this);
        if (driver_ != nullptr && !waitForFirstRequest()) {
            (void)stop();
        }
        return driver_ != nullptr;
    }

    bool stop() noexcept override {
        if (driver_ != nullptr) {
            delete_fluid_audio_driver(driver_);
            driver_ = nullptr;
        }
        return true;
    }

private:
    static int onAudio(void* self, int frames, int, float*[], int outputs, float* out[]) noexcept {
        if (outputs < 2) {
            return FLUID_FAILED;
        }
        static_cast<FluidDriverOutput*>(self)->render(
            PlacedSynth::nanosOf(PlacedSynth::Clock::now()), frames, out[0], out[1]);
        return FLUID_OK;
    }

    fluid_audio_driver_t* driver_ = nullptr;
};

} // namespace

std::unique_ptr<SynthOutput> openFluidDriverOutput(const SynthOutputPlace& place,
                                                   const char* name) {
    silenceAlsa();
    if (!place.synth.start(place.soundfont, PlacedSynth::kStreamSampleRate)) {
        return nullptr;
    }
    auto output = std::make_unique<FluidDriverOutput>(place.synth);
    if (!output->play(name)) {
        return nullptr;
    }
    return output;
}

} // namespace tambrel::backends
