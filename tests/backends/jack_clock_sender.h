#pragma once
// Another program's MIDI clock on the test's JACK server: jack_midi_clock (package
// jack-midi-clock), which turns the rolling transport into clock, Start, Stop and Song
// Position, with jack_transport (jackd2) as the transport's timebase master, whose tempo
// the clock counts. Both are programs that nobody here wrote.

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/types.h>

struct _jack_client;

namespace tambrel::testing {

class JackClockSender {
public:
    // `jitterPercent` (0 to 20): how far jack_midi_clock moves each clock off its place.
    // With `tempo` (above 0) jack_transport is started too, the timebase master at that
    // tempo; a second sender on the same transport gives 0. `client` (any client of the
    // test's) is used to find the clock's port.
    JackClockSender(_jack_client* client, double tempo, int jitterPercent = 0);
    // Stops the transport, then both programs.
    ~JackClockSender();
    JackClockSender(const JackClockSender&) = delete;
    JackClockSender& operator=(const JackClockSender&) = delete;

    bool ok() const { return !port_.empty(); }
    // The clock's port: "jack_midi_clock:mclk_out" for the first sender on the server.
    const std::string& port() const { return port_; }
    // Connects the clock to `port` (retried while jack_midi_clock is still getting ready).
    bool connect(_jack_client* client, const std::string& port) const;
    // A jack_transport command: "play", "stop", "locate 0", "tempo 97.5".
    void command(const std::string& line);

private:
    pid_t clock_ = -1;
    std::string port_;
    std::FILE* transport_ = nullptr;
};

} // namespace tambrel::testing
