#pragma once
// What a sound server played, as the test kits record it (from a PulseAudio sink's monitor
// or a JACK client's inputs): the level of each frame, and when each batch of frames was
// played on the steady clock, so that a test can put a click of Play on the same time line.
// And the one onset finder that every timing test and benchmark uses.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tambrel::testing {

// The recordings' clock: seconds of std::chrono::steady_clock.
double soundClock() noexcept;

double dbfs(float peak);

// Frames where the level reaches `threshold`, each after at least `quietFrames` frames
// below `quietLevel` (or the start of the recording: it starts in silence).
std::vector<std::int64_t> findOnsets(const std::vector<float>& level, float threshold,
                                     float quietLevel, std::size_t quietFrames);

struct Recording {
    // The louder channel's level, |sample|, of each frame.
    std::vector<float> samples;
    double sampleRate = 0.0;
    // Each batch as it came: the index one past its last frame, and when that last frame
    // was played.
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
    // The longest stretch of time the recording has no frames for: a server that stood
    // still and then played on from the present, skipping what it missed (a late batch
    // only comes late, and the ones after it are on time again). From the earliest arrival
    // of the batches before and after each batch.
    double skippedSeconds() const;
    // The first sample of each sound that follows at least `gap` seconds below a tenth
    // of `threshold`, taken where it first reaches `threshold`.
    std::vector<std::int64_t> onsets(float threshold, double gap) const;
};

// A recording as it is made: one thread writes, any thread may read what is written so
// far. Fixed capacity: writing never allocates (a JACK callback writes).
class RecordingBuffer {
public:
    RecordingBuffer(std::size_t capacityFrames, double sampleRate);
    // `frames` frames of two channels, `stride` floats apart in each, kept from frame `at`
    // on (frames skipped before it stay silent) as far as the capacity goes; `stamp` is
    // when the last of them was played.
    void write(std::size_t at, const float* left, const float* right, std::size_t frames,
               std::size_t stride, double stamp) noexcept;
    // The frames written so far, the skipped ones included.
    std::size_t size() const noexcept { return published_.load(std::memory_order_acquire); }
    Recording recording() const;
    double sampleRate() const noexcept { return sampleRate_; }

private:
    double sampleRate_;
    std::vector<float> level_;
    std::vector<std::pair<std::size_t, double>> arrivals_;
    std::size_t batches_ = 0; // the writer's
    std::atomic<std::size_t> published_{0};
    std::atomic<std::size_t> publishedBatches_{0};
};

} // namespace tambrel::testing
