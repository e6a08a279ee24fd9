#pragma once
// A PulseAudio server of the test's own, the kind of sound server a desktop plays through
// (PipeWire desktops answer its protocol too): run in private folders (its own runtime
// folder and home), with one null sink "out" at 48 kHz in float samples, so that what is
// played there can be recorded sample for sample from the sink's monitor. The process's
// environment is pointed at that server, so every PulseAudio client the code under test
// opens lands there, and none starts a server of its own. Stopping it removes the folders.

#include "pulse_protocol.h"
#include "sound_recording.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace tambrel::testing {

class PrivatePulseServer : public PrivateSinkServer {
public:
    PrivatePulseServer();
    ~PrivatePulseServer(); // stops the recording and the server, removes the folders
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Starts pulseaudio and returns once `pactl info` answers (polling every 20 ms), or
    // false after `limit`, with the reason in failure().
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // SIGTERM and a wait; SIGKILL if it does not go. Puts the environment back.
    void stop();
    // SIGKILL at once, as a crash would; the folders and environment stay until stop().
    void kill();
    bool running() const override { return pid_ > 0; }

private:
    bool fail(const std::string& why);
    pid_t pid_ = -1;
};

} // namespace tambrel::testing
