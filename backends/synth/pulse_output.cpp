#include "pulse_output.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace tambrel::backends {

namespace {

// A server that has not answered by then is not one to play through.
constexpr auto kConnectWait = std::chrono::milliseconds(2000);

// The most frames rendered in one go; a larger request (only when the buffer is filled
// from empty) is rendered in pieces.
constexpr int kMaxRenderFrames = 8192;

// The priority FluidSynth gives its own audio threads; quietly kept as it is where the
// system does not allow it.
constexpr int kAudioThreadPriority = 60;

// Waits, with the mainloop locked, until `ready` says yes (true) or no (false), or the time
// is up (false). The mainloop's thread runs meanwhile.
template <typename Ready> bool waitFor(pa_threaded_mainloop* mainloop, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    while (true) {
        if (const auto answer = ready()) {
            return *answer;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        pa_threaded_mainloop_unlock(mainloop);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pa_threaded_mainloop_lock(mainloop);
    }
}

// A write the server refused ends the stream's use, as the server's death does: the stream
// leaves the server and no request reaches the synth any more, rather than a stream that
// stays there stalled and silent. Called on the stream's thread, the mainloop locked.
void endUse(pa_stream* stream) noexcept {
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    if (pa_stream_disconnect(stream) != 0) {
        // Already on its way out: nothing more to end.
    }
}

// How the buffer is split between the server's sink and our stream. PulseAudio asked to
// adjust the latency gives its sink about half of it, and a sink that wakes late (a busy
// machine, a host that stops the machine for a few milliseconds) takes all it missed at once
// plus that half ahead of time: a wake-up some 6 ms late ran the stream dry, several times in
// each of the synth timing test's attempts on our two-core machines. With early requests the
// sink plays one request ahead and the rest of the buffer stays with the stream, so that a
// wake-up up to some 18 ms late is ridden out (an underflow in one attempt of three). PipeWire's
// PulseAudio service sets its graph's quantum from the latency asked for; there early requests
// would pull every stream on the desktop down to one request, so it keeps the adjusted latency.
pa_stream_flags_t latencyFlags(pa_threaded_mainloop* mainloop, pa_context* context) {
    enum Server { Asking, PulseAudio, PipeWire, Unknown };
    Server server = Asking;
    pa_operation* op = pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* answer) {
            const bool pipewire = info != nullptr && info->server_name != nullptr &&
                                  std::strstr(info->server_name, "PipeWire") != nullptr;
            *static_cast<Server*>(answer) = pipewire ? PipeWire : PulseAudio;
        },
        &server);
    if (op == nullptr || !waitFor(mainloop, [&]() -> std::optional<bool> {
            return server == Asking ? std::nullopt : std::optional<bool>(true);
        })) {
        server = Unknown;
    }
    if (op != nullptr) {
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(op); // its answer would come to a gone `server`
        }
        pa_operation_unref(op);
    }
    // The server's timing, kept up to date and interpolated between its reports, gives the
    // stream's latency (what a Link session's beats take off).
    constexpr auto timing =
        static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    return static_cast<pa_stream_flags_t>(
        timing | (server == PulseAudio ? PA_STREAM_EARLY_REQUESTS : PA_STREAM_ADJUST_LATENCY));
}

constexpr std::size_t kFrameBytes = 2 * sizeof(float);

// Time for a write to reach the server, which plays on meanwhile.
constexpr pa_usec_t kWriteWayUsec = 1000;

// How many frames of the next write the server will not play. A stream that ran dry plays on
// in silence (no prebuffering), and its read position passes what we had written: what we
// write next for the frames behind it is dropped, and a note among them would never be
// heard. The read position is the one heard now (interpolated from the server's last
// timing report) plus the sink's latency, and a little more for the write's way there.
std::int64_t unheardFrames(pa_stream* stream) noexcept {
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
    pa_usec_t heard = 0;
    if (timing == nullptr || format == nullptr || timing->write_index_corrupt != 0 ||
        timing->playing == 0 || pa_stream_get_time(stream, &heard) != 0 || heard == 0) {
        return 0; // nothing played yet, or nothing known: nothing passed
    }
    const pa_usec_t read = heard + timing->sink_usec + timing->transport_usec + kWriteWayUsec;
    const auto readFrames = static_cast<std::int64_t>(read * format->rate / 1'000'000);
    const std::int64_t written = timing->write_index / static_cast<std::int64_t>(kFrameBytes);
    return std::max<std::int64_t>(readFrames - written, 0);
}

} // namespace

