#include "jack_transport_watcher.h"

#include "jack_test_server.h"

#include "backends/jack/sanitizer_handover.h"

#include <jack/jack.h>
#include <thread>

namespace tambrel::testing {

JackTransportWatcher::JackTransportWatcher(const std::string& clientName, bool master,
                                           std::size_t capacity)
    : slots_(capacity) {
    client_ = openJackClient(clientName);
    if (client_ == nullptr) {
        return;
    }
    jack_set_process_callback(client_, &JackTransportWatcher::onProcess, this);
    if (jack_activate(client_) != 0 ||
        (master &&
         jack_set_timebase_callback(client_, 0, &JackTransportWatcher::onTimebase, nullptr) != 0)) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackTransportWatcher::~JackTransportWatcher() {
    if (client_ != nullptr) {
        jack_client_close(client_);
    }
}

std::vector<TransportSample> JackTransportWatcher::samples() const {
    const std::size_t n = count_.load(std::memory_order_acquire);
    return {slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool JackTransportWatcher::waitForState(jack_transport_state_t state, std::size_t from,
                                        std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::size_t n = count_.load(std::memory_order_acquire);
        for (std::size_t i = from; i < n; ++i) {
            if (slots_[i].state == state) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

int JackTransportWatcher::onProcess(std::uint32_t, void* self) noexcept {
    auto* watcher = static_cast<JackTransportWatcher*>(self);
    const std::size_t n = watcher->count_.load(std::memory_order_relaxed);
    if (n < watcher->slots_.size()) {
        TransportSample& sample = watcher->slots_[n];
        sample.cycleFrame = jack_last_frame_time(watcher->client_);
        backends::markTakenOver(&backends::kJackTransportPosition);
        sample.state = jack_transport_query(watcher->client_, &sample.position);
        backends::markHandedOver(&backends::kJackTransportPosition);
        watcher->count_.store(n + 1, std::memory_order_release);
    }
    return 0;
}

void JackTransportWatcher::onTimebase(jack_transport_state_t, std::uint32_t,
                                      jack_position_t* position, int, void*) noexcept {
    backends::markTakenOver(&backends::kJackTransportPosition);
    position->valid = JackPositionBBT;
    position->bar = 1;
    position->beat = 1;
    position->tick = 0;
    position->bar_start_tick = 0;
    position->beats_per_bar = kOwnBeatsPerBar;
    position->beat_type = 4;
    position->ticks_per_beat = 1920;
    position->beats_per_minute = 100;
    backends::markHandedOver(&backends::kJackTransportPosition);
}

std::uint32_t JackTransportWatcher::rollFrame(std::size_t from) const {
    const std::size_t n = count_.load(std::memory_order_acquire);
    for (std::size_t i = from; i < n; ++i) {
        if (slots_[i].state == JackTransportRolling) {
            return slots_[i].cycleFrame;
        }
    }
    return 0;
}

JackTransportProgram::JackTransportProgram()
    : in_(popen("exec jack_transport >/dev/null 2>&1", "w")) {}

JackTransportProgram::~JackTransportProgram() {
    if (in_ != nullptr) {
        command("quit");
        pclose(in_);
    }
}

void JackTransportProgram::command(const std::string& line) {
    if (in_ != nullptr) {
        std::fputs((line + "\n").c_str(), in_);
        std::fflush(in_);
    }
}

} // namespace tambrel::testing
