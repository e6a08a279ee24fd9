#pragma once
// Audio out to the desktop's sound server through the PulseAudio API (PulseAudio itself, or
// PipeWire's PulseAudio service): one float stereo stream whose server asks for a short
// request whenever that much of a longer buffer has played. The buffer rides out a late
// wake-up of our thread, the short requests keep the audio coming in small steps.
// (FluidSynth's own PulseAudio output asks for a buffer of a single period, which a busy
// machine lets run dry.)

#include "backends/synth/own_stream.h"

#include <cstdint>
#include <memory>
#include <string>

struct pa_context;
struct pa_io_event;
struct pa_stream;
struct pa_threaded_mainloop;

namespace tambrel::backends {

class PulseOutput : public OwnStream {
public:
    // A message that comes in while a request is rendered waits only for the next one.
    static constexpr bool kWholeBlocks = false;
    // Render runs on the stream's own thread for each request of the server; its `nanos` is
    // the monotonic clock when the request came.

    // Connects to the server this process would reach (never starting one) and starts the
    // stream. Nothing when no server answers. Prints nothing. With `mayRest`, a stream that
    // has nothing to play rests (corked: the server asks for nothing) until wake().
    static std::unique_ptr<PulseOutput> open(const std::string& streamName,
                                             std::uint32_t sampleRate, int requestFrames,
                                             int bufferFrames, Render render, void* user,
                                             MayRest mayRest = nullptr);
    // Stops the stream: no render call runs once it returns.
    ~PulseOutput();

    void wake() noexcept;
    // underflows(): how often the server found the stream's buffer empty.

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
    bool prioritySet_ = false; // the stream's thread only
    int wakeFd_ = -1;
    pa_io_event* wakeEvent_ = nullptr;
};

} // namespace tambrel::backends
