#include "pulse_synth_output.h"

#include "backends/synth/pulse_output.h"
#include "backends/synth/stream_synth_output.h"

namespace tambrel::backends {

namespace {

class PulseSynthOutput final : public StreamSynthOutput {
public:
    explicit PulseSynthOutput(PlacedSynth& synth) noexcept : StreamSynthOutput(synth) {}

    bool play() {
        stream_ = PulseOutput::open(
            kSynthDeviceName, static_cast<std::uint32_t>(PlacedSynth::kStreamSampleRate),
            PlacedSynth::kPeriodFrames, PlacedSynth::kPeriodFrames * PlacedSynth::kPeriods,
            &PulseSynthOutput::onRequest, this, &PulseSynthOutput::mayRest);
        if (stream_ != nullptr && !waitForFirstRequest()) {
            stream_.reset();
        }
        return stream_ != nullptr;
    }

    void send(const midiout::TimedMessage& message) noexcept override {
        if (synth_.pushAtMoment(message)) {
            stream_->wake();
        }
    }
    void wake() noexcept override { stream_->wake(); }
    std::uint64_t rests() const noexcept override { return stream_->rests(); }
    std::uint64_t underflows() const noexcept override { return stream_->underflows(); }
    bool stop() noexcept override {
        stream_.reset();
        return true;
    }

private:
    static void onRequest(void* self, std::int64_t nanos, int frames, float* left,
                          float* right) noexcept {
        static_cast<PulseSynthOutput*>(self)->render(nanos, frames, left, right);
    }
    static bool mayRest(void* self) noexcept {
        return static_cast<PulseSynthOutput*>(self)->synth_.mayRest();
    }

    std::unique_ptr<PulseOutput> stream_;
};

} // namespace

std::unique_ptr<SynthOutput> openPulseSynthOutput(const SynthOutputPlace& place, const char*) {
    if (!place.synth.start(place.soundfont, PlacedSynth::kStreamSampleRate)) {
        return nullptr;
    }
    auto output = std::make_unique<PulseSynthOutput>(place.synth);
    if (!output->play()) {
        return nullptr;
    }
    return output;
}

} // namespace tambrel::backends
