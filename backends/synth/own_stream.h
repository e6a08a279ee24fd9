#pragma once
// What the synth's own streams to a desktop server (PulseAudio's API, PipeWire's) have in
// common: how they ask for audio, how they rest, and what they count.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tambrel::backends {

class OwnStream {
public:
    // On the stream's audio thread for each block: `frames` frames into the two buffers
    // (zeroed). `nanos` is a moment on the monotonic clock that each stream defines. The
    // first `unheard` of the frames will not be played: the server has already played
    // silence in their place (a stream that ran dry). Must not block, lock or allocate.
    using Render = void (*)(void* user, std::int64_t nanos, int frames, int unheard, float* left,
                            float* right) noexcept;
    // On the audio thread after each block: true when there is nothing to play until the
    // stream is woken. Must not block, lock or allocate.
    using MayRest = bool (*)(void* user) noexcept;

    OwnStream(const OwnStream&) = delete;
    OwnStream& operator=(const OwnStream&) = delete;

    // Each stream's wake(), any thread, after whatever there is to play has been handed
    // over: a resting stream plays again. Never waits, locks or allocates: one write to an
    // eventfd per rest.

    // How often the stream has rested since open.
    std::uint64_t rests() const noexcept { return rests_.load(std::memory_order_acquire); }
    // How often the server went on without audio from us (the gap is heard as silence).
    std::uint64_t underflows() const noexcept {
        return underflows_.load(std::memory_order_relaxed);
    }

    // What the server last reported between a frame handed over and its sound at the sound
    // card, beyond the moment the stream clock gives that frame.
    std::chrono::nanoseconds latency() const noexcept {
        return std::chrono::nanoseconds(latencyNanos_.load(std::memory_order_relaxed));
    }

protected:
    OwnStream() = default;
    ~OwnStream() = default;

    Render render_ = nullptr;
    void* user_ = nullptr;
    MayRest mayRest_ = nullptr;
    std::atomic<bool> resting_{false};
    std::atomic<std::uint64_t> rests_{0};
    std::atomic<std::uint64_t> underflows_{0};
    std::atomic<std::int64_t> latencyNanos_{0}; // written on the audio thread
    std::vector<float> left_;
    std::vector<float> right_;
};

} // namespace tambrel::backends
