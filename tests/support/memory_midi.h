#pragma once
// An in-memory MIDI back end: devices that record every message they are sent, with the
// device's number, the moment it was due and a steady-clock timestamp of its arrival. The
// tests and the benchmarks play through it.

#include "midiout/clock_sink.h"
#include "midiout/midi_out.h"

#include <chrono>
#include <cstddef>
#include <vector>

namespace tambrel::testing {

struct RecordedMessage {
    unsigned device = 0;
    std::uint32_t message = 0;                   // packed, status lowest
    std::chrono::steady_clock::time_point at{};  // when it arrived
    std::chrono::steady_clock::time_point due{}; // the moment it carried
};

// A fixed-size record shared by the devices of one back end. Written by one thread at a
// time (the timer's), read by any: no lock, no allocation when a message is added.
class MidiRecorder {
public:
    explicit MidiRecorder(std::size_t capacity = 1 << 16);
    void add(unsigned device, const midiout::TimedMessage& message) noexcept;
    // The messages recorded so far, oldest first.
    std::vector<RecordedMessage> messages() const;
    std::size_t size() const noexcept;
    // Messages beyond the capacity are counted but not kept.
    std::size_t dropped() const noexcept;
    void clear() noexcept; // only while nothing sends

private:
    std::vector<RecordedMessage> slots_;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> dropped_{0};
};

class MemoryMidiDevice : public midiout::MidiOutDevice {
public:
    MemoryMidiDevice(unsigned number, std::string name, MidiRecorder& recorder);
    std::string name() const override { return name_; }
    bool open() override;
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;

    // The next opens fail while this is set: a device that is listed but cannot be opened.
    void setFailOpen(bool fail) { failOpen_ = fail; }
    // What latency() reports: an output that is heard that long after a message's moment.
    void setLatency(std::chrono::nanoseconds latency) { latency_ = latency; }
    std::chrono::nanoseconds latency() const noexcept override { return latency_; }
    int openCount() const { return opens_; }
    int closeCount() const { return closes_; }
    bool isOpen() const { return isOpen_.load(); }

private:
    unsigned number_;
    std::string name_;
    MidiRecorder& recorder_;
    bool failOpen_ = false;
    std::chrono::nanoseconds latency_{0};
    int opens_ = 0;
    int closes_ = 0;
    std::atomic<bool> isOpen_{false};
};

// MIDI clock out's port, recording what it is sent as device kClockDevice.
class MemoryClockSink : public midiout::ClockSink {
public:
    static constexpr unsigned kClockDevice = 99;
    explicit MemoryClockSink(MidiRecorder& recorder) : recorder_(recorder) {}
    void sendClock(const midiout::TimedMessage& message) noexcept override {
        recorder_.add(kClockDevice, message);
    }

private:
    MidiRecorder& recorder_;
};

// `count` devices named "Memory MIDI 1", "Memory MIDI 2", ... recording into `recorder`.
midiout::MidiOutDeviceList makeMemoryMidiDevices(unsigned count, MidiRecorder& recorder);

} // namespace tambrel::testing