std::unique_ptr<PulseOutput> PulseOutput::open(const std::string& streamName,
                                               std::uint32_t sampleRate, int requestFrames,
                                               int bufferFrames, Render render, void* user,
                                               MayRest mayRest) {
    std::unique_ptr<PulseOutput> out(new PulseOutput);
    out->render_ = render;
    out->user_ = user;
    out->mayRest_ = mayRest;
    out->left_.resize(kMaxRenderFrames);
    out->right_.resize(kMaxRenderFrames);
    out->mainloop_ = pa_threaded_mainloop_new();
    if (out->mainloop_ == nullptr) {
        return nullptr;
    }
    out->context_ = pa_context_new(pa_threaded_mainloop_get_api(out->mainloop_), "Tambrel");
    if (out->context_ == nullptr ||
        pa_context_connect(out->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(out->mainloop_) < 0) {
        return nullptr;
    }
    pa_threaded_mainloop_lock(out->mainloop_);
    bool ok = waitFor(out->mainloop_, [&]() -> std::optional<bool> {
        const pa_context_state_t state = pa_context_get_state(out->context_);
        if (state == PA_CONTEXT_READY) {
            return true;
        }
        return PA_CONTEXT_IS_GOOD(state) ? std::nullopt : std::optional<bool>(false);
    });
    ok = ok && (mayRest == nullptr || out->watchWakeups());
    ok = ok && out->connectStream(streamName, sampleRate, requestFrames, bufferFrames);
    pa_threaded_mainloop_unlock(out->mainloop_);
    if (!ok) {
        return nullptr;
    }
    return out;
}

// With the mainloop locked: the playback stream made, connected and ready, or false.
bool PulseOutput::connectStream(const std::string& streamName, std::uint32_t sampleRate,
                                int requestFrames, int bufferFrames) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, sampleRate, 2};
    const auto frameBytes = static_cast<std::uint32_t>(pa_frame_size(&format));
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(bufferFrames) * frameBytes;
    // No prebuffering: a stream that runs dry (another stream joins the sink with a
    // shorter latency, a busy machine keeps our thread waiting) plays on through the gap
    // in silence, and whatever we write for frames already played is dropped. Every
    // frame keeps its place on the stream's timeline, so the notes after a gap stay on
    // the grid. With the default, the server stops the stream until its buffer is full
    // again and every note behind the gap is heard that much later (notes 4-23 ms off
    // in the synth's timing test, until the stream clock caught up).
    attr.prebuf = 0;
    attr.minreq = static_cast<std::uint32_t>(requestFrames) * frameBytes;
    attr.fragsize = static_cast<std::uint32_t>(-1);
    stream_ = pa_stream_new(context_, streamName.c_str(), &format, nullptr);
    bool ok = stream_ != nullptr;
    if (ok) {
        pa_stream_set_write_callback(stream_, &PulseOutput::onWrite, this);
        pa_stream_set_underflow_callback(
            stream_,
            [](pa_stream*, void* self) {
                static_cast<PulseOutput*>(self)->underflows_.fetch_add(1,
                                                                       std::memory_order_relaxed);
            },
            this);
        ok = pa_stream_connect_playback(stream_, nullptr, &attr, latencyFlags(mainloop_, context_),
                                        nullptr, nullptr) == 0;
    }
    ok = ok && waitFor(mainloop_, [&]() -> std::optional<bool> {
             const pa_stream_state_t state = pa_stream_get_state(stream_);
             if (state == PA_STREAM_READY) {
                 return true;
             }
             return PA_STREAM_IS_GOOD(state) ? std::nullopt : std::optional<bool>(false);
         });
    return ok;
}

