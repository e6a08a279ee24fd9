#pragma once
// What the Link source hands between threads without a lock: the grid, written by the step
// clock's thread and read by any (a sequence-counted copy that readers retry), and Tambrel's
// own time, set by the window's thread, in one word.

#include "midiout/followed_time.h"

#include <atomic>
#include <cstdint>

namespace tambrel::backends {

class PublishedGrid {
public:
    // One writer thread.
    void write(const midiout::FollowedGrid& grid) noexcept {
        // Odd while the fields change. Each field is stored with release, so a reader that
        // sees any of them sees the odd count before it too (no fences: ThreadSanitizer
        // knows none).
        const std::uint32_t seq = seq_.load(std::memory_order_relaxed);
        seq_.store(seq + 1, std::memory_order_relaxed);
        epoch_.store(grid.epoch, std::memory_order_release);
        rolling_.store(grid.rolling, std::memory_order_release);
        anchorStep_.store(grid.anchorStep, std::memory_order_release);
        anchorFrame_.store(grid.anchorFrame, std::memory_order_release);
        framesPerStep_.store(grid.framesPerStep, std::memory_order_release);
        tempo_.store(grid.tempo, std::memory_order_release);
        seq_.store(seq + 2, std::memory_order_release);
    }

    // Any thread; retries while a write is under way (a few hundred nanoseconds at most).
    midiout::FollowedGrid read() const noexcept {
        midiout::FollowedGrid grid;
        std::uint32_t before = 0;
        std::uint32_t after = 0;
        do {
            before = seq_.load(std::memory_order_acquire);
            grid.epoch = epoch_.load(std::memory_order_acquire);
            grid.rolling = rolling_.load(std::memory_order_acquire);
            grid.anchorStep = anchorStep_.load(std::memory_order_acquire);
            grid.anchorFrame = anchorFrame_.load(std::memory_order_acquire);
            grid.framesPerStep = framesPerStep_.load(std::memory_order_acquire);
            grid.tempo = tempo_.load(std::memory_order_acquire);
            after = seq_.load(std::memory_order_relaxed);
        } while ((before & 1U) != 0 || before != after);
        return grid;
    }

private:
    std::atomic<std::uint32_t> seq_{0};
    std::atomic<std::uint32_t> epoch_{0};
    std::atomic<bool> rolling_{false};
    std::atomic<std::int64_t> anchorStep_{0};
    std::atomic<std::uint32_t> anchorFrame_{0};
    std::atomic<double> framesPerStep_{0};
    std::atomic<double> tempo_{0};
};

// Tambrel's own time in one word, without the step period (the session times the steps).
constexpr std::uint64_t packOwnTime(const midiout::OwnTime& own) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(own.stepsPerBar)) |
           static_cast<std::uint64_t>(static_cast<std::uint16_t>(own.clocksPerStep)) << 16U |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(own.tempoConstant)) << 32U;
}

constexpr midiout::OwnTime unpackOwnTime(std::uint64_t word) noexcept {
    midiout::OwnTime own;
    own.stepsPerBar = static_cast<int>(word & 0xFFFFU);
    own.clocksPerStep = static_cast<int>((word >> 16U) & 0xFFFFU);
    own.tempoConstant = static_cast<int>(word >> 32U);
    return own;
}

} // namespace tambrel::backends
