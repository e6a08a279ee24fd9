#pragma once
// Following another program's time: a JACK transport (its bars, its start and stop) or an
// incoming MIDI clock. Only one source of time is in force at a time (timeline.h).
//
// Two halves meet here:
// - The source's audio side (a JACK process callback, real-time) sees the other program's
//   position and publishes a FollowedGrid: whether it rolls, and on which server frame
//   which step of the followed song falls and how many frames a step lasts, as it stands
//   now. It publishes it without locks (a sequence-counted copy that readers retry).
// - The step clock's side (FollowedTimeline) wakes a little ahead of each step's frame,
//   reads the grid, and hands the step its moment: the moment of the frame less the
//   output's fixed delay, so that the notes are heard on the frame itself. The window's
//   thread reads the grid too, to show Play and Stop as the other program has them and to
//   show its tempo.
//
// A start whose frame only the audio side will know (a transport that rolls once every
// slow-sync client is ready) is published as a grid that awaits its release: the step
// clock prepares the first steps with moments counted from the release
// (midiout::releaseMoment), and the JACK output holds them until its process callback sees
// the transport roll, then places them from that frame.

#include "midiout/frame_clock.h"

#include <chrono>
#include <cstdint>

namespace tambrel::midiout {

// Tambrel's own bar and tempo, as a followed source counts them.
struct OwnTime {
    int stepsPerBar = 16;
    // MIDI clocks (24 a quarter note) in a step: 6 in 4/4, 8 in 3/4, 12 in 12/8 and 6/8.
    int clocksPerStep = 6;
    // The whole-millisecond step period of Tambrel's own tempo.
    std::uint32_t periodMs = 0;
    // A step lasts tempoConstant / tempo milliseconds: the tempo label of a step's length.
    int tempoConstant = 15000;

    bool operator==(const OwnTime&) const = default;
};

struct FollowedGrid {
    // Changes at every start, stop, relocate or jump that the steps must follow at once
    // (a new tempo alone does not change it: it is heard from the next step).
    std::uint32_t epoch = 0;
    bool rolling = false;
    // Step `anchorStep` (counted from the followed song's start: 0 is bar 1's first step)
    // falls on server frame `anchorFrame` (the server's wrapping frame clock), and each
    // step after it `framesPerStep` frames later, until the grid changes.
    std::int64_t anchorStep = 0;
    std::uint32_t anchorFrame = 0;
    double framesPerStep = 0;
    // The start is not released yet: anchorFrame counts from the frame it will be
    // released on (0 is that frame).
    bool awaitingRelease = false;
    // The followed tempo in Tambrel's own units (the tempo label's: OwnTime's
    // tempoConstant / the step's milliseconds), 0 while unknown.
    double tempo = 0;
};

// Told that a still source's grid may have changed: a peer's tempo or start, Play or Stop
// pressed, a tempo proposed.
struct ChangeListener {
    void (*changed)(void* user) noexcept = nullptr;
    void* user = nullptr;
};

// Who listens: the step clock looks at the grid at once; the window shows it.
enum class Listener { StepClock, Window };

class FollowedSource {
public:
    virtual ~FollowedSource() = default;

    // Any thread, without waiting or locking: the grid as it stands.
    virtual FollowedGrid grid() const noexcept = 0;
    // The frame clock the grid's frames are on (our JACK client's frame line).
    virtual const midiout::FrameClock& frames() const noexcept = 0;
    // Frames between a message's moment and the frame the output plays it on.
    virtual std::int64_t delayFrames() const noexcept = 0;

    // Window's thread, at once and at every change: the time signature in force, by which
    // the source counts its bars in steps, and Tambrel's own step period, by which it times
    // them when the other program gives no tempo. A new bar length changes the grid's
    // epoch (its steps are counted anew).
    virtual void setOwnTime(const OwnTime& own) noexcept = 0;
    // Step clock's thread, before each look at the grid (every couple of milliseconds while
    // following): a source whose time is read rather than pushed to it (a Link session, whose
    // audio side the step clock's thread is) brings its grid up to date. Never waits.
    virtual void look(Moment /*now*/) noexcept {}
    // How often, in milliseconds, the step clock looks while the source is still: 0 at
    // every poll. A source whose start Tambrel times itself (a Link session starts at its
    // next bar, well ahead) may be looked at seldom, so that a stopped Tambrel costs next to
    // nothing; one whose start comes unforeseen (a MIDI clock's Start) is looked at always.
    virtual std::uint32_t stillLookMs() const noexcept { return 0; }
    // Any thread but the step clock's: from now on `listener` is told of every change of
    // the grid that it would otherwise have to look for while the source is still, on the
    // thread where the change came (the window's for Play, Stop and a tempo chosen, a thread
    // of the source's own for another program's). An empty listener ends that, and returns
    // once no call of the one before runs any more. A listener never waits, nor calls the
    // source. False: the source does not tell, and is looked at as stillLookMs says.
    virtual bool listen(Listener /*who*/, ChangeListener /*listener*/) noexcept { return false; }
    // Window's thread: the tempo spinner moved to `tempo` while following. A source that
    // shares its tempo with Tambrel (a Link session) proposes it and returns true: its grid
    // has that tempo from now on. The others return false: the spinner goes back to theirs.
    virtual bool tempoChosen(int /*tempo*/) noexcept { return false; }
    // Window's thread, every look at the grid: how long after its moment the open output's
    // messages are heard (MidiOutDevice::latency). A source shared with other programs'
    // sound (a Link session) hands each step that much earlier, so that it is heard on the
    // beat; the others leave the output's latency as it is, as a DAW's follower does.
    virtual void setOutputLatency(std::chrono::nanoseconds /*latency*/) noexcept {}
    // Window's thread: Play and Stop pressed while following. A transport starts and stops
    // with them; a MIDI clock has the last word, and ignores them.
    virtual void playPressed() noexcept {}
    virtual void stopPressed() noexcept {}
    // Step clock's thread: the first step of the start with this epoch has gone to the
    // outputs (a slow-sync transport may roll from now on). Never waits. The source keeps
    // the epoch when it releases that start (the grid's anchor becomes the release frame).
    virtual void prepared(std::uint32_t /*epoch*/) noexcept {}
    // Whether the source went with its server (a JACK server stopped or restarted).
    virtual bool lost() const noexcept { return false; }
    // Window's thread, while the step clock does not look (a device switch halted it): a
    // lost source made again on the server that runs now. True when it was; frames() is
    // then another, and the own time must be told again.
    virtual bool reconnect() noexcept { return false; }
};

} // namespace tambrel::midiout
