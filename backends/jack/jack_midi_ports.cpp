#include "jack_midi_ports.h"

#include "backends/jack/jack_client.h"
#include "backends/jack/jack_placement.h"

#include <chrono>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <thread>

namespace tambrel::backends {

std::vector<std::string> JackMidiPorts::otherProgramsInputs() const {
    std::vector<std::string> names;
    if (!client_.alive()) {
        return names;
    }
    jack_client_t* client = client_.handle();
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (ports == nullptr) {
        return names;
    }
    for (const char** p = ports; *p != nullptr; ++p) {
        jack_port_t* port = jack_port_by_name(client, *p);
        if (port != nullptr && !jack_port_is_mine(client, port)) {
            names.emplace_back(*p);
        }
    }
    jack_free(ports);
    return names;
}

int JackMidiPorts::open(const std::string& shortName, const std::string& destination,
                        std::chrono::milliseconds ahead) {
    std::lock_guard lock(mutex_);
    if (!client_.alive()) {
        return -1;
    }
    int index = -1;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].used && !slots_[i].retired) {
            index = static_cast<int>(i);
            break;
        }
    }
    if (index < 0) {
        return -1;
    }
    jack_client_t* client = client_.handle();
    jack_port_t* port =
        jack_port_register(client, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (port == nullptr) {
        return -1;
    }
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    // Nothing reads the queue while the slot has no port: leftovers of an earlier
    // opening are dropped here so that they never reach the new destination.
    slot.queue.discard();
    slot.used = true;
    slot.aheadFrames.store(ahead.count() * client_.sampleRate() / 1000, std::memory_order_relaxed);
    // The process callback takes the port over (and clears its buffer every period)
    // before it is connected: a fresh port's buffer may still hold the events of the
    // port that had its memory before.
    slot.port.store(port, std::memory_order_seq_cst);
    if (!destination.empty()) {
        if (jack_connect(client, jack_port_name(port), destination.c_str()) != 0) {
            release(slot);
            return -1;
        }
        // The server puts a new connection into effect at the start of a period: once a
        // whole period has run since, the destination hears everything sent from now on.
        client_.waitForCycle(client_.cycles() + 1);
    }
    return index;
}

std::uint32_t JackMidiPorts::playbackLatencyFrames(int index) const noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size()) {
        return 0;
    }
    const std::lock_guard lock(mutex_);
    return jackPlaybackLatency(slots_[static_cast<std::size_t>(index)].port.load());
}

void JackMidiPorts::close(int index) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size()) {
        return;
    }
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.used) {
        release(slot);
    }
}

void JackMidiPorts::release(Slot& slot) noexcept {
    slot.used = false;
    if (!client_.alive()) {
        // The server is gone: nothing to disconnect, and the port goes with the client.
        slot.port.store(nullptr, std::memory_order_seq_cst);
        slot.retired = true;
        return;
    }
    // What was sent before the close still goes out: the messages are held for the
    // period after their stamp (or until their moment, on a port that sends ahead), and
    // the port stays connected until they have left.
    const auto ahead = std::chrono::milliseconds(slot.aheadFrames.load(std::memory_order_relaxed) *
                                                 1000 / client_.sampleRate());
    const auto deadline = std::chrono::steady_clock::now() + JackMidiClient::kCycleWait + ahead;
    while (!slot.queue.drained() && client_.alive() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    client_.waitForCycle(client_.cycles());
    // Disconnected next, while the process callback still clears the port's buffer
    // every period: a connected port that nobody clears repeats its last events.
    jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
    jack_port_disconnect(client_.handle(), port);
    slot.port.store(nullptr, std::memory_order_seq_cst);
    // A process callback that picked up the port before it was cleared ends before the
    // cycle counter moves on; only then may the port go away under it.
    if (!client_.waitForCycle(client_.cycles())) {
        slot.retired = true;
        return;
    }
    jack_port_unregister(client_.handle(), port);
}

void JackMidiPorts::send(int index, const midiout::TimedMessage& message) noexcept {
    if (!client_.alive()) {
        return;
    }
    if (!midiout::awaitsRelease(message.due)) {
        sendAt(index, message, client_.frameTimeAt(message.due));
        return;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size() || message.empty()) {
        return;
    }
    const Stamped stamped{releaseFrames(message.due, client_.sampleRate()), message.bytes,
                          message.size, true, client_.release().start};
    if (!slots_[static_cast<std::size_t>(index)].queue.push(stamped)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

void JackMidiPorts::sendAt(int index, const midiout::TimedMessage& message,
                           std::uint32_t frame) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size() || !client_.alive() ||
        message.empty()) {
        return;
    }
    const Stamped stamped{frame, message.bytes, message.size};
    if (!slots_[static_cast<std::size_t>(index)].queue.push(stamped)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

void JackMidiPorts::writePeriod(std::uint32_t cycleStart, std::uint32_t frames) noexcept {
    // A message stamped at frame s goes out at s + its delay (jackDelayFrames): the same
    // for every message alike, which is what keeps their spacing.
    const std::int64_t delay = jackDelayFrames(frames, client_.sampleRate());
    const std::int64_t hold = jackHoldFrames(frames, client_.sampleRate());
    for (Slot& slot : slots_) {
        writeSlot(slot, cycleStart, frames, delay, hold);
    }
}

void JackMidiPorts::writeSlot(Slot& slot, std::uint32_t cycleStart, std::uint32_t frames,
                              std::int64_t delay, std::int64_t hold) noexcept {
    jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
    if (port == nullptr) {
        return;
    }
    void* buffer = jack_port_get_buffer(port, frames);
    jack_midi_clear_buffer(buffer);
    std::int64_t lastOffset = 0;
    const std::int64_t ahead = slot.aheadFrames.load(std::memory_order_relaxed);
    const JackRelease release = client_.release();
    while (const Stamped* event = slot.queue.front()) {
        if (!event->released && cutByStop(event->frame, delay, hold, release, event->bytes)) {
            slot.queue.pop();
            continue;
        }
        const JackPlacement placed =
            event->released
                ? placeReleased(event->frame, event->start, release, cycleStart, frames, lastOffset)
                : placeInPeriod(event->frame, cycleStart, frames, delay, hold, lastOffset, ahead);
        if (placed.hold) {
            break;
        }
        if (placed.drop) {
            slot.queue.pop();
            continue;
        }
        if (placed.late) {
            late_.fetch_add(1, std::memory_order_relaxed);
        }
        if (jack_midi_event_write(buffer, static_cast<jack_nframes_t>(placed.offset),
                                  event->bytes.data(), event->size) == 0) {
            lastOffset = placed.offset;
        } else {
            dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        slot.queue.pop();
    }
}

} // namespace tambrel::backends
