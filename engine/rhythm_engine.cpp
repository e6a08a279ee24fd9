#include "rhythm_engine.h"

#include "transport_meter.h"

#include <algorithm>
#include <cmath>

namespace tambrel::engine {

RhythmEngine::RhythmEngine(platform::TimerService& timers, midiout::MidiOut* out)
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

void RhythmEngine::SelectTimeSignature(TimeSig sig) noexcept {
    if (sig == timeSignature()) {
        return;
    }
    StopPlayback();
    timeSig_.store(sig, std::memory_order_release);
    UpdateStepPeriod();
}

void RhythmEngine::selectTimeSignatureFromSelector() noexcept {
    SelectTimeSignature(timeSignatureAtPosition(timeSigSelector_.position()));
}

void RhythmEngine::UpdateStepPeriod() noexcept {
    if (following() && followedTempo_ > 0 && tempoSelector_.position() != followedTempo_) {
        if (followed_.source()->tempoChosen(tempoSelector_.position())) {
            // A session that shares its tempo has taken the spinner's.
            followedTempo_ = tempoSelector_.position();
        } else {
            // The followed program's tempo has the last word: the spinner goes back to it.
            tempoSelector_.setPosition(followedTempo_);
        }
    }
    const int p = tempoSelector_.position();
    tempo_ = p;
    stepPeriod_ = stepPeriodMs(timeSignature(), p);
    if (stopped_) {
        idleClocks();
    }
    tellSource();
}

void RhythmEngine::tellSource() noexcept {
    followed_.setStepsPerBar(stepsPerBar());
    if (FollowedSource* source = followed_.source()) {
        const TimeSig sig = timeSignature();
        source->setOwnTime({stepsPerBar(), clocksPerStep(sig),
                            static_cast<std::uint32_t>(stepPeriod_),
                            timeSignatureInfo(sig).tempoConstant});
    }
}

void RhythmEngine::setFollowedSource(FollowedSource* source) noexcept {
    haltClock();
    stopped_ = true;
    followedTempo_ = 0;
    followed_.setSource(source);
    timeline_ = source != nullptr ? static_cast<Timeline*>(&followed_) : &ownClock_;
    if (source != nullptr) {
        tellSource();
        trigger_.PrepareOutput();
        (void)followed_.start(0, &RhythmEngine::TimerCallback, this);
    }
}

void RhythmEngine::resumeAfterSwitch() noexcept {
    if (following()) {
        if (!followed_.running()) {
            (void)followed_.start(0, &RhythmEngine::TimerCallback, this);
        }
    } else if (!timeline_->running()) {
        // Gear that shows the tempo from the clock keeps it while no step is played.
        idleClocks();
    }
}

bool RhythmEngine::followTick() noexcept {
    if (!following() || !followed_.running()) {
        return false;
    }
    tellLatency();
    const FollowedGrid grid = followed_.source()->grid();
    bool changed = followRolling(grid.rolling);
    // A reading on the edge between two whole tempos (97.5) keeps the one shown until it
    // clearly leaves it, so the label does not flicker between the two.
    const bool moved =
        followedTempo_ == 0 || grid.tempo <= 0 || std::abs(grid.tempo - followedTempo_) >= 0.6;
    const int tempo = !moved           ? followedTempo_
                      : grid.tempo > 0 ? std::clamp(static_cast<int>(std::lround(grid.tempo)),
                                                    kTempoMin, kTempoMax)
                                       : 0;
    if (tempo != followedTempo_) {
        followedTempo_ = tempo;
        if (tempo > 0 && tempo != tempo_) {
            // The spinner moves to the source's tempo first: a source that shares its tempo
            // must not be offered back the one it replaces.
            tempoSelector_.setPosition(tempo);
            UpdateStepPeriod();
            changed = true;
        }
    }
    return changed;
}

void RhythmEngine::tellLatency() noexcept {
    if (midiout::MidiOut* out = trigger_.output()) {
        followed_.source()->setOutputLatency(out->latency(trigger_.handle()));
    }
}

bool RhythmEngine::followRolling(bool rolling) noexcept {
    if (rolling == !stopped_) {
        return false;
    }
    stopped_ = !rolling;
    if (rolling) {
        trigger_.PrepareOutput();
        clockOut_.endIdle();
    } else {
        clockOut_.stopped();
        idleClocks();
    }
    return true;
}

void RhythmEngine::setClockOut(ClockSink* sink, bool whileStopped) noexcept {
    clockOut_.setSink(sink, whileStopped);
    choosePace();
    if (stopped_) {
        idleClocks();
    }
}

void RhythmEngine::reconnectLost() noexcept {
    clockOut_.reconnect();
    // Each is remade only when it has lost its server.
    if (transportLead_ != nullptr) {
        (void)transportLead_->reconnect();
    }
    if (FollowedSource* source = followed_.source(); source != nullptr && source->reconnect()) {
        tellSource();
    }
    choosePace();
}

void RhythmEngine::setTransportLead(midiout::TransportLead* lead) noexcept {
    transportLead_ = lead;
    choosePace();
}

void RhythmEngine::choosePace() noexcept {
    const midiout::FrameClock* pace = clockOut_.pace();
    if (pace == nullptr && transportLead_ != nullptr) {
        pace = transportLead_->frameClock();
    }
    ownClock_.setPace(pace);
}

void RhythmEngine::idleClocks() noexcept {
    clockOut_.idle(static_cast<std::uint32_t>(stepPeriod_), clocksPerStep(timeSignature()));
}

void RhythmEngine::StartPlayback() noexcept {
    if (following()) {
        // The source says when the steps start; a halted follower looks again first.
        trigger_.PrepareOutput();
        if (!followed_.running()) {
            (void)followed_.start(0, &RhythmEngine::TimerCallback, this);
        }
        // A still window may not have looked for a while: the start is timed by the
        // latency as it stands now.
        tellLatency();
        followed_.source()->playPressed();
        return;
    }
    stepCounter_.store(0, std::memory_order_release);
    trigger_.PrepareOutput();
    clockOut_.endIdle();
    startPending_.store(true, std::memory_order_release);
    StartStepTimer();
    stopped_ = false;
    if (transportLead_ != nullptr && timeline_ == &ownClock_ && ownClock_.running()) {
        const auto periodMs = runningPeriodMs_.load(std::memory_order_acquire);
        transportLead_->started(ownClock_.dueOf(1), transportMeter(timeSignature(), periodMs));
    }
}

void RhythmEngine::StopPlayback() noexcept {
    if (following()) {
        if (!followed_.running()) {
            stopped_ = true;
            (void)followed_.start(0, &RhythmEngine::TimerCallback, this);
        }
        followed_.source()->stopPressed();
        return;
    }
    haltClock();
    stopped_ = true;
    idleClocks();
}

void RhythmEngine::KillStepTimer(std::uint32_t id) noexcept {
    // The own clock's identifier is spent once stopped: a later Stop, switch or close must
    // not end anything.
    if (id != 0 && id == ownClock_.timerId()) {
        ownClock_.stop();
    } else {
        timers_.kill(id);
    }
}

void RhythmEngine::haltClock() noexcept {
    timeline_->stop();
    clockOut_.stopped();
    if (transportLead_ != nullptr) {
        transportLead_->stopped();
    }
}

void RhythmEngine::StartStepTimer() noexcept {
    const std::uint32_t resolution = ChooseTimerResolution(1);
    (void)resolution; // the kernel's timers need no coarser grain
    runningPeriodMs_.store(static_cast<std::uint32_t>(stepPeriod_), std::memory_order_release);
    (void)timeline_->start(static_cast<std::uint32_t>(stepPeriod_), &RhythmEngine::TimerCallback,
                           this);
}

std::uint32_t RhythmEngine::ChooseTimerResolution(std::uint32_t wanted) noexcept {
    const platform::TimerCaps caps = timers_.caps();
    std::uint32_t r = std::max(caps.periodMin, wanted);
    r = std::min(r, caps.periodMax);
    timers_.requestResolution(r);
    return r;
}

void RhythmEngine::TimerCallback(void* engine, const TimelineStep& step) noexcept {
    static_cast<RhythmEngine*>(engine)->StepTick(step);
}

void RhythmEngine::StepTick(const TimelineStep& step) noexcept {
    const int n =
        step.stepInBar > 0 ? step.stepInBar : stepCounter_.load(std::memory_order_relaxed) + 1;
    stepCounter_.store(n, std::memory_order_relaxed);
    const StepString s = BuildStepString(n);
    trigger_.SendStepNotes(s.view(), step.due);
    if (clockOut_.active()) {
        const auto length = step.length.count() > 0
                                ? step.length
                                : std::chrono::nanoseconds(std::chrono::milliseconds(
                                      runningPeriodMs_.load(std::memory_order_acquire)));
        const bool first = startPending_.exchange(false, std::memory_order_acq_rel);
        clockOut_.step(step.due, length, clocksPerStep(timeSignature()), first || step.start);
    }
    if (n >= stepsPerBar()) {
        stepCounter_.store(0, std::memory_order_relaxed);
    }
}

PlayState RhythmEngine::playState() const noexcept {
    if (following()) {
        // Polling, the source's start and stop are what followTick last saw.
        if (stopped_) {
            return PlayState::Stopped;
        }
        return followed_.running() ? PlayState::Playing : PlayState::Halted;
    }
    if (timeline_->running()) {
        return PlayState::Playing;
    }
    return stopped_ ? PlayState::Stopped : PlayState::Halted;
}

} // namespace tambrel::engine
