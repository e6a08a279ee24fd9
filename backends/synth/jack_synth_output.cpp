#include "jack_synth_output.h"

namespace tambrel::backends {

namespace {

class JackSynthOutput final : public SynthOutput, private JackAudioSource {
public:
    JackSynthOutput(std::shared_ptr<JackMidiClient> client, PlacedSynth& synth)
        : client_(std::move(client)), synth_(synth) {}
    ~JackSynthOutput() override { (void)stop(); }

    bool play() {
        playing_ = client_->openAudio(kSynthDeviceName, this);
        return playing_;
    }

    void send(const midiout::TimedMessage& message) noexcept override {
        if (!client_->alive()) {
            return; // the server is gone: nothing would play it
        }
        // Stamped with the frame at which it was due: a timer that woke late by less than
        // the fixed latency then moves no note. A followed transport's first steps wait for
        // its roll, as the MIDI ports' do.
        if (midiout::awaitsRelease(message.due)) {
            synth_.pushAtRelease(message, releaseFrames(message.due, client_->sampleRate()),
                                 client_->release().start);
        } else {
            synth_.pushAtJackFrame(message, client_->frameTimeAt(message.due));
        }
    }

    std::chrono::nanoseconds latency() const noexcept override { return client_->audioLatency(); }

    bool stop() noexcept override {
        // Only audio of our own: a failed open may have met another source on the client.
        if (playing_) {
            playing_ = !client_->closeAudio();
        }
        return !playing_;
    }

private:
    void renderPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                      float* right) noexcept override {
        synth_.renderJackPeriod(cycleStart, frames, left, right, client_->release());
    }

    std::shared_ptr<JackMidiClient> client_;
    PlacedSynth& synth_;
    bool playing_ = false;
};

} // namespace

std::unique_ptr<SynthOutput> openJackSynthOutput(const SynthOutputPlace& place, const char*) {
    silenceJack();
    // A server started after the program is used too.
    std::shared_ptr<JackMidiClient> client =
        place.jack != nullptr ? place.jack->client() : JackMidiClient::connect();
    if (client == nullptr || !place.synth.start(place.soundfont, client->sampleRate())) {
        return nullptr;
    }
    auto output = std::make_unique<JackSynthOutput>(std::move(client), place.synth);
    if (!output->play()) {
        // The process callback may have played it meanwhile: the next output starts afresh.
        place.synth.stop();
        return nullptr;
    }
    return output;
}

} // namespace tambrel::backends
