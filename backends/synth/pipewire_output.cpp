#include "pipewire_output.h"

#include <algorithm>
#include <chrono>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <thread>

namespace tambrel::backends {

namespace {

// A server that has not started the stream by then is not one to play through.
constexpr auto kConnectWait = std::chrono::milliseconds(2000);

// The most frames rendered in one cycle; a server never asks for more than its largest
// quantum (8192 by default).
constexpr std::uint64_t kMaxRenderFrames = 8192;

constexpr std::uint32_t kFrameBytes = 2 * sizeof(float);

std::int64_t monotonicNanos() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

struct PipeWireOutput::Listener {
    spa_hook hook{};
    pw_stream_events events{};
};

std::unique_ptr<PipeWireOutput> PipeWireOutput::open(const std::string& streamName,
                                                     std::uint32_t sampleRate, int quantumFrames,
                                                     Render render, void* user, MayRest mayRest) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<PipeWireOutput> out(new PipeWireOutput);
    out->render_ = render;
    out->user_ = user;
    out->mayRest_ = mayRest;
    out->sampleRate_ = sampleRate;
    out->left_.resize(kMaxRenderFrames);
    out->right_.resize(kMaxRenderFrames);
    out->loop_ = pw_thread_loop_new("tambrel-synth", nullptr);
    if (out->loop_ == nullptr) {
        return nullptr;
    }
    // client-rt: the data thread that renders the synth runs at a real-time priority.
    out->context_ = pw_context_new(pw_thread_loop_get_loop(out->loop_),
                                   pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf",
                                                     PW_KEY_APP_NAME, "Tambrel", nullptr),
                                   0);
    if (out->context_ == nullptr || pw_thread_loop_start(out->loop_) < 0) {
        return nullptr;
    }
    pw_thread_loop_lock(out->loop_);
    out->core_ = pw_context_connect(out->context_, nullptr, 0);
    bool ok = out->core_ != nullptr && out->connectStream(streamName, sampleRate, quantumFrames);
    pw_thread_loop_unlock(out->loop_);
    if (!ok || !out->awaitStreaming()) {
        return nullptr;
    }
    return out;
}

// With the loop locked: the playback stream made and on its way to the default sink.
bool PipeWireOutput::connectStream(const std::string& streamName, std::uint32_t sampleRate,
                                   int quantumFrames) {
    const std::string latency = std::to_string(quantumFrames) + "/" + std::to_string(sampleRate);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_MEDIA_NAME, streamName.c_str(), PW_KEY_NODE_NAME, "Tambrel", PW_KEY_NODE_DESCRIPTION,
        streamName.c_str(), PW_KEY_APP_NAME, "Tambrel", PW_KEY_APP_ICON_NAME, "org.tambrel.Tambrel",
        PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
    stream_ = pw_stream_new(core_, streamName.c_str(), props);
    if (stream_ == nullptr) {
        return false;
    }
    listener_ = std::make_unique<Listener>();
    listener_->events.version = PW_VERSION_STREAM_EVENTS;
    listener_->events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                         const char*) {
        static_cast<PipeWireOutput*>(self)->state_.store(state, std::memory_order_release);
    };
    listener_->events.process = &PipeWireOutput::onProcess;
    pw_stream_add_listener(stream_, &listener_->hook, &listener_->events, this);
    if (mayRest_ != nullptr) {
        restEvent_ = pw_loop_add_event(
            pw_thread_loop_get_loop(loop_),
            [](void* self, std::uint64_t) { static_cast<PipeWireOutput*>(self)->applyRest(); },
            this);
        if (restEvent_ == nullptr) {
            return false;
        }
    }
    std::uint8_t podBytes[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBytes, sizeof podBytes);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = sampleRate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
}

