#pragma once
// The MIDI output ports of our JACK client (jack_client.h): one slot per open device, with
// its port and a queue of stamped messages that the client's process callback places in
// its periods. Opening a slot registers an output port and, for another program's input,
// connects the two; closing undoes it.
//
// Timing: a send stamps the message with the server's frame clock at the moment it was
// due, and the process callback writes it one period and the wake-up allowance after that
// stamp (jack_placement.h). Every message is then late by the same amount, instead of
// landing at the start of whichever period follows it, so a receiver hears the steps
// spaced as evenly as the step clock's schedule, however late its thread woke.

#include "midiout/timed_message.h"
#include "platform/spsc_ring.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct _jack_port;

namespace tambrel::backends {

class JackMidiClient;

class JackMidiPorts {
public:
    // Messages one open device may have waiting for the next period.
    static constexpr std::size_t kQueueLength = 1024;
    // Devices that may be open at the same time.
    static constexpr std::size_t kMaxOpenPorts = 16;

    explicit JackMidiPorts(JackMidiClient& client) : client_(client) {}
    JackMidiPorts(const JackMidiPorts&) = delete;
    JackMidiPorts& operator=(const JackMidiPorts&) = delete;

    // Full names of the MIDI input ports of the other clients on the server.
    std::vector<std::string> otherProgramsInputs() const;
    // Window's thread. Registers an output port with that short name and connects it to
    // `destination` when that is not empty. Returns the port's slot, or -1. A port whose
    // messages are sent up to `ahead` before their moment holds them until then.
    int open(const std::string& shortName, const std::string& destination,
             std::chrono::milliseconds ahead = {});
    // Window's thread. Disconnects and unregisters; returns once the process callback
    // no longer touches the slot, or at once when the server is gone.
    void close(int slot) noexcept;
    // Window's thread: the most frames the server reports between the slot's port and the
    // sound card (0 for a slot not open).
    std::uint32_t playbackLatencyFrames(int slot) const noexcept;
    // Any one thread per slot (the step clock's): stamps with the frame at which the
    // message is due and queues, never waits. A message due at a moment counted from a
    // start's release (midiout::releaseMoment) is held until the client's release and
    // placed from its frame (jack_placement.h: placeReleased).
    void send(int slot, const midiout::TimedMessage& message) noexcept;
    // The same with the frame already worked out (the message's moment is not used).
    void sendAt(int slot, const midiout::TimedMessage& message, std::uint32_t frame) noexcept;
    // The client's process callback, once a period: each open port gets the messages whose
    // frame falls in the period [cycleStart, cycleStart + frames).
    void writePeriod(std::uint32_t cycleStart, std::uint32_t frames) noexcept;

    // Messages dropped because a queue was full or a period's buffer had no room.
    std::uint64_t droppedCount() const noexcept { return dropped_.load(); }
    // Messages whose period had already gone out when they were seen (a server that ran
    // ahead of its own clock estimate): they went out at the start of the next period.
    std::uint64_t lateCount() const noexcept { return late_.load(); }

private:
    struct Stamped {
        std::uint32_t frame = 0; // or, when released, the frames after the release
        std::array<std::uint8_t, 3> bytes{};
        std::uint8_t size = 0;
        bool released = false;  // a start's step, held until the transport rolls
        std::uint8_t start = 0; // which start (JackRelease)
    };
    struct Slot {
        std::atomic<_jack_port*> port{nullptr};
        platform::SpscRing<Stamped, kQueueLength> queue;
        std::atomic<std::int64_t> aheadFrames{0};
        bool used = false;    // window's thread, under mutex_
        bool retired = false; // its port could not be released safely: never reused
    };

    void release(Slot& slot) noexcept; // under mutex_
    void writeSlot(Slot& slot, std::uint32_t cycleStart, std::uint32_t frames, std::int64_t delay,
                   std::int64_t hold) noexcept;

    JackMidiClient& client_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> late_{0};
    mutable std::mutex mutex_; // window's thread only; the process callback never takes it
    std::array<Slot, kMaxOpenPorts> slots_;
};

} // namespace tambrel::backends
