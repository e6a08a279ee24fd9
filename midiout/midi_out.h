#pragma once
// The numbered list of MIDI output devices that the program sees: a device count, a
// name per number, open by number with a status, send of one timed message, close. The devices
// themselves come from back ends chosen at run time (the built-in synth, JACK, ALSA, or the
// in-memory recorder that the tests use).

#include "midiout/timed_message.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tambrel::midiout {

// A handle to an opened device; 0 addresses nothing.
using MidiOutHandle = std::uint32_t;

// Status values of open, send and close.
inline constexpr int kMidiOk = 0;
inline constexpr int kMidiError = 1;
inline constexpr int kMidiBadDeviceId = 2;
inline constexpr int kMidiAllocated = 4;
inline constexpr int kMidiInvalidHandle = 5;

// Longest device name the window shows; longer names are cut.
inline constexpr std::size_t kMidiNameMax = 31;

// One output device of a back end.
class MidiOutDevice {
public:
    virtual ~MidiOutDevice() = default;
    virtual std::string name() const = 0;
    // Window's thread. Returns true when the device is ready to take messages.
    [[nodiscard]] virtual bool open() = 0;
    // Timer thread, while open: must not block, lock or allocate. A message whose size is 0
    // never comes here.
    virtual void send(const TimedMessage& message) noexcept = 0;
    // Window's thread; only called after a successful open.
    virtual void close() noexcept = 0;
    // Window's thread, while open, at Play: the step clock's notes follow a period from
    // now. A device that rests while nothing plays gets ready for them.
    virtual void prepare() noexcept {}
    // Window's thread, while open: how long after its due moment a message sent now is
    // heard (or reaches the next program): the output's fixed delay and its audio's latency
    // as the server reports it. A source of time shared with other programs' sound (a Link
    // session) takes it off, so that a beat's note is heard on the beat.
    virtual std::chrono::nanoseconds latency() const noexcept { return {}; }
};

using MidiOutDeviceList = std::vector<std::unique_ptr<MidiOutDevice>>;

class MidiOut {
public:
    MidiOut() = default;
    explicit MidiOut(MidiOutDeviceList devices);
    ~MidiOut();
    MidiOut(const MidiOut&) = delete;
    MidiOut& operator=(const MidiOut&) = delete;

    // The devices are fixed for the life of this object: the count never changes.
    unsigned deviceCount() const noexcept { return static_cast<unsigned>(devices_.size()); }
    // The device's name cut to kMidiNameMax characters; empty for a number out of range.
    std::string deviceName(unsigned device) const;
    // kMidiOk and *handle written, or an error status and *handle untouched.
    [[nodiscard]] int open(unsigned device, MidiOutHandle* handle);
    // A handle that is not open is refused with kMidiInvalidHandle, without harm. A packed
    // short message becomes a TimedMessage here, once; without a moment it is due now.
    int send(MidiOutHandle handle, const TimedMessage& message) noexcept;
    int send(MidiOutHandle handle, std::uint32_t packed, Moment due) noexcept {
        return send(handle, TimedMessage::fromShort(packed, due));
    }
    int send(MidiOutHandle handle, std::uint32_t packed) noexcept {
        return send(handle, packed, MidiClock::now());
    }
    int close(MidiOutHandle handle) noexcept;
    // At Play (MidiOutDevice::prepare); a handle that is not open is refused, without harm.
    int prepare(MidiOutHandle handle) noexcept;

    bool isOpen(MidiOutHandle handle) const noexcept;
    // The open device's latency (MidiOutDevice::latency); zero for a handle not open.
    std::chrono::nanoseconds latency(MidiOutHandle handle) const noexcept;
    MidiOutDevice* device(unsigned index) const noexcept;
    // How many messages were handed to the device while it was open: the record of what
    // the step clock sent it, for the soak and the tests (one relaxed add per send).
    std::uint64_t sentCount(unsigned device) const noexcept;

private:
    MidiOutDeviceList devices_;
    // One flag per device: a device is opened at most once at a time, and its handle
    // is its number + 1. Sends only read these flags.
    std::unique_ptr<std::atomic<bool>[]> open_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> sent_;
};

} // namespace tambrel::midiout
