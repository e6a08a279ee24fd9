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
    // The one writer's thread.
    void publish(const FollowedGrid& grid) noexcept {
        const std::uint32_t count = count_.load(std::memory_order_relaxed);
        count_.store(count + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        epoch_.store(grid.epoch, std::memory_order_relaxed);
        rolling_.store(grid.rolling, std::memory_order_relaxed);
        anchorStep_.store(grid.anchorStep, std::memory_order_relaxed);
        anchorFrame_.store(grid.anchorFrame, std::memory_order_relaxed);
        framesPerStep_.store(grid.framesPerStep, std::memory_order_relaxed);
        awaitingRelease_.store(grid.awaitingRelease, std::memory_order_relaxed);
        tempo_.store(grid.tempo, std::memory_order_relaxed);
        count_.store(count + 2, std::memory_order_release);
    }

    // Any thread.
    FollowedGrid read() const noexcept {
        FollowedGrid grid;
        for (;;) {
            const std::uint32_t before = count_.load(std::memory_order_acquire);
            grid.epoch = epoch_.load(std::memory_order_relaxed);
            grid.rolling = rolling_.load(std::memory_order_relaxed);
            grid.anchorStep = anchorStep_.load(std::memory_order_relaxed);
            grid.anchorFrame = anchorFrame_.load(std::memory_order_relaxed);
            grid.framesPerStep = framesPerStep_.load(std::memory_order_relaxed);
            grid.awaitingRelease = awaitingRelease_.load(std::memory_order_relaxed);
            grid.tempo = tempo_.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
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

} // namespace tambrel::midiout
