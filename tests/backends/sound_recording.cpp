#include "sound_recording.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace tambrel::testing {

double soundClock() noexcept {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double dbfs(float peak) {
    return peak > 0.0f ? 20.0 * std::log10(peak) : -std::numeric_limits<double>::infinity();
}

std::vector<std::int64_t> findOnsets(const std::vector<float>& level, float threshold,
                                     float quietLevel, std::size_t quietFrames) {
    std::vector<std::int64_t> onsets;
    std::size_t quiet = 0;
    bool armed = true; // the recording starts in silence
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (level[i] >= threshold && armed) {
            onsets.push_back(static_cast<std::int64_t>(i));
            armed = false;
        }
        quiet = level[i] < quietLevel ? quiet + 1 : 0;
        armed = armed || quiet >= quietFrames;
    }
    return onsets;
}

double Recording::timeOf(std::size_t sample, double* spread) const {
    const auto near = static_cast<std::size_t>(0.1 * sampleRate);
    std::vector<double> estimates;
    for (bool anywhere : {false, true}) {
        for (const auto& [end, stamp] : arrivals) {
            if (anywhere || (end + near >= sample && end <= sample + 2 * near)) {
                estimates.push_back(stamp - (double(end) - double(sample)) / sampleRate);
            }
        }
        if (!estimates.empty()) {
            break;
        }
    }
    if (estimates.empty()) {
        return 0.0;
    }
    std::sort(estimates.begin(), estimates.end());
    if (spread != nullptr) {
        *spread = estimates[estimates.size() * 9 / 10] - estimates[estimates.size() / 10];
    }
    return estimates[estimates.size() / 2];
}

std::size_t Recording::sampleAt(double time) const {
    // From the start, then once more from where that lands, where the clock is read better.
    double index = (time - timeOf(0)) * sampleRate;
    for (int pass = 0; pass < 2; ++pass) {
        const std::size_t at = std::min(samples.size(), std::size_t(std::max(0.0, index)));
        index = double(at) + (time - timeOf(at)) * sampleRate;
    }
    return std::min(samples.size(), std::size_t(std::max(0.0, std::floor(index))));
}

Recording Recording::slice(double from, double to) const {
    Recording part;
    part.sampleRate = sampleRate;
    const std::size_t first = sampleAt(from);
    const std::size_t last = std::max(first, sampleAt(to));
    part.samples.assign(samples.begin() + std::ptrdiff_t(first),
                        samples.begin() + std::ptrdiff_t(last));
    for (const auto& [end, stamp] : arrivals) {
        if (end > first) {
            part.arrivals.emplace_back(end - first, stamp);
        }
    }
    return part;
}

double Recording::skippedSeconds() const {
    if (arrivals.size() < 2 || sampleRate <= 0.0) {
        return 0.0;
    }
    // Each batch's stamp less the time of its frames: a constant while the server plays
    // every frame, larger by what it skipped from then on, and larger for a while when a
    // batch comes late.
    std::vector<double> offsets;
    offsets.reserve(arrivals.size());
    for (const auto& [end, stamp] : arrivals) {
        offsets.push_back(stamp - static_cast<double>(end) / sampleRate);
    }
    std::vector<double> earliestFrom(offsets.size());
    double earliest = offsets.back();
    for (std::size_t i = offsets.size(); i-- > 0;) {
        earliest = std::min(earliest, offsets[i]);
        earliestFrom[i] = earliest;
    }
    double before = offsets.front();
    double skipped = 0.0;
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        skipped = std::max(skipped, earliestFrom[i] - before);
        before = std::min(before, offsets[i]);
    }
    return skipped;
}

float Recording::peak(std::size_t from, std::size_t to) const {
    float loudest = 0.0f;
    for (std::size_t i = from; i < std::min(to, samples.size()); ++i) {
        loudest = std::max(loudest, samples[i]);
    }
    return loudest;
}

std::vector<std::int64_t> Recording::onsets(float threshold, double gap) const {
    return findOnsets(samples, threshold, threshold / 10,
                      static_cast<std::size_t>(gap * sampleRate));
}

RecordingBuffer::RecordingBuffer(std::size_t capacityFrames, double sampleRate)
    : sampleRate_(sampleRate), level_(capacityFrames), arrivals_(capacityFrames / 16 + 1) {}

void RecordingBuffer::write(std::size_t at, const float* left, const float* right,
                            std::size_t frames, std::size_t stride, double stamp) noexcept {
    if (at >= level_.size()) {
        return; // full
    }
    const std::size_t end = std::min(level_.size(), at + frames);
    for (std::size_t i = at; i < end; ++i) {
        const std::size_t from = (i - at) * stride;
        level_[i] = std::max(std::fabs(left[from]), std::fabs(right[from]));
    }
    if (batches_ < arrivals_.size()) {
        arrivals_[batches_++] = {end, stamp};
    }
    published_.store(std::max(end, published_.load(std::memory_order_relaxed)),
                     std::memory_order_release);
    publishedBatches_.store(batches_, std::memory_order_release);
}

Recording RecordingBuffer::recording() const {
    Recording recording;
    const std::size_t batches = publishedBatches_.load(std::memory_order_acquire);
    const std::size_t frames = published_.load(std::memory_order_acquire);
    recording.samples.assign(level_.begin(), level_.begin() + std::ptrdiff_t(frames));
    recording.arrivals.assign(arrivals_.begin(), arrivals_.begin() + std::ptrdiff_t(batches));
    recording.sampleRate = sampleRate_;
    return recording;
}

} // namespace tambrel::testing
