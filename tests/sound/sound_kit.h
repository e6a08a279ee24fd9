#pragma once
// What the built-in synth plays, recorded where a desktop would hear it: a private
// PulseAudio server (the protocol PipeWire desktops answer too) with a null sink whose
// monitor is recorded, or a JACK client recording the synth's ports. Each recording knows
// when its first sample was played, on the steady clock, so that a test can put a click
// of Play on the same time line.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

struct _jack_client;
struct _jack_port;

namespace tambrel::testing {

// The recordings' clock: seconds of std::chrono::steady_clock.
double soundClock() noexcept;

// Mono samples (the louder channel of each frame) and when they were played.
struct Recording {
    std::vector<float> samples;
    double sampleRate = 0.0;
    // Each batch as it came: the index one past its last sample, and its stamp.
    std::vector<std::pair<std::size_t, double>> arrivals;

    // When a sample was played, on soundClock(): each batch that came within a tenth of
    // a second of it says its stamp less the time of the samples between; a batch can
    // come late (its reader was not scheduled) or early (the server renders a little
    // ahead), so the middle of those is taken, and `spread` is how far they scatter.
    double timeOf(std::size_t sample, double* spread = nullptr) const;
    // The sample played at a time.
    std::size_t sampleAt(double time) const;
    // The part of the recording between two times.
    Recording slice(double from, double to) const;
    float peak(std::size_t from = 0, std::size_t to = SIZE_MAX) const;
    // The first sample of each sound that follows at least `gap` seconds below a tenth
    // of `threshold`, taken where it first reaches `threshold`.
    std::vector<std::size_t> onsets(float threshold, double gap) const;
};

double dbfs(float peak);

// Samples kept as they arrive, each batch stamped when it came. Fixed capacity:
// appending never allocates (a JACK callback appends).
class StampedSamples {
public:
    StampedSamples(std::size_t capacityFrames, double sampleRate);
    // `frames` frames of two channels, `stride` floats apart in each; `stamp` is when the
    // last of them was played.
    void append(const float* left, const float* right, std::size_t frames, std::size_t stride,
                double stamp) noexcept;
    // What was appended so far.
    Recording recording() const;
    double sampleRate() const noexcept { return sampleRate_; }

private:
    double sampleRate_;
    std::vector<float> samples_;
    std::vector<std::pair<std::size_t, double>> arrivals_;
    std::size_t frames_ = 0;
    std::size_t batches_ = 0;
    std::atomic<std::size_t> published_{0};
    std::atomic<std::size_t> publishedBatches_{0};
};

// A PulseAudio server of the test's own: private runtime folder and home, the native
// protocol and one null sink "out" at 48 kHz. While it runs, this process's PulseAudio
// clients reach it and no other (the environment points there, autospawn is off).
class PrivatePulseServer {
public:
    static constexpr unsigned kSampleRate = 48000;

    PrivatePulseServer();
    ~PrivatePulseServer(); // stops the recording and the server, removes the folder
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Returns once `pactl info` answers, or false with the reason in failure().
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(10));
    const std::string& failure() const { return failure_; }

    // Records the sink's monitor with parec from now on; false if parec gives nothing.
    bool startRecording();
    // What was recorded so far, while the recording goes on.
    Recording recording() const;
    Recording stopRecording();

private:
    struct Reader;
    bool fail(const std::string& why);
    void stop();
    std::string folder_;
    pid_t server_ = -1;
    std::vector<std::pair<std::string, std::string>> savedEnvironment_;
    std::unique_ptr<Reader> reader_;
    std::string failure_;
};

// A JACK client whose two inputs are connected to the output ports of `source` (a client
// name) and that records them, stamping each period when its callback runs. Use it on a
// PrivateJackServer.
class JackSourceRecorder {
public:
    explicit JackSourceRecorder(double seconds = 10.0);
    ~JackSourceRecorder();
    JackSourceRecorder(const JackSourceRecorder&) = delete;
    JackSourceRecorder& operator=(const JackSourceRecorder&) = delete;

    bool ok() const { return client_ != nullptr; }
    // Connects to the source's outputs, as they are when called, and starts recording.
    bool connectFrom(const std::string& source);
    Recording recording() const { return samples_->recording(); }
    // How long after it is rendered a sample leaves the server's playback ports.
    double playbackLatency() const;

private:
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    _jack_client* client_ = nullptr;
    std::vector<_jack_port*> ports_;
    std::unique_ptr<StampedSamples> samples_;
    std::atomic<bool> recording_{false};
};

} // namespace tambrel::testing
