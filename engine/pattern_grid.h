#pragma once
// The one-bar pattern: 8 tracks x 16 cells, on or off. Each track's cells are one atomic
// word, so the timer thread reads them while the window's thread edits them, without a
// lock.

#include "time_signature.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace tambrel::engine {

class PatternGrid {
public:
    // Tracks 1..8, cells 1..16; anything else reads as off and writes nothing.
    bool isOn(int track, int cell) const noexcept;
    void set(int track, int cell, bool on) noexcept;
    void toggle(int track, int cell) noexcept;
    void clear() noexcept;
    bool empty() const noexcept;

private:
    static bool valid(int track, int cell) noexcept {
        return track >= 1 && track <= kTracks && cell >= 1 && cell <= kCells;
    }
    std::array<std::atomic<std::uint16_t>, kTracks> rows_{};
};

} // namespace tambrel::engine
