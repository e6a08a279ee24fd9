#pragma once
// A PipeWire server of the test's own, the sound server of today's Linux desktops, run as
// a desktop session runs it but in private folders (its own runtime folder and home) with
// its own D-Bus session: pipewire, its session manager wireplumber, and pipewire-pulse,
// which answers PulseAudio's protocol. It plays into one null sink "out" at 48 kHz, the
// default sink, recorded sample for sample from its monitor. The process's environment is
// pointed at that server while it runs: PulseAudio clients reach it through pipewire-pulse,
// JACK clients through PipeWire's own libjack when this program runs under pw-jack (see
// rerunUnderPipeWireJack). Stopping it removes the folders.

#include "pulse_protocol.h"
#include "sound_recording.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tambrel::testing {

class PrivatePipeWireServer : public PrivateSinkServer {
public:
    PrivatePipeWireServer();
    ~PrivatePipeWireServer(); // stops the recording and the servers, removes the folders
    PrivatePipeWireServer(const PrivatePipeWireServer&) = delete;
    PrivatePipeWireServer& operator=(const PrivatePipeWireServer&) = delete;

    // Starts the session's processes one after the other and returns once the null sink
    // is the default one, or false after `limit`, with the reason in failure().
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(15));
    // SIGTERM and a wait for each process, last started first. Puts the environment back.
    void stop();
    bool running() const override { return !pids_.empty(); }
    // While running: the graph keeps a quantum of `frames` whatever its clients ask for
    // (PipeWire's clock.force-quantum). Left to itself the graph changes its quantum as
    // clients come and go (the recorder, the synth's stream, a JACK client), and the synth's
    // stream clock is thrown off its line for a while by each change: a test that is not
    // about that holds the quantum. False when pw-metadata could not set it.
    bool holdQuantum(int frames);
    // The quantum that the graph settles on with the synth's stream and the recorder: what a
    // test holds.
    static constexpr int kSettledQuantum = 768;

private:
    bool fail(const std::string& why);
    bool launch(const std::vector<std::string>& argv, const std::string& logName);
    bool awaitFile(const std::string& path, std::chrono::steady_clock::time_point deadline);
    bool makeSink(std::chrono::steady_clock::time_point deadline);
    std::string runtime_;
    std::vector<std::string> env_;
    std::vector<pid_t> pids_; // in the order they started
};

// Whether this process's JACK clients reach PipeWire: PipeWire's libjack is the one loaded.
bool usesPipeWireJack();

// What this program printed when it ran again under pw-jack, and how it ended.
struct PipeWireJackRun {
    int status = -1; // the exit status; -1 when it did not exit
    std::string output;
};

// Runs this program again with `args` under pw-jack, which puts PipeWire's libjack in
// place of JACK's own: a library loaded at start cannot be swapped later. The program
// tells the run from its own by usesPipeWireJack(), and fails there when it is not so.
PipeWireJackRun rerunUnderPipeWireJack(const std::vector<std::string>& args);

// Whether this run was started by rerunUnderPipeWireJack.
bool isPipeWireJackRerun();

} // namespace tambrel::testing
