#pragma once
// The rhythm engine: the pattern grid under its time signature, the step clock that plays
// one step per timer tick, and the note trigger. It holds the state the window mirrors
// (tempo spinner and label, time-signature spinner and label, Play/Stop states) without
// any toolkit, so the same code serves the window, the tests and the command-line tool.
//
// Threads: every method runs on the window's thread except StepTick/TimerCallback, which
// run on the timer's thread and read only atomics.

#include "note_trigger.h"
#include "pattern_grid.h"
#include "spinner.h"
#include "time_signature.h"

#include "platform/periodic_timer.h"

#include <atomic>
#include <cstdint>

namespace tambrel::engine {

enum class PlayState { Stopped, Playing, Halted };

inline constexpr int kTempoMin = 30;
inline constexpr int kTempoMax = 260;
inline constexpr int kTempoStart = 120;

class RhythmEngine {
public:
    explicit RhythmEngine(platform::TimerService& timers, platform::MidiOut* out = nullptr);
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
    int stepsPerBar() const noexcept { return timeSignatureInfo(timeSignature()).stepsPerBar; }
    StepString BuildStepString(int step) const noexcept;
    // Does nothing for the signature in force; otherwise stops playback, switches, and
    // recomputes the step period.
    void SelectTimeSignature(TimeSig sig);
    void ClearPattern() noexcept { grid_.clear(); }
    Spinner& timeSignatureSpinner() noexcept { return timeSigSpinner_; }
    const Spinner& timeSignatureSpinner() const noexcept { return timeSigSpinner_; }
    // Time-signature spinner's handler: selects by the position before the click.
    void UpDown3Changing();

    // --- tempo
    Spinner& tempoSpinner() noexcept { return tempoSpinner_; }
    const Spinner& tempoSpinner() const noexcept { return tempoSpinner_; }
    // What the tempo label shows.
    int tempoShown() const noexcept { return tempoShown_; }
    int stepPeriod() const noexcept { return stepPeriod_; }
    // Shows the tempo spinner's position and derives the step period from it.
    void UpdateStepPeriod();
    void UpDown2Changing() { UpdateStepPeriod(); }

    // --- step clock
    void StartPlayback();
    void StopPlayback();
    void KillStepTimer(std::uint32_t id);
    void StartStepTimer();
    std::uint32_t ChooseTimerResolution(std::uint32_t wanted);
    static void TimerCallback(void* engine) noexcept;
    void StepTick() noexcept;

    std::uint32_t runningTimerId() const noexcept { return timerId_; }
    bool playEnabled() const noexcept { return playEnabled_; }
    bool stopEnabled() const noexcept { return !playEnabled_; }
    PlayState playState() const noexcept;
    int stepCounter() const noexcept { return stepCounter_.load(); }

    // Ends a running timer without touching the buttons (device switch, window close).
    void haltClock();

private:
    platform::TimerService& timers_;
    PatternGrid grid_;
    NoteTrigger trigger_;
    std::atomic<TimeSig> timeSig_{TimeSig::FourFour};
    std::atomic<int> stepCounter_{0};
    Spinner tempoSpinner_{kTempoMin, kTempoMax, kTempoStart, false};
    Spinner timeSigSpinner_{1, 4, 1, true};
    int tempoShown_ = kTempoStart;
    int stepPeriod_ = 15000 / kTempoStart;
    std::uint32_t timerId_ = 0;
    bool playEnabled_ = true;
};

} // namespace tambrel::engine
