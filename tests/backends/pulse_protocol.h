#pragma once
// What the kits of the servers that speak PulseAudio's protocol share (PulseAudio itself and
// PipeWire's pipewire-pulse): the environment of a server run in private folders, waiting
// for `pactl info` to answer, pointing this process's clients at the server for a while, and
// recording a sink's monitor with parec, sample for sample, each batch stamped as it comes.

#include "sound_recording.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace tambrel::testing {

// Our environment without any other server's address or session (XDG_RUNTIME_DIR, HOME,
// PULSE_*, PIPEWIRE_*, JACK_DEFAULT_SERVER, DBUS_SESSION_BUS_ADDRESS), then `own`.
std::vector<std::string> privateEnvironment(const std::vector<std::string>& own);

enum class PactlAnswer { Answered, ServerExited, NoPactl, NoAnswer };

// Asks with `pactl info` (which goes where this process's environment points) until it
// answers, the process `server` ends, or `limit` passes.
PactlAnswer awaitPactl(pid_t server, std::chrono::milliseconds limit);

// Runs pactl with `args` and returns its exit status (127: no pactl), its output in `output`.
int runPactl(const std::vector<std::string>& args, std::string* output = nullptr);

// Variables of this process set for as long as it lives, then put back as they were.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() { restore(); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const char* name, const std::string& value);
    void unset(const char* name);
    void restore();

private:
    void save(const char* name);
    // Each name with "=" and its old value, or empty when it was not set.
    std::vector<std::pair<std::string, std::string>> saved_;
};

// parec on a sink's monitor, as 48 kHz float stereo, read from a pipe as it comes.
class MonitorRecorder {
public:
    static constexpr std::uint32_t kSampleRate = 48000;

    MonitorRecorder();
    ~MonitorRecorder(); // stops parec
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Records `sink`'s monitor from now on, up to `capacityFrames`, parec's complaints into
    // `log`; returns once the first samples are in (a running sink's monitor delivers
    // silence from the start), or false.
    bool start(const std::string& sink, const std::string& log, std::size_t capacityFrames,
               std::chrono::milliseconds limit);
    bool running() const { return reader_ != nullptr; }
    // What was recorded so far, while the recording goes on.
    Recording recording() const;
    // Stops parec and returns what it recorded.
    Recording stop();

private:
    struct Reader;
    std::unique_ptr<Reader> reader_;
};

// What a private server with one null sink "out" at 48 kHz keeps, whichever server it is:
// its folder (runtime, home, logs), the variables that point this process's clients at it,
// and the recording of the sink's monitor.
class PrivateSinkServer {
public:
    static constexpr std::uint32_t kSampleRate = MonitorRecorder::kSampleRate;
    static constexpr const char* kSinkName = "out";

    virtual ~PrivateSinkServer() = default;
    virtual bool running() const = 0;
    // Why start() failed, with the end of the server's own logs: for a test's message.
    const std::string& failure() const { return failure_; }

    // Records the sink's monitor with parec from now on, up to `capacityFrames`, each
    // batch stamped as it comes; returns once the first samples are in, or false.
    bool startRecording(std::size_t capacityFrames = 60 * std::size_t(kSampleRate),
                        std::chrono::milliseconds limit = std::chrono::seconds(5));
    // What was recorded so far, while the recording goes on.
    Recording recording() const;
    // Stops parec and returns what it recorded.
    Recording stopRecording();
    // From now on this process's clients of PipeWire's own API find no server (as on a
    // PulseAudio desktop, or where PipeWire's native stream cannot open); its PulseAudio
    // and JACK clients still reach this one.
    void hideNativeApi();

protected:
    // Once the server's processes are gone: the clients' variables back as they were, the
    // folder removed.
    void leave();

    std::string folder_;
    MonitorRecorder recorder_;
    std::string failure_;
    ScopedEnvironment clients_;
};

} // namespace tambrel::testing
