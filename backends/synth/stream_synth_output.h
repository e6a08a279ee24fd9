#pragma once
// An output whose sound server pulls the audio through callbacks, bunched and late as a
// busy machine lets them come (PulseAudio, PipeWire, ALSA): each message is stamped with its
// due moment on the monotonic clock, and the stream clock maps that moment onto the stream.

#include "backends/synth/synth_output.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace tambrel::backends {

class StreamSynthOutput : public SynthOutput {
public:
    void send(const midiout::TimedMessage& message) noexcept override {
        (void)synth_.pushAtMoment(message);
    }

    // The fixed latency: the stream clock's own, and the wait for a whole block.
    std::chrono::nanoseconds latency() const noexcept override {
        const double frames =
            PlacedSynth::kClockLatencyFrames + wait_.load(std::memory_order_relaxed);
        const double rate =
            synth_.sampleRate() > 0 ? synth_.sampleRate() : PlacedSynth::kStreamSampleRate;
        return std::chrono::nanoseconds(static_cast<std::int64_t>(frames * 1e9 / rate));
    }

protected:
    explicit StreamSynthOutput(PlacedSynth& synth) noexcept : synth_(synth) {}
    ~StreamSynthOutput() override = default;

    // The audio side: one request of the server, which came at `nanos` on the monotonic
    // clock, for `frames` frames; `waitFrames` and `unheard` as PlacedSynth::renderStream
    // takes them.
    void render(std::int64_t nanos, int frames, float* left, float* right, int waitFrames = 0,
                int unheard = 0) noexcept {
        synth_.renderStream(nanos, frames, left, right, waitFrames, unheard);
        wait_.store(waitFrames, std::memory_order_relaxed);
        requests_.fetch_add(1, std::memory_order_release);
    }
    // Window's thread, once the stream has started: false when no request came within the
    // wait. Some outputs start without complaint and then never play (a sound server that
    // is not there): only one that asks for audio counts.
    [[nodiscard]] bool waitForFirstRequest() const;

    PlacedSynth& synth_;

private:
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<int> wait_{0}; // the last request's waitFrames
};

// A stream output on a stream of our own (PulseOutput, PipeWireOutput) that rests while the
// synth has nothing to play, woken by the message that brings something.
template <class Stream> class OwnStreamSynthOutput final : public StreamSynthOutput {
public:
    explicit OwnStreamSynthOutput(PlacedSynth& synth) noexcept : StreamSynthOutput(synth) {}

    // `open(render, mayRest, user)` opens the stream; false when it did not open or never
    // asked for audio (it is closed again).
    template <class Open> bool play(Open open) {
        stream_ = open(&OwnStreamSynthOutput::onRequest, &OwnStreamSynthOutput::mayRest, this);
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
    std::chrono::nanoseconds latency() const noexcept override {
        return StreamSynthOutput::latency() + stream_->latency();
    }
    bool stop() noexcept override {
        stream_.reset();
        return true;
    }

private:
    static void onRequest(void* self, std::int64_t nanos, int frames, int unheard, float* left,
                          float* right) noexcept {
        static_cast<OwnStreamSynthOutput*>(self)->render(
            nanos, frames, left, right, Stream::kWholeBlocks ? frames : 0, unheard);
    }
    static bool mayRest(void* self) noexcept {
        return static_cast<OwnStreamSynthOutput*>(self)->synth_.mayRest();
    }

    std::unique_ptr<Stream> stream_;
};

} // namespace tambrel::backends
