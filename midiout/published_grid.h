#pragma once
// A followed source's grid as its audio side hands it to the other threads: written by one
// thread (a JACK process callback) without waiting, read by any without locking. The writer
// counts up before and after it writes; a reader that saw the count odd, or moved while it
// read, reads again (a write takes nanoseconds, so it never reads many times).

#include "midiout/followed_time.h"

#include <atomic>
#include <cstdint>

namespace tambrel::midiout {

class PublishedGrid {
public:
    // The one writer's thread. The count is odd while the fields change; each field is
    // stored with release, so a reader that sees any of them sees the odd count before it
    // too (no fences: ThreadSanitizer follows none).
    void publish(const FollowedGrid& grid) noexcept {
        const std::uint32_t count = count_.load(std::memory_order_relaxed);
        count_.store(count + 1, std::memory_order_relaxed);
        epoch_.store(grid.epoch, std::memory_order_release);
        rolling_.store(grid.rolling, std::memory_order_release);
        anchorStep_.store(grid.anchorStep, std::memory_order_release);
        anchorFrame_.store(grid.anchorFrame, std::memory_order_release);
        framesPerStep_.store(grid.framesPerStep, std::memory_order_release);
        awaitingRelease_.store(grid.awaitingRelease, std::memory_order_release);
        tempo_.store(grid.tempo, std::memory_order_release);
        count_.store(count + 2, std::memory_order_release);
    }

    // Any thread. The fields are loaded with acquire, so the count's second load cannot
    // come before them.
    FollowedGrid read() const noexcept {
        FollowedGrid grid;
        for (;;) {
            const std::uint32_t before = count_.load(std::memory_order_acquire);
            grid.epoch = epoch_.load(std::memory_order_acquire);
            grid.rolling = rolling_.load(std::memory_order_acquire);
            grid.anchorStep = anchorStep_.load(std::memory_order_acquire);
            grid.anchorFrame = anchorFrame_.load(std::memory_order_acquire);
            grid.framesPerStep = framesPerStep_.load(std::memory_order_acquire);
            grid.awaitingRelease = awaitingRelease_.load(std::memory_order_acquire);
            grid.tempo = tempo_.load(std::memory_order_acquire);
            if ((before & 1U) == 0 && count_.load(std::memory_order_relaxed) == before) {
                return grid;
            }
        }
    }

private:
    std::atomic<std::uint32_t> count_{0};
    std::atomic<std::uint32_t> epoch_{0};
    std::atomic<bool> rolling_{false};
    std::atomic<std::int64_t> anchorStep_{0};
    std::atomic<std::uint32_t> anchorFrame_{0};
    std::atomic<double> framesPerStep_{0};
    std::atomic<bool> awaitingRelease_{false};
    std::atomic<double> tempo_{0};
};

// Tambrel's own time as the window's thread hands it to a source's other threads: one word,
// written whole and read whole.
class PublishedOwnTime {
public:
    // Any one thread at a time (the window's).
    void publish(const OwnTime& own) noexcept { word_.store(pack(own), std::memory_order_release); }
    // Any thread.
    OwnTime read() const noexcept { return unpack(word_.load(std::memory_order_acquire)); }

private:
    // The step period in the low 32 bits, then the tempo constant (16), the steps a bar and
    // the clocks a step (8 each): all fit with room to spare.
    static constexpr std::uint64_t pack(const OwnTime& own) noexcept {
        return std::uint64_t{own.periodMs} |
               std::uint64_t{static_cast<std::uint16_t>(own.tempoConstant)} << 32U |
               std::uint64_t{static_cast<std::uint8_t>(own.stepsPerBar)} << 48U |
               std::uint64_t{static_cast<std::uint8_t>(own.clocksPerStep)} << 56U;
    }
    static constexpr OwnTime unpack(std::uint64_t word) noexcept {
        OwnTime own;
        own.periodMs = static_cast<std::uint32_t>(word);
        own.tempoConstant = static_cast<int>((word >> 32U) & 0xFFFFU);
        own.stepsPerBar = static_cast<int>((word >> 48U) & 0xFFU);
        own.clocksPerStep = static_cast<int>(word >> 56U);
        return own;
    }

    std::atomic<std::uint64_t> word_{pack(OwnTime{})};
};

} // namespace tambrel::midiout
