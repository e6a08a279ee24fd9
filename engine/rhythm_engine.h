#pragma once
// The rhythm engine: the pattern grid under its time signature, the step clock that plays
// one step per step of its timeline (timeline.h; Tambrel's own clock unless a source of
// time is followed), and the note trigger. It holds the state the rules need (the
// tempo and time-signature selectors, the tempo in force, whether the clock is stopped,
// playing or halted) without any toolkit, so the same code serves the window, the tests
// and the command-line tool.
//
// Threads: every method runs on the window's thread except the tick (TimerCallback and
// StepTick), which runs on the timer's thread.

#include "followed_timeline.h"
#include "midi_clock_out.h"
#include "note_trigger.h"
#include "own_clock.h"
#include "pattern_grid.h"
#include "selector.h"
#include "time_signature.h"
#include "timeline.h"

#include "midiout/transport_lead.h"
#include "platform/periodic_timer.h"

#include <atomic>
#include <cstdint>

namespace tambrel::engine {

// Stopped: Play comes next. Playing: the clock runs. Halted: a device switch ended the
// clock, and Stop comes next as if it still ran.
enum class PlayState { Stopped, Playing, Halted };

class RhythmEngine {
public:
    explicit RhythmEngine(platform::TimerService& timers, midiout::MidiOut* out = nullptr);
    ~RhythmEngine(); // ends a running timer: no tick outlives the engine
    RhythmEngine(const RhythmEngine&) = delete;
    RhythmEngine& operator=(const RhythmEngine&) = delete;

    PatternGrid& grid() noexcept { return grid_; }
    const PatternGrid& grid() const noexcept { return grid_; }
    NoteTrigger& trigger() noexcept { return trigger_; }
    const NoteTrigger& trigger() const noexcept { return trigger_; }

    // --- time signature and grid
    TimeSig timeSignature() const noexcept { return timeSig_.load(std::memory_order_acquire); }
    std::string_view timeSignatureText() const noexcept {
        return engine::timeSignatureText(timeSignature());
    }
    int stepsPerBar() const noexcept { return engine::stepsPerBar(timeSignature()); }
    StepString BuildStepString(int step) const noexcept;
    // Does nothing for the signature in force; otherwise stops playback, switches, and
    // recomputes the step period.
    void SelectTimeSignature(TimeSig sig) noexcept;
    void ClearPattern() noexcept { grid_.clear(); }
    // Positions 1 to 4, wrapping; nothing but its clicks moves it.
    Selector& timeSignatureSelector() noexcept { return timeSigSelector_; }
    const Selector& timeSignatureSelector() const noexcept { return timeSigSelector_; }
    // Selects the signature at the selector's position (the one before the click).
    void selectTimeSignatureFromSelector() noexcept;

    // --- tempo
    // 30 to 260, no wrapping. Its position may be a click ahead of the tempo in force.
    Selector& tempoSelector() noexcept { return tempoSelector_; }
    const Selector& tempoSelector() const noexcept { return tempoSelector_; }
    // The tempo in force: the selector's position when UpdateStepPeriod last ran.
    int tempo() const noexcept { return tempo_; }
    int stepPeriod() const noexcept { return stepPeriod_; }
    // Takes the tempo selector's position as the tempo and derives the step period from
    // it. A running clock keeps its period until the next Play.
    void UpdateStepPeriod() noexcept;

    // --- step clock
    void StartPlayback() noexcept;
    void StopPlayback() noexcept;
    void KillStepTimer(std::uint32_t id) noexcept;
    void StartStepTimer() noexcept;
    std::uint32_t ChooseTimerResolution(std::uint32_t wanted) noexcept;
    // The tick, on the timer's thread, and its whole contract: it reads only atomics
    // (the grid, the time signature, the track keys and velocities, the output), writes
    // only the step counter, and never locks, allocates, throws, waits or touches the
    // window. A change made on the window's thread is heard from the next tick that
    // reaches it. tests/e2e/tick_contract_test.cpp counts its allocations.
    // `due` is the step's moment on the timeline: every note of the step carries it.
    // A timeline that says which step of the bar it is (a followed transport or clock) sets
    // the step counter to it first.
    static void TimerCallback(void* engine, const TimelineStep& step) noexcept;
    void StepTick(const TimelineStep& step) noexcept;
    void StepTick(StepMoment due) noexcept { StepTick(TimelineStep{due}); }
    // A step due now (the tests and the benchmarks drive the clock by hand).
    void StepTick() noexcept { StepTick(TimelineClock::now()); }