PulseOutput::~PulseOutput() {
    if (mainloop_ == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(mainloop_);
    if (stream_ != nullptr) {
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    if (wakeEvent_ != nullptr) {
        pa_threaded_mainloop_get_api(mainloop_)->io_free(wakeEvent_);
    }
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(mainloop_);
    // Joins the mainloop's thread: no callback runs after this.
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

bool PulseOutput::watchWakeups() {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        return false;
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    wakeEvent_ = api->io_new(
        api, wakeFd_, PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
            std::uint64_t count = 0;
            if (read(fd, &count, sizeof count) == sizeof count) {
                static_cast<PulseOutput*>(self)->resume();
            }
        },
        this);
    return wakeEvent_ != nullptr;
}

// After a request, on the stream's thread: with nothing to play, the stream stops asking
// for audio, which a stopped drum machine would otherwise render as silence hundreds of
// times a second all day. The check runs again once the flag is up. The flag changes only
// by exchanges, here and in wake(), which follow one another: if wake()'s comes first,
// this one sees the message handed over before it; if this one comes first, wake() finds
// the flag up.
void PulseOutput::restIfQuiet(pa_stream* stream) noexcept {
    if (mayRest_ == nullptr || !mayRest_(user_)) {
        return;
    }
    resting_.exchange(true, std::memory_order_acq_rel);
    if (!mayRest_(user_)) {
        resting_.exchange(false, std::memory_order_acq_rel);
        return;
    }
    if (pa_operation* op = pa_stream_cork(stream, 1, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
    rests_.fetch_add(1, std::memory_order_release);
}

void PulseOutput::wake() noexcept {
    if (!resting_.exchange(false, std::memory_order_acq_rel) || wakeFd_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) != sizeof one) {
        // The counter cannot overflow with one write per rest: nothing else can fail here.
    }
}

// On the mainloop's thread, the mainloop locked: the stream plays on from where it rested
// (its buffer still holds the silence written before).
void PulseOutput::resume() noexcept {
    if (stream_ == nullptr) {
        return;
    }
    if (pa_operation* op = pa_stream_cork(stream_, 0, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void PulseOutput::onWrite(pa_stream* stream, std::size_t bytes, void* self) noexcept {
    auto* out = static_cast<PulseOutput*>(self);
    const std::int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count();
    if (!out->prioritySet_) {
        out->prioritySet_ = true;
        sched_param param{};
        param.sched_priority = kAudioThreadPriority;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    // Before this request's frames are written: what lies between the first of them and
    // the sink's playing it.
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
        out->latencyNanos_.store(negative != 0 ? 0 : static_cast<std::int64_t>(latency) * 1000,
                                 std::memory_order_relaxed);
    }
    constexpr std::size_t frameBytes = kFrameBytes;
    std::size_t frames = bytes / frameBytes;
    std::int64_t unheard = unheardFrames(stream);
    while (frames > 0) {
        void* data = nullptr;
        std::size_t chunkBytes =
            std::min(frames, static_cast<std::size_t>(kMaxRenderFrames)) * frameBytes;
        if (pa_stream_begin_write(stream, &data, &chunkBytes) < 0 || data == nullptr) {
            endUse(stream);
            return;
        }
        const std::size_t chunk =
            std::min({frames, static_cast<std::size_t>(kMaxRenderFrames), chunkBytes / frameBytes});
        if (chunk == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        const int n = static_cast<int>(chunk);
        const int chunkUnheard = static_cast<int>(std::min<std::int64_t>(unheard, n));
        unheard -= chunkUnheard;
        std::fill_n(out->left_.begin(), n, 0.0f);
        std::fill_n(out->right_.begin(), n, 0.0f);
        out->render_(out->user_, nanos, n, chunkUnheard, out->left_.data(), out->right_.data());
        auto* interleaved = static_cast<float*>(data);
        for (std::size_t i = 0; i < chunk; ++i) {
            interleaved[2 * i] = out->left_[i];
            interleaved[2 * i + 1] = out->right_[i];
        }
        if (pa_stream_write(stream, data, chunk * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            endUse(stream);
            return;
        }
        frames -= chunk;
    }
    out->restIfQuiet(stream);
}

} // namespace tambrel::backends
