#pragma once
// Audio out to a PipeWire server on its own API: one float stereo playback stream, a node of
// the server's graph that renders one quantum in each graph cycle, on PipeWire's real-time
// data thread, as a JACK client does. The server drives it from its own clock, one small
// quantum at a time, with no bunched requests between; and each cycle says when it started
// on the monotonic clock (the driver's own timestamp, not when our thread got to run), so
// that the moment-to-frame line is fed with the server's timing instead of with wake-ups
// that a busy machine delays.

#include "backends/synth/own_stream.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_source;

namespace tambrel::backends {

class PipeWireOutput : public OwnStream {
public:
    // A message that comes in just after a cycle started waits a whole cycle: the synth's
    // notes are placed a quantum later than on a stream of small requests.
    static constexpr bool kWholeBlocks = true;
    // Render runs on PipeWire's data thread, once a graph cycle; its `nanos` is when the
    // block's last frame is due on the monotonic clock: the cycle's start plus the block's
    // length.

    // Connects to the server this process would reach (PIPEWIRE_REMOTE,
    // PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR; never starting one) and starts a stream named
    // `streamName` to the default sink, asking the graph for a quantum of `quantumFrames`.
    // Nothing when no server answers. Prints nothing. With `mayRest`, a stream that has
    // nothing to play leaves the graph (inactive: no cycle runs it) until wake().
    static std::unique_ptr<PipeWireOutput> open(const std::string& streamName,
                                                std::uint32_t sampleRate, int quantumFrames,
                                                Render render, void* user,
                                                MayRest mayRest = nullptr);
    // Stops the stream: no render call runs once it returns.
    ~PipeWireOutput();

    void wake() noexcept;
    // underflows(): cycles in which the stream had no buffer to fill.

private:
    PipeWireOutput() = default;
    bool connectStream(const std::string& streamName, std::uint32_t sampleRate, int quantumFrames);
    bool awaitStreaming();
    static void onProcess(void* self) noexcept;
    void restIfQuiet() noexcept;
    void applyRest() noexcept;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_source* restEvent_ = nullptr;
    struct Listener; // the stream's listener hook, kept out of this header
    std::unique_ptr<Listener> listener_;
    std::int64_t sampleRate_ = 48000;
    std::atomic<int> state_{0}; // pw_stream_state, as last reported
    bool active_ = true;        // the loop's thread only: what the stream was last set to
};

} // namespace tambrel::backends
