#include "jack_client.h"

#include <chrono>
#include <cmath>
#include <jack/jack.h>
#include <thread>

namespace tambrel::backends {

namespace {

void ignoreJackText(const char*) {}

} // namespace

void silenceJack() noexcept {
    jack_set_error_function(ignoreJackText);
    jack_set_info_function(ignoreJackText);
}

std::shared_ptr<JackMidiClient> JackMidiClient::connect(const std::string& clientName) {
    silenceJack();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (client == nullptr) {
        return nullptr;
    }
    std::shared_ptr<JackMidiClient> self(new JackMidiClient(client));
    if (jack_set_process_callback(client, &JackMidiClient::onProcess, self.get()) != 0) {
        return nullptr; // never called back, the client would send nothing
    }
    jack_on_shutdown(client, &JackMidiClient::onShutdown, self.get());
    if (jack_activate(client) != 0) {
        return nullptr; // the destructor closes the client
    }
    return self;
}

JackMidiClient::JackMidiClient(jack_client_t* client)
    : client_(client), sampleRate_(jack_get_sample_rate(client)),
      line_(sampleRate_, std::chrono::steady_clock::now().time_since_epoch().count()) {}

JackMidiClient::~JackMidiClient() {
    // jack_client_close deactivates first, so the process callback is over when it returns.
    // A client whose server has died is left as it is: libjack crashes closing it once a
    // new server of the same name has started, and its threads ended with the server.
    if (alive()) {
        jack_client_close(client_);
    }
}

std::string JackMidiClient::name() const {
    return jack_get_client_name(client_);
}

// The server keeps time on a system clock of its own (jack_get_time: another base, on some
// servers another clock): how far ahead of ours it is, read back to back (again when a read
// was interrupted).
std::chrono::nanoseconds JackMidiClient::serverAhead() noexcept {
    using namespace std::chrono;
    nanoseconds offset{};
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto before = steady_clock::now();
        const jack_time_t server = jack_get_time();
        const auto after = steady_clock::now();
        offset = microseconds(server) - (before.time_since_epoch() + (after - before) / 2);
        if (after - before < microseconds(20)) {
            break;
        }
    }
    return offset;
}

std::uint32_t
JackMidiClient::frameTimeAt(std::chrono::steady_clock::time_point when) const noexcept {
    if (line_.ready()) {
        return line_.frameAt(when.time_since_epoch().count(), pinnedLine());
    }
    // Before the first period: the server's own estimate, while there is a server to ask.
    if (!alive()) {
        return 0;
    }
    const std::chrono::nanoseconds onServer = when.time_since_epoch() + serverAhead();
    if (onServer.count() <= 0) {
        return jack_frame_time(client_);
    }
    return jack_time_to_frames(client_, static_cast<jack_time_t>((onServer.count() + 500) / 1000));
}

// A step's notes and clocks are stamped one after another on the step clock's thread, within
// microseconds: they all go by the line as it stood at the first of them, so that a stall of
// the server followed between two of them (the line jumps) cannot split the step.
std::int64_t JackMidiClient::pinnedLine() const noexcept {
    struct Pin {
        const JackMidiClient* client = nullptr;
        std::int64_t at = 0;
        std::int64_t offset = 0;
    };
    thread_local Pin pin;
    constexpr std::int64_t kPinNanos = 2'000'000;
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    if (pin.client != this || now - pin.at > kPinNanos) {
        pin = Pin{this, now, line_.offsetNow()};
    }
    return pin.offset;
}

midiout::Moment JackMidiClient::momentOf(std::uint32_t frame) const noexcept {
    const midiout::Moment now = midiout::MidiClock::now();
    if (line_.ready()) {
        return midiout::Moment(midiout::Moment::duration(
            line_.momentOf(frame, now.time_since_epoch().count(), pinnedLine())));
    }
    const auto frames = static_cast<std::int32_t>(frame - frameTimeAt(now));
    return now + std::chrono::nanoseconds(
                     static_cast<std::int64_t>(frames * 1e9 / static_cast<double>(sampleRate())));
}

std::uint32_t JackMidiClient::sampleRate() const noexcept {
    return sampleRate_;
}

bool JackMidiClient::waitForCycle(std::uint64_t after) const noexcept {
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    while (cycles() <= after) {
        if (!alive() || std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool JackMidiClient::waitUntilOutsideProcess() const noexcept {
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    while (inProcess_.load(std::memory_order_seq_cst)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool JackMidiClient::addCycleListener(JackCycleListener* listener) noexcept {
    for (auto& slot : listeners_) {
        JackCycleListener* empty = nullptr;
        if (slot.compare_exchange_strong(empty, listener, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

bool JackMidiClient::removeCycleListener(JackCycleListener* listener) noexcept {
    for (auto& slot : listeners_) {
        JackCycleListener* expected = listener;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel)) {
            // The process callback may have read it just before: wait until it is clear.
            return !alive() || waitUntilOutsideProcess();
        }
    }
    return true;
}

int JackMidiClient::onProcess(std::uint32_t frames, void* self) noexcept {
    static_cast<JackMidiClient*>(self)->process(frames);
    return 0;
}

void JackMidiClient::onShutdown(void* self) noexcept {
    static_cast<JackMidiClient*>(self)->alive_.store(false, std::memory_order_release);
}

void JackMidiClient::process(std::uint32_t frames) noexcept {
    // The period that starts at `cycleStart` covers frames [cycleStart, cycleStart + frames).
    // The port sets are members, called directly: nothing here locks, waits or allocates.
    const jack_nframes_t cycleStart = jack_last_frame_time(client_);
    inProcess_.store(true, std::memory_order_seq_cst);
    jack_nframes_t estimatedFrame = 0;
    jack_time_t estimatedStart = 0;
    jack_time_t nextStart = 0;
    float periodUsecs = 0;
    if (jack_get_cycle_times(client_, &estimatedFrame, &estimatedStart, &nextStart, &periodUsecs) ==
        0) {
        const auto start = std::chrono::microseconds(estimatedStart) - serverAhead();
        line_.follow(estimatedFrame, std::chrono::nanoseconds(start).count());
    }
    for (auto& slot : listeners_) {
        if (JackCycleListener* listener = slot.load(std::memory_order_acquire)) {
            listener->cycle(cycleStart, frames);
        }
    }
    audio_.writePeriod(cycleStart, frames);
    midi_.writePeriod(cycleStart, frames);
    cycles_.fetch_add(1, std::memory_order_seq_cst);
    inProcess_.store(false, std::memory_order_seq_cst);
}

std::uint32_t jackPlaybackLatency(jack_port_t* port) noexcept {
    if (port == nullptr) {
        return 0;
    }
    jack_latency_range_t range{};
    jack_port_get_latency_range(port, JackPlaybackLatency, &range);
    return range.max;
}

std::chrono::nanoseconds JackMidiClient::latency(int slot) const noexcept {
    if (!alive()) {
        return {};
    }
    const std::uint32_t rate = sampleRate();
    const std::int64_t frames =
        jackDelayFrames(jack_get_buffer_size(client_), rate) +
        (slot < 0 ? audio_.playbackLatencyFrames() : midi_.playbackLatencyFrames(slot));
    return std::chrono::nanoseconds(frames * 1'000'000'000 / (rate > 0 ? rate : 1));
}

std::shared_ptr<JackMidiClient> JackConnection::client() {
    if (client_ == nullptr || !client_->alive()) {
        // The old client goes once no device holds it any more.
        client_ = JackMidiClient::connect();
    }
    return client_;
}

} // namespace tambrel::backends
