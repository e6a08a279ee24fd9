#pragma once
// Following an incoming MIDI clock: what its clocks and its real-time messages say about
// where the other program's song is, on the server's frames.
//
// A clock that another program sends is late or early by whatever its own thread and the
// wire did to it: a sequencer on a busy machine jitters by a tenth of a clock or more. The
// steps must not: the tempo label must read what the other program plays, steadily, and
// each step's notes must fall on the frame of that step's clock as the clock's steady grid
// has it. So the follower fits a straight line, frames against clocks, through the latest
// clocks (up to kWindow, two beats) and reads both the period (the line's slope) and where
// the next clocks fall (the line, carried on) from it. A least-squares line through two
// beats of clocks with a tenth of a clock's jitter is off by well under a frame a clock.
//
// A new tempo shows as clocks that all land on one side of the line, farther from it than
// the clock's own jitter ever takes them: after kChangeRun of those in a row the line is
// fitted through them alone, so a change is followed within a few clocks instead of the
// whole window. Until then such a clock is kept out of the line: one clock held back by a
// stalled sender does not tilt it. A clock that comes after a long silence (the other program
// stopped sending) starts a line of its own.
//
// The real-time messages: Start plays from the song's beginning on the next clock; Continue
// from the Song Position Pointer's place (a Pointer counts sixteenths, 6 clocks each); Stop
// stops, and remembers where, so that a Continue without a Pointer goes on from there.
// Step k of the song is on clock k * clocksPerStep counted from the song's beginning.
//
// Everything here runs in a JACK process callback: no allocation, no locks, no waiting.

#include "midiout/followed_time.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tambrel::midiout {

// The tempo that clocks `clockFrames` apart stand for, in the tempo label's units: quarter
// notes a minute, dotted quarters in 12/8 (what a receiver of our own clock shows, read
// back). 0 for no period.
double clockTempo(double clockFrames, std::uint32_t sampleRate, const OwnTime& own) noexcept;

class ClockFollower {
public:
    static constexpr int kWindow = 48;
    static constexpr int kChangeRun = 3;
    static constexpr int kClocksPerSixteenth = 6;

    // A message of the clock's port, read at `frame` (the server's wrapping frame counter).
    // Anything but clock, Start, Continue, Stop and Song Position Pointer is ignored.
    void message(const std::uint8_t* bytes, std::size_t size, std::uint32_t frame) noexcept;

    void clock(std::uint32_t frame) noexcept;
    void start() noexcept;
    void continuePlay() noexcept;
    void stop() noexcept;
    void songPosition(int sixteenths) noexcept;

    // Whether the song plays: from the first clock after Start or Continue to Stop.
    bool rolling() const noexcept { return rolling_; }
    // Moves at every start, stop or jump of the song (not at a new tempo).
    std::uint32_t changes() const noexcept { return changes_; }
    // Frames between two clocks, as the line has it; 0 until two clocks came in a row. The
    // last known period stays while a new line has only one clock.
    double clockFrames() const noexcept { return period_; }
    // While rolling: the song's clock the latest clock was (0 is the song's first), the
    // frame it came on, and how many frames after that one the line puts song clock
    // `songClock` (before it: fewer than 0).
    std::int64_t latestSongClock() const noexcept { return songClock_; }
    std::uint32_t latestFrame() const noexcept { return lastFrame_; }
    double framesAfterLatest(std::int64_t songClock) const noexcept;
    // Whether the latest clock is the first since the song started (Start, Continue).
    bool latestStartsSong() const noexcept { return rolling_ && startCount_ == count_ - 1; }
    // While rolling: the song's clock the song started (or went on) from, and its frame.
    std::int64_t startSongClock() const noexcept { return startSong_; }
    std::uint32_t startFrame() const noexcept { return startFrame_; }
    // The song's clocks before the next Continue starts (where Stop or the Pointer left it).
    std::int64_t resumeClock() const noexcept { return resume_; }

private:
    void fit() noexcept;
    bool changedTempo(double residual, std::int64_t count) noexcept;
    double lineAt(std::int64_t count) const noexcept;

    // The clocks of the line: frames counted from the line's first clock (each the one
    // before plus the frames between, so that they stay small and exact in a double and
    // the wrapping frame counter never shows), by their running count (count % kWindow).
    std::array<double, kWindow> frames_{};
    std::array<bool, kWindow> aside_{}; // off the line, not (yet) a new tempo
    std::int64_t count_ = 0;            // clocks taken since the line began
    std::int64_t first_ = 0;            // the count of the line's first clock
    std::uint32_t lastFrame_ = 0;
    double lineMean_ = 0; // the line: frames at the mean count, and its slope
    double meanCount_ = 0;
    double period_ = 0;
    double fitted_ = 2; // clocks in the latest fit, and their spread in count (sum of squares)
    double sxx_ = 0.5;
    double spread_ = -1; // rms distance of the line's clocks from it; below 0: not known yet
    int runSign_ = 0;
    int run_ = 0;

    bool rolling_ = false;
    bool pending_ = false;    // Start or Continue came: the next clock starts the song
    std::int64_t resume_ = 0; // where the next Continue starts, in song clocks
    std::int64_t songClock_ = 0;
    std::int64_t songOffset_ = 0; // songClock = count - songOffset_
    std::int64_t startCount_ = -1;
    std::int64_t startSong_ = 0;
    std::uint32_t startFrame_ = 0;
    std::uint32_t changes_ = 0;
};

// The grid that the clock gives Tambrel's steps (`own.clocksPerStep` clocks a step), the
// epoch left for the source to count. While
// rolling, the anchor is the next step whose clock is still to come, on the frame the line puts
// that clock: each step on its own clock, not merely at the clock's tempo. The step on the clock
// that started the song could not be foreseen: it goes on `earliest` (the first frame its notes can
// still be heard on) when its clock came before that, and the steps after it on their clocks again
// as those come. Tambrel's own step period stands in for the clock's until two clocks have come.
// `startJustCame`: the clock that started the song came in the period being read.
FollowedGrid clockGrid(const ClockFollower& follower, const OwnTime& own, std::uint32_t sampleRate,
                       std::uint32_t earliest, bool startJustCame = false) noexcept;

} // namespace tambrel::midiout
