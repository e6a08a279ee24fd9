#include "rhythm_engine.h"

#include <algorithm>

namespace tambrel::engine {

RhythmEngine::RhythmEngine(platform::TimerService& timers, platform::MidiOut* out)
    : timers_(timers), trigger_(out) {}

RhythmEngine::~RhythmEngine() {
    haltClock();
}

StepString RhythmEngine::BuildStepString(int step) const noexcept {
    StepString s;
    // A tick that overlaps a change of signature finds its step beyond the new table
    // and plays nothing rather than reading past it.
    const int cell = cellForStep(timeSignature(), step);
    if (cell == 0) {
        return s;
    }
    for (int t = 1; t <= kTracks; ++t) {
        if (grid_.isOn(t, cell)) {
            s.chars[static_cast<std::size_t>(t - 1)] = '1';
        }
    }
    return s;
}

void RhythmEngine::SelectTimeSignature(TimeSig sig) {
    if (sig == timeSignature()) {
        return;
    }
    StopPlayback();
    timeSig_.store(sig, std::memory_order_release);
    UpdateStepPeriod();
}

void RhythmEngine::UpDown3Changing() {
    static constexpr TimeSig kByPosition[] = {TimeSig::FourFour, TimeSig::TwelveEight,
                                              TimeSig::ThreeFour, TimeSig::SixEight};
    const int position = std::clamp(timeSigSpinner_.position(), 1, 4);
    SelectTimeSignature(kByPosition[position - 1]);
}

void RhythmEngine::UpdateStepPeriod() {
    const int p = tempoSpinner_.position();
    tempoShown_ = p;
    stepPeriod_ = timeSignatureInfo(timeSignature()).tempoConstant / p;
}

void RhythmEngine::StartPlayback() {
    stepCounter_.store(0, std::memory_order_release);
    StartStepTimer();
    playEnabled_ = false;
}

void RhythmEngine::StopPlayback() {
    if (timerId_ != 0) {
        KillStepTimer(timerId_);
    }
    playEnabled_ = true;
}

void RhythmEngine::KillStepTimer(std::uint32_t id) {
    timers_.kill(id);
    // The identifier is spent: a later Stop, switch or close must not end anything.
    if (id == timerId_) {
        timerId_ = 0;
    }
}

void RhythmEngine::haltClock() {
    if (timerId_ != 0) {
        KillStepTimer(timerId_);
    }
}

void RhythmEngine::StartStepTimer() {
    const std::uint32_t resolution = ChooseTimerResolution(1);
    (void)resolution; // the kernel's timers need no coarser grain
    // A second Play while a timer runs (only possible from code) must not leave an
    // orphaned timer that nothing can stop.
    haltClock();
    timerId_ =
        timers_.start(static_cast<std::uint32_t>(stepPeriod_), &RhythmEngine::TimerCallback, this);
}

std::uint32_t RhythmEngine::ChooseTimerResolution(std::uint32_t wanted) {
    const platform::TimerCaps caps = timers_.caps();
    std::uint32_t r = std::max(caps.periodMin, wanted);
    r = std::min(r, caps.periodMax);
    timers_.requestResolution(r);
    return r;
}

void RhythmEngine::TimerCallback(void* engine) noexcept {
    static_cast<RhythmEngine*>(engine)->StepTick();
}

void RhythmEngine::StepTick() noexcept {
    const int n = stepCounter_.load(std::memory_order_relaxed) + 1;
    stepCounter_.store(n, std::memory_order_relaxed);
    const StepString s = BuildStepString(n);
    trigger_.SendStepNotes(s.view());
    if (n >= stepsPerBar()) {
        stepCounter_.store(0, std::memory_order_relaxed);
    }
}

PlayState RhythmEngine::playState() const noexcept {
    if (timerId_ != 0) {
        return PlayState::Playing;
    }
    return playEnabled_ ? PlayState::Stopped : PlayState::Halted;
}

} // namespace tambrel::engine
