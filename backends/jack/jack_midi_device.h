#pragma once
// MIDI output through a JACK server, on libjack directly. One client of ours ("Tambrel")
// serves every JACK device: opening a device registers an output port of that client and,
// for another program's input, connects the two; closing undoes it. The same client
// carries the built-in synth's audio when JACK is what plays it, so that the synth's notes
// are placed on the same frame clock as the MIDI.
//
// Timing: a send stamps the message with the server's frame clock at the moment it was
// due, and the process callback writes it one period and the wake-up allowance after that
// stamp (jack_placement.h). Every message is then late by the same amount, instead of
// landing at the start of whichever period follows it, so a receiver hears the steps
// spaced as evenly as the step clock's schedule, however late its thread woke.

#include "midiout/backend_devices.h"
#include "midiout/midi_out.h"
#include "platform/spsc_ring.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _jack_client;
struct _jack_port;

namespace tambrel::backends {

// Keeps libjack from printing its errors and notes on the terminal (process-wide).
void silenceJack() noexcept;

// What fills the audio outputs of our client: called in its process callback, on JACK's
// real-time thread, so it must not block, lock or allocate.
class JackAudioSource {
public:
    // `frames` frames into each channel (what the buffers held before is garbage).
    // `cycleStart` is the period's first frame on the server's frame clock.
    virtual void renderPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                              float* right) noexcept = 0;

protected:
    ~JackAudioSource() = default;
};

class JackMidiClient {
public:
    // Messages one open device may have waiting for the next period.
    static constexpr std::size_t kQueueLength = 1024;
    // Devices that may be open at the same time.
    static constexpr std::size_t kMaxOpenPorts = 16;

    // Our client on the running server, activated; nullptr when no server runs.
    static std::shared_ptr<JackMidiClient> connect(const std::string& clientName = "Tambrel");
    ~JackMidiClient();
    JackMidiClient(const JackMidiClient&) = delete;
    JackMidiClient& operator=(const JackMidiClient&) = delete;

    // Full names of the MIDI input ports of the other clients on the server.
    std::vector<std::string> otherProgramsInputs() const;
    // Our client's name as the server knows it (it may add a suffix when taken).
    std::string name() const;
    // False once the server has shut down or died: sends are dropped from then on.
    bool alive() const noexcept { return alive_.load(std::memory_order_acquire); }

    // Window's thread. Registers an output port with that short name and connects it to
    // `destination` when that is not empty. Returns the port's slot, or -1.
    int openPort(const std::string& shortName, const std::string& destination);
    // Window's thread. Disconnects and unregisters; returns once the process callback
    // no longer touches the slot, or at once when the server is gone.
    void closePort(int slot) noexcept;
    // Any one thread per slot (the step clock's): stamps with the frame at which the
    // message is due and queues, never waits.
    void send(int slot, const midiout::TimedMessage& message) noexcept;

    // Window's thread. Registers the audio outputs "<name> left" and "<name> right", fed
    // by `source` from the next period on, and connects them to the system's playback
    // ports. One source at a time; false when one is already there, the ports could not
    // be made or neither reaches a playback port.
    [[nodiscard]] bool openAudio(const std::string& name, JackAudioSource* source);
    // Window's thread. Disconnects and unregisters them; returns once the process callback
    // no longer calls the source. False when that could not be made sure of (a process
    // callback that hangs): the source must then stay as it is.
    [[nodiscard]] bool closeAudio() noexcept;
    // Any thread, without waiting: the server's frame clock at `when` (a moment just past,
    // such as the step's due time: the frames since then are taken off the clock's frame
    // now; a moment still to come is now), and its sample rate.
    std::uint32_t frameTimeAt(std::chrono::steady_clock::time_point when) const noexcept;
    std::uint32_t sampleRate() const noexcept;

    // Messages dropped because a queue was full or a period's buffer had no room.
    std::uint64_t droppedCount() const noexcept { return dropped_.load(); }
    // Messages whose period had already gone out when they were seen (a server that ran
    // ahead of its own clock estimate): they went out at the start of the next period.
    std::uint64_t lateCount() const noexcept { return late_.load(); }

private:
    struct Stamped {
        std::uint32_t frame = 0;
        std::array<std::uint8_t, 3> bytes{};
        std::uint8_t size = 0;
    };
    struct Slot {
        std::atomic<_jack_port*> port{nullptr};
        platform::SpscRing<Stamped, kQueueLength> queue;
        bool used = false;    // window's thread, under portsMutex_
        bool retired = false; // its port could not be released safely: never reused
    };

    explicit JackMidiClient(_jack_client* client);
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    static void onShutdown(void* self) noexcept;
    void process(std::uint32_t frames) noexcept;
    bool waitForCycle(std::uint64_t after) const noexcept;
    void releaseSlot(Slot& slot) noexcept; // under portsMutex_
    bool releaseAudio() noexcept;          // under portsMutex_; as closeAudio
    void processAudio(std::uint32_t cycleStart, std::uint32_t frames) noexcept;
    bool waitUntilOutsideProcess() const noexcept;

    _jack_client* client_;
    std::atomic<bool> alive_{true};
    // Set while the process callback runs: what it may still be using is released only
    // once it is seen clear after the pointer to it was taken away.
    std::atomic<bool> inProcess_{false};
    // The audio outputs: ports written before the source is published, on the window's
    // thread under portsMutex_; the process callback reads them only behind the source.
    std::atomic<JackAudioSource*> audioSource_{nullptr};
    _jack_port* audioPorts_[2] = {nullptr, nullptr};
    bool audioRetired_ = false; // its ports could not be released safely: never reused
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> late_{0};
    std::mutex portsMutex_; // window's thread only; the process callback never takes it
    std::array<Slot, kMaxOpenPorts> slots_;
};

// The client that the JACK devices of one program share. A device list is made once, at
// start; when the server behind it goes away and another starts under the same name, the
// next device that opens finds a new client of ours on it.
class JackConnection {
public:
    explicit JackConnection(std::shared_ptr<JackMidiClient> client) : client_(std::move(client)) {}
    // Window's thread. The client, made anew when the one before lost its server;
    // nullptr when no server runs now.
    std::shared_ptr<JackMidiClient> client();

private:
    std::shared_ptr<JackMidiClient> client_;
};

// One JACK output device: another program's input port, or our own port that other
// programs connect to.
class JackMidiDevice : public midiout::MidiOutDevice {
public:
    // `destination` empty: our own port, named `portName`, that others connect to.
    JackMidiDevice(std::shared_ptr<JackConnection> connection, std::string name,
                   std::string destination, std::string portName);
    ~JackMidiDevice() override;
    std::string name() const override { return name_; }
    // Reaches the server that runs now, through the connection's client.
    bool open() override;
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;

    // The client of the latest open (nullptr before the first).
    const std::shared_ptr<JackMidiClient>& client() const { return client_; }

private:
    std::shared_ptr<JackConnection> connection_;
    // Set by open on the window's thread while no send can come (the device is closed);
    // read by send afterwards.
    std::shared_ptr<JackMidiClient> client_;
    std::string name_;
    std::string destination_;
    std::string portName_;
    std::atomic<int> slot_{-1};
};

inline constexpr const char* kJackOwnPortDeviceName = "Tambrel JACK out";

// The JACK part of the device list: other programs' MIDI inputs and our own output port,
// all served by the connection's client. Nothing when no JACK server runs.
midiout::BackendDevices discoverJackMidiDevices(const std::shared_ptr<JackConnection>& connection);
// The same through a client of its own, connected now.
midiout::BackendDevices discoverJackMidiDevices();

} // namespace tambrel::backends