// Unlocked: the stream reached the graph and runs, or false when it failed or did not get
// there in time (a server with no sink to play to).
bool PipeWireOutput::awaitStreaming() {
    const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    while (std::chrono::steady_clock::now() < deadline) {
        const int state = state_.load(std::memory_order_acquire);
        if (state == PW_STREAM_STATE_STREAMING) {
            return true;
        }
        if (state == PW_STREAM_STATE_ERROR) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

PipeWireOutput::~PipeWireOutput() {
    if (loop_ == nullptr) {
        return;
    }
    pw_thread_loop_lock(loop_);
    if (stream_ != nullptr) {
        // Takes the stream out of the data thread's graph and waits for that: no cycle
        // renders after it.
        pw_stream_destroy(stream_);
    }
    if (restEvent_ != nullptr) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), restEvent_);
    }
    if (core_ != nullptr) {
        pw_core_disconnect(core_);
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_ != nullptr) {
        pw_context_destroy(context_);
    }
    pw_thread_loop_destroy(loop_);
}

void PipeWireOutput::onProcess(void* self) noexcept {
    auto* out = static_cast<PipeWireOutput*>(self);
    pw_buffer* buffer = pw_stream_dequeue_buffer(out->stream_);
    if (buffer == nullptr) {
        out->underflows_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    spa_data& data = buffer->buffer->datas[0];
    std::uint64_t frames = data.data != nullptr ? data.maxsize / kFrameBytes : 0;
    if (buffer->requested > 0) {
        frames = std::min<std::uint64_t>(frames, buffer->requested);
    }
    frames = std::min(frames, kMaxRenderFrames);
    // The cycle's start as the graph's driver took it: the same moment for the same place
    // in the stream however late this thread got to run. The render is told the moment the
    // block's end is due, a block's length later: the line between moments and the frames
    // handed over then keeps its place when the graph changes its quantum (a stream with a
    // shorter latency joins or leaves), as it would not if taken at the cycle's start.
    pw_time time{};
    const std::int64_t start =
        pw_stream_get_time_n(out->stream_, &time, sizeof time) == 0 && time.now > 0
            ? time.now
            : monotonicNanos();
    const std::int64_t nanos =
        start + static_cast<std::int64_t>(frames) * 1'000'000'000 / out->sampleRate_;
    if (time.rate.denom > 0 && time.delay >= 0) {
        // The graph's delay from this stream to the sound card, in the graph's ticks.
        out->latencyNanos_.store(time.delay * 1'000'000'000 * time.rate.num / time.rate.denom,
                                 std::memory_order_relaxed);
    }
    const int n = static_cast<int>(frames);
    std::fill_n(out->left_.begin(), n, 0.0f);
    std::fill_n(out->right_.begin(), n, 0.0f);
    out->render_(out->user_, nanos, n, 0, out->left_.data(), out->right_.data());
    auto* interleaved = static_cast<float*>(data.data);
    for (int i = 0; i < n; ++i) {
        interleaved[2 * i] = out->left_[i];
        interleaved[2 * i + 1] = out->right_[i];
    }
    data.chunk->offset = 0;
    data.chunk->stride = kFrameBytes;
    data.chunk->size = static_cast<std::uint32_t>(frames) * kFrameBytes;
    pw_stream_queue_buffer(out->stream_, buffer);
    out->restIfQuiet();
}

// After a cycle, on the data thread: with nothing to play, the stream leaves the graph,
// which a stopped drum machine would otherwise keep running all day. The flag changes
// only by exchanges, here and in wake(), which follow one another (see PulseOutput). The
// stream is made inactive on the loop's thread, which may run a cycle or two more first.
void PipeWireOutput::restIfQuiet() noexcept {
    if (mayRest_ == nullptr || resting_.load(std::memory_order_acquire) || !mayRest_(user_)) {
        return;
    }
    resting_.exchange(true, std::memory_order_acq_rel);
    if (!mayRest_(user_)) {
        resting_.exchange(false, std::memory_order_acq_rel);
        return;
    }
    rests_.fetch_add(1, std::memory_order_release);
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), restEvent_);
}

void PipeWireOutput::wake() noexcept {
    if (restEvent_ == nullptr || !resting_.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_), restEvent_);
}

// On the loop's thread: the stream as the flag last says, whichever of a rest and a wake
// was signalled first.
void PipeWireOutput::applyRest() noexcept {
    const bool active = !resting_.load(std::memory_order_acquire);
    if (active != active_ && stream_ != nullptr) {
        pw_stream_set_active(stream_, active);
        active_ = active;
    }
}

} // namespace tambrel::backends
