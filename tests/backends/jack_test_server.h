#pragma once
// A JACK server of the test's own (dummy driver, 48 kHz, 256-frame periods, private
// name) and a MIDI receiver client on it, for the tests and the timing benchmarks. The
// process's environment is pointed at that server, so every JACK client the code under
// test opens lands there and nothing ever starts a server by surprise.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct _jack_client;
struct _jack_port;

namespace tambrel::testing {

// Only one JACK test at a time on this machine, across processes and build folders. The
// servers share JACK's metadata database in /dev/shm, and a server that exits deletes it
// under the feet of the others: a client that opens it while it is being deleted or
// recreated leaves it broken, and every later client on the machine dies of SIGBUS.
// Held from before the first JACK call until every client and the server are gone.
class JackTestLock {
public:
    JackTestLock();
    ~JackTestLock();
    JackTestLock(const JackTestLock&) = delete;
    JackTestLock& operator=(const JackTestLock&) = delete;

private:
    int fd_ = -1;
};

class PrivateJackServer {
public:
    static constexpr std::uint32_t kSampleRate = 48000;
    // A sanitizer build runs every client several times slower: longer periods give the
    // instrumented clients time to finish each cycle, as a real-time client must.
#ifdef TAMBREL_JACK_PERIOD_FRAMES
    static constexpr std::uint32_t kPeriodFrames = TAMBREL_JACK_PERIOD_FRAMES;
#else
    static constexpr std::uint32_t kPeriodFrames = 256;
#endif

    PrivateJackServer();  // waits for the machine's JackTestLock
    ~PrivateJackServer(); // stops the server if it still runs
    PrivateJackServer(const PrivateJackServer&) = delete;
    PrivateJackServer& operator=(const PrivateJackServer&) = delete;

    // A synchronous server waits for every client in each cycle (up to its timeout), so
    // that a client that stops answering holds the whole graph up. Before start().
    void makeSynchronous() {
        synchronous_ = true;
    }
    // A server with no playback ports, like a card that only records: nothing can be
    // heard through it. Before start().
    void removePlayback() {
        playback_ = false;
    }
    // Starts jackd and returns once a client can open on it (polling every 10 ms), or
    // false after `limit`.
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // SIGTERM and a wait; SIGKILL if it does not go.
    void stop();
    // SIGKILL at once, as a crash would.
    void kill();
    // After kill(): gives the killed server's slot in JACK's registry back (the
    // destructor does it too). Call it once the clients on the dead server are closed.
    void releaseRegistrySlot();
    const std::string& name() const {
        return name_;
    }
    bool running() const {
        return pid_ > 0;
    }

private:
    pid_t launch();
    bool waitUntilUp(std::chrono::milliseconds limit);
    void end(int signal);
    JackTestLock lock_; // first in, last out
    std::string name_;
    pid_t pid_ = -1;
    bool killed_ = false;
    bool synchronous_ = false;
    bool playback_ = true;
};

// A client of the test's own on the server the environment names (never one started on
// the way), with JACK's own error printing silenced; nullptr when none can open.
_jack_client* openJackClient(const std::string& name);

// One MIDI event as the receiver saw it.
struct ReceivedEvent {
    std::uint32_t frame = 0; // absolute: the period's first frame + the event's offset
    std::uint8_t size = 0;
    std::uint8_t bytes[3] = {0, 0, 0};
    std::vector<std::uint8_t> data() const { return {bytes, bytes + size}; }
};

// A client with one MIDI input port, "<client>:in", that records every event.
class JackMidiReceiver {
public:
    explicit JackMidiReceiver(const std::string& clientName = "receiver",
                              std::size_t capacity = 1 << 16);
    ~JackMidiReceiver();
    JackMidiReceiver(const JackMidiReceiver&) = delete;
    JackMidiReceiver& operator=(const JackMidiReceiver&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::string portName() const;
    _jack_client* client() const { return client_; }
    // Our receiver's view of the server's frame clock (for stamping in the tests).
    std::uint32_t frameTime() const;
    // How many connections its input port has.
    int connectionCount() const;

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    std::vector<ReceivedEvent> events() const;
    // Longer events than three bytes are counted here and not kept.
    std::size_t oversized() const { return oversized_.load(); }
    bool waitForCount(std::size_t n, std::chrono::milliseconds limit) const;

private:
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    _jack_client* client_ = nullptr;
    _jack_port* port_ = nullptr;
    std::vector<ReceivedEvent> slots_;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> oversized_{0};
    std::atomic<std::uint64_t> cycles_{0};
};

// Exact expected bytes of a packed short message (status, key, velocity).
std::vector<std::uint8_t> noteBytes(std::uint32_t message);

} // namespace tambrel::testing
