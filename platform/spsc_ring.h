#pragma once
// A fixed-size ring that hands values from one thread to another without a lock or an
// allocation: the step clock's timer thread pushes MIDI messages, an audio thread pops
// them. Exactly one thread may push and exactly one may pop.

#include <array>
#include <atomic>
#include <cstddef>

namespace tambrel::platform {

template <typename T, std::size_t Capacity> class SpscRing {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0,
                  "the capacity is a power of two so that the indices may wrap freely");

public:
    // Producer. False when the ring is full: the value is dropped, nothing waits.
    bool push(const T& value) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= Capacity) {
            return false;
        }
        slots_[head & (Capacity - 1)] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer. The oldest value, or nullptr when the ring is empty; it stays in the
    // ring until pop(), so that the consumer may leave it for a later round.
    const T* front() const noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots_[tail & (Capacity - 1)];
    }

    // Consumer, after front() returned a value.
    void pop() noexcept {
        tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Consumer: drops everything pushed so far.
    void discard() noexcept {
        tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release);
    }

    // Any thread: whether everything pushed so far has been popped.
    bool drained() const noexcept {
        return tail_.load(std::memory_order_acquire) == head_.load(std::memory_order_acquire);
    }

    static constexpr std::size_t capacity() noexcept { return Capacity; }

private:
    std::array<T, Capacity> slots_{};
    // Apart, so that the two threads do not fight over one cache line.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace tambrel::platform
