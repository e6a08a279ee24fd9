#pragma once
// A client of the test's own that watches the JACK transport as a follower sees it: in each
// of its periods, the transport's state and position with the period's first frame. Made
// with `master`, it takes the timebase first and publishes bars of its own (seven beats),
// as a DAW that was already there would.

#include <jack/transport.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct _jack_client;

namespace tambrel::testing {

struct TransportSample {
    std::uint32_t cycleFrame = 0; // the period's first frame on the server's counter
    jack_transport_state_t state = JackTransportStopped;
    jack_position_t position{};
};

class JackTransportWatcher {
public:
    static constexpr float kOwnBeatsPerBar = 7;

    explicit JackTransportWatcher(const std::string& clientName, bool master = false,
                                  std::size_t capacity = 4096);
    ~JackTransportWatcher();
    JackTransportWatcher(const JackTransportWatcher&) = delete;
    JackTransportWatcher& operator=(const JackTransportWatcher&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::vector<TransportSample> samples() const;
    // The samples from `from` on, once one is in `state`; false after `limit`.
    bool waitForState(jack_transport_state_t state, std::size_t from,
                      std::chrono::milliseconds limit) const;
    // The frame the transport rolled from: the first rolling period from sample `from` on
    // (0 when none rolled).
    std::uint32_t rollFrame(std::size_t from) const;

private:
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    static void onTimebase(jack_transport_state_t, std::uint32_t, jack_position_t* position, int,
                           void*) noexcept;
    _jack_client* client_ = nullptr;
    std::vector<TransportSample> slots_;
    std::atomic<std::size_t> count_{0};
};

// jack_transport (jackd2's own transport control) on the server the environment names,
// driven as a user types its commands ("master", "play", "locate 96000", "stop"): a program
// that nobody here wrote, on the other side of the transport.
class JackTransportProgram {
public:
    JackTransportProgram();
    // Quits it and waits for it to end.
    ~JackTransportProgram();
    JackTransportProgram(const JackTransportProgram&) = delete;
    JackTransportProgram& operator=(const JackTransportProgram&) = delete;

    bool ok() const { return in_ != nullptr; }
    void command(const std::string& line);

private:
    std::FILE* in_ = nullptr;
};

} // namespace tambrel::testing