    std::uint32_t runningTimerId() const noexcept { return ownClock_.timerId(); }
    PlayState playState() const noexcept;
    int stepCounter() const noexcept { return stepCounter_.load(); }

    // Ends a running timer and leaves the state Halted (device switch, window close).
    void haltClock() noexcept;

    // --- MIDI clock out (midi_clock_out.h): off until a sink is set, while stopped. A sink
    // with a frame clock paces the step clock by it (own_clock.h).
    void setClockOut(ClockSink* sink, bool whileStopped) noexcept;
    const MidiClockOut& clockOut() const noexcept { return clockOut_; }
    // Window's thread, while halted (a device switch): the clock out's port, the transport
    // lead and the followed source made again if their server went (a JACK server
    // restarted), as choosing the output again reopens the notes' device; the step clock is
    // paced by the new server's frames.
    void reconnectLost() noexcept;

    // --- transport lead (midiout/transport_lead.h): off until set, while stopped. Told of
    // Play and of every stop on the window's thread; a lead with a frame clock paces the
    // step clock by it (when the clock out has none of its own).
    void setTransportLead(midiout::TransportLead* lead) noexcept;

    // --- following another program's time (midiout/followed_time.h): off until set, while stopped.
    // While following, the source's steps are played for as long as it rolls: Play and
    // Stop are passed to the source (a transport starts and stops with them; a MIDI clock
    // has the last word), and the tempo in force is the source's, whenever it gives one.
    void setFollowedSource(FollowedSource* source) noexcept;
    bool following() const noexcept { return followed_.source() != nullptr; }
    // Window's thread, every few milliseconds while following: Play and Stop and the tempo
    // brought to what the source says. True when anything the window shows changed.
    bool followTick() noexcept;
    // Window's thread, while a source is followed: the window is told (on any thread) when
    // the source's grid may have changed while it stands still, and need not call followTick
    // meanwhile. False when the source does not tell. An empty listener ends that.
    bool listenToFollowed(midiout::ChangeListener listener) noexcept {
        return following() && followed_.source()->listen(midiout::Listener::Window, listener);
    }
    // Window's thread, once a new device is open: a switch halts the steps, and following
    // goes on with the new device rather than waiting for Play or Stop; on Tambrel's own
    // clock the clock out's clocks while stopped run on meanwhile, as after Stop.
    void resumeAfterSwitch() noexcept;

private:
    // While stopped: the clock out's idle clocks, at the tempo and signature in force.
    void idleClocks() noexcept;
    // While stopped: the frame clock the next runs are paced by.
    void choosePace() noexcept;
    // The own time in force, told to the followed source.
    void tellSource() noexcept;
    // Follows the source's start and stop (followTick).
    bool followRolling(bool rolling) noexcept;
    // The open output's latency, told to the source (a start is timed by it).
    void tellLatency() noexcept;

    platform::TimerService& timers_;
    OwnClockTimeline ownClock_{timers_};
    FollowedTimeline followed_{timers_};
    Timeline* timeline_ = &ownClock_; // the source of time in force
    MidiClockOut clockOut_{timers_};
    midiout::TransportLead* transportLead_ = nullptr; // window's thread
    // Set at Play, taken by the first step: that step's clock starts the receiver.
    std::atomic<bool> startPending_{false};
    // The step period the running clock was started with (its steps' clocks last that).
    std::atomic<std::uint32_t> runningPeriodMs_{0};
    PatternGrid grid_;
    NoteTrigger trigger_;
    std::atomic<TimeSig> timeSig_{TimeSig::FourFour};
    std::atomic<int> stepCounter_{0};
    Selector tempoSelector_{kTempoMin, kTempoMax, kTempoStart, false};
    Selector timeSigSelector_{1, 4, 1, true};
    int tempo_ = kTempoStart;
    int stepPeriod_ = stepPeriodMs(TimeSig::FourFour, kTempoStart);
    bool stopped_ = true;   // Play is what comes next
    int followedTempo_ = 0; // the source's tempo as the spinner shows it; 0: none given
};

} // namespace tambrel::engine
