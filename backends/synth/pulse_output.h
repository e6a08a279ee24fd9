#pragma once
// Audio out to the desktop's sound server through the PulseAudio API (PulseAudio itself, or
// PipeWire's PulseAudio service): one float stereo stream whose server asks for a short
// request whenever that much of a longer buffer has played. The buffer rides out a late
// wake-up of our thread, the short requests keep the audio coming in small steps.
// (FluidSynth's own PulseAudio output asks for a buffer of a single period, which a busy
// machine lets run dry.)

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pa_context;
struct pa_io_event;
struct pa_stream;
struct pa_threaded_mainloop;

namespace tambrel::backends {

class PulseOutput {
public:
    // A message that comes in while a request is rendered waits only for the next one.
    static constexpr bool kWholeBlocks = false;
    // Called on the stream's own thread for each request of the server: `frames` frames
    // into the two buffers (zeroed). `nanos` is the monotonic clock when the request came.
    // Must not block, lock or allocate.
    using Render = void (*)(void* user, std::int64_t nanos, int frames, float* left,
                            float* right) noexcept;
    // Called on the stream's own thread after a request: true when there is nothing to play
    // until wake() is called. Must not block, lock or allocate.
    using MayRest = bool (*)(void* user) noexcept;

    // Connects to the server this process would reach (never starting one) and starts the
    // stream. Nothing when no server answers. Prints nothing. With `mayRest`, a stream that
    // has nothing to play rests (corked: the server asks for nothing) until wake().
    static std::unique_ptr<PulseOutput> open(const std::string& streamName,
                                             std::uint32_t sampleRate, int requestFrames,
                                             int bufferFrames, Render render, void* user,
                                             MayRest mayRest = nullptr);
    // Stops the stream: no render call runs once it returns.
    ~PulseOutput();
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Any thread, after whatever there is to play has been handed over: a resting stream
    // plays again. Never waits, locks or allocates: one write to an eventfd per rest.
    void wake() noexcept;
    // How often the stream has rested since open.
    std::uint64_t rests() const noexcept { return rests_.load(std::memory_order_acquire); }
    // How often the server found the stream's buffer empty (the gap is heard as silence).
    std::uint64_t underflows() const noexcept {
        return underflows_.load(std::memory_order_relaxed);
    }

private:
    PulseOutput() = default;
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self) noexcept;
    bool watchWakeups();
    bool connectStream(const std::string& streamName, std::uint32_t sampleRate, int requestFrames,
                       int bufferFrames);
    void restIfQuiet(pa_stream* stream) noexcept;
    void resume() noexcept;

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    Render render_ = nullptr;
    void* user_ = nullptr;
    bool prioritySet_ = false; // the stream's thread only
    MayRest mayRest_ = nullptr;
    int wakeFd_ = -1;
    pa_io_event* wakeEvent_ = nullptr;
    std::atomic<bool> resting_{false};
    std::atomic<std::uint64_t> rests_{0};
    std::atomic<std::uint64_t> underflows_{0};
    std::vector<float> left_;
    std::vector<float> right_;
};

} // namespace tambrel::backends
