#pragma once
// LinkSource over any Link whose clock may be chosen (ableton::BasicLink<Clock>): the
// program's is ableton::Link, on the network; the tests' runs on a clock they move and never
// joins a network. Include it only where a Link is made: it brings Link's headers.

#include "backends/link/link_grid.h"
#include "backends/link/link_source.h"
#include "midiout/published_grid.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tambrel::backends {

template <typename LinkType> class BasicLinkSource final : public LinkSource {
public:
    // Does not join: link().enable(true) does. `frames` must outlive the source unless
    // `owner` holds it. With `startStopSync`, Play and Stop are the session's (Link's
    // start/stop sync): every peer that shares them starts and stops together.
    BasicLinkSource(const midiout::FrameClock& frames, std::int64_t delayFrames, double tempo,
                    bool startStopSync = false,
                    std::shared_ptr<const midiout::FrameClock> owner = nullptr)
        : owner_(std::move(owner)), frames_(frames), delay_(delayFrames),
          startStopSync_(startStopSync), link_(tempo) {
        link_.enableStartStopSync(startStopSync);
        // A peer's tempo or start is looked at and shown at once, so that a still Tambrel
        // needs no looks in between (Link calls these on a thread of its own).
        link_.setTempoCallback([this](double) { changed(); });
        link_.setStartStopCallback([this](bool) { changed(); });
    }
    ~BasicLinkSource() override { link_.enable(false); }
    BasicLinkSource(const BasicLinkSource&) = delete;
    BasicLinkSource& operator=(const BasicLinkSource&) = delete;

    LinkType& link() noexcept { return link_; }

    midiout::FollowedGrid grid() const noexcept override {
        midiout::FollowedGrid grid = published_.read();
        // A tempo just proposed is the session's before the next look sees it there: the
        // spinner that proposed it does not flick back meanwhile.
        if (const double proposed = proposed_.load(std::memory_order_relaxed); proposed > 0) {
            // Not for long: a still Tambrel may not look again before a peer overtakes it.
            const auto age = midiout::MidiClock::now().time_since_epoch().count() -
                             proposedAt_.load(std::memory_order_relaxed);
            if (age < std::chrono::nanoseconds(kProposalLife).count()) {
                grid.tempo = proposed;
            }
        }
        return grid;
    }
    const midiout::FrameClock& frames() const noexcept override { return frames_; }
    // The open output's whole latency once the window has said it, so that a beat's note is
    // heard at the beat's time on the session's clock, as every peer hears its own.
    std::int64_t delayFrames() const noexcept override {
        const std::int64_t latency = latencyNanos_.load(std::memory_order_relaxed);
        return latency < 0 ? delay_
                           : static_cast<std::int64_t>(std::llround(static_cast<double>(latency) *
                                                                    frames_.sampleRate() / 1e9));
    }
    void setOutputLatency(std::chrono::nanoseconds latency) noexcept override {
        latencyNanos_.store(std::max<std::int64_t>(latency.count(), 0), std::memory_order_relaxed);
    }
    void setOwnTime(const midiout::OwnTime& own) noexcept override {
        own_.publish(own);
        changed();
    }
    void playPressed() noexcept override {
        pressed(true);
        changed();
    }
    void stopPressed() noexcept override {
        pressed(false);
        changed();
    }
    void look(midiout::Moment now) noexcept override;
    // Every change of a still session is told (listen): a stopped Tambrel is looked at only
    // now and then besides, and costs next to nothing.
    std::uint32_t stillLookMs() const noexcept override { return kStillLookMs; }
    bool listen(midiout::Listener who, midiout::ChangeListener listener) noexcept override {
        const std::lock_guard lock(listenersMutex_);
        listeners_[static_cast<std::size_t>(who)] = listener;
        return true;
    }

    bool tempoChosen(int tempo) noexcept override {
        proposeTempo(tempo);
        return true;
    }

    void proposeTempo(double tempo) noexcept override;
    std::size_t peers() const noexcept override { return link_.numPeers(); }

private:
    // Tempos this close are one: the session carries a tempo as whole microseconds a beat.
    static constexpr double kSameTempo = 0.01;
    // Looks after which a tempo proposed but not seen in the session gives way to the session's.
    static constexpr int kLooksAhead = 50;
    // How long a tempo proposed is shown before the session's own, seen or not: a still
    // Tambrel's window looks a little longer than that after a change (ui/main_window.cpp).
    static constexpr std::chrono::milliseconds kProposalLife{250};
    static constexpr std::uint32_t kStillLookMs = 1000;
    // How far past its moment a start's first step may still be handed over and be heard on
    // its beat: the output's latency holds 25 ms for a step clock that woke late, and the
    // step clock hands a step over up to 20 ms late; this keeps 5 ms of that for the look.
    static constexpr double kStartReachSeconds = 0.015;

    // Step clock's thread: where Play and Stop and the session's beats leave the steps.
    // `startBeat`: where a start of the session's own (start/stop sync) came, in beats.
    bool followPlay(const LinkLook& look, bool wanted, double startBeat) noexcept;
    // Window's thread: Play or Stop, Tambrel's alone or the session's.
    void pressed(bool play) noexcept;
    // Any thread but the step clock's: the listeners are told.
    void changed() noexcept {
        const std::lock_guard lock(listenersMutex_);
        for (const midiout::ChangeListener& listener : listeners_) {
            if (listener.changed != nullptr) {
                listener.changed(listener.user);
            }
        }
    }
    // The first beat whose step can still be heard on it: the look's beat, the output's
    // latency less the start's reach on.
    double reachableBeat(const LinkLook& look) const noexcept {
        const double seconds = std::max(
            static_cast<double>(delayFrames()) / frames_.sampleRate() - kStartReachSeconds, 0.0);
        return look.beat + seconds * look.bpm / 60.0;
    }
    // Where a start from `startBeat` begins: the session's next bar. Tambrel's own Play waits
    // a bar more when that bar's first step could no longer be heard on it, rather than play
    // one without its downbeat. A start the session shares is every peer's bar: one too near
    // is joined at its first step that can still be heard, in phase with the peers, rather
    // than a whole bar after them.
    std::int64_t startStepFor(const LinkLook& look, double startBeat) const noexcept {
        const double reachable = reachableBeat(look);
        const std::int64_t heardWhole =
            firstBarStepFrom(look.meter, std::max(startBeat, reachable));
        if (!startStopSync_) {
            return heardWhole;
        }
        const std::int64_t sessions = firstBarStepFrom(look.meter, std::max(startBeat, look.beat));
        return sessions < heardWhole ? std::max(sessions, firstStepFrom(look.meter, reachable))
                                     : heardWhole;
    }

    const std::shared_ptr<const midiout::FrameClock> owner_;
    const midiout::FrameClock& frames_;
    const std::int64_t delay_;
    const bool startStopSync_;
    std::atomic<std::int64_t> latencyNanos_{-1}; // -1: not said yet, delay_ holds
    // Before the Link, whose thread calls changed() until it is gone.
    std::mutex listenersMutex_;
    midiout::ChangeListener listeners_[2];
    LinkType link_;
    midiout::PublishedOwnTime own_;
    std::atomic<bool> playWanted_{false};
    // Window's thread: the tempo last proposed (Tambrel's units) until a look sees it; 0: none.
    std::atomic<double> proposed_{0};
    std::atomic<std::int64_t> proposedAt_{0}; // when, on the steady clock (nanoseconds)
    midiout::PublishedGrid published_;
    // The step clock's thread's own.
    RawClockMap clocks_;
    LinkLook last_;
    std::uint32_t epoch_ = 0;
    bool rolling_ = false;
    bool startReached_ = false;
    int proposalLooks_ = 0;
    std::int64_t startStep_ = 0;
};

template <typename LinkType> void BasicLinkSource<LinkType>::look(midiout::Moment now) noexcept {
    using std::chrono::nanoseconds;
    const nanoseconds before = midiout::MidiClock::now().time_since_epoch();
    const nanoseconds linkNow = link_.clock().micros();
    clocks_.sample(before, linkNow, midiout::MidiClock::now().time_since_epoch());

    const midiout::OwnTime own = own_.read();
    const auto session = link_.captureAudioSessionState();
    LinkLook look;
    look.bpm = session.tempo();
    look.meter = linkMeter(own, look.bpm);
    look.time = clocks_.linkTimeOf(now);
    look.beat = session.beatAtTime(look.time, look.meter.quantum);
    if (double proposed = proposed_.load(std::memory_order_relaxed); proposed > 0) {
        // Seen in the session, or overtaken there by a peer's: the session's tempo is shown.
        if (std::abs(proposed - look.meter.tempo) < kSameTempo || ++proposalLooks_ > kLooksAhead) {
            proposed_.compare_exchange_strong(proposed, 0, std::memory_order_relaxed);
            proposalLooks_ = 0;
        }
    }
    const bool sessionPlays = startStopSync_ && session.isPlaying();
    const bool wanted = startStopSync_ ? sessionPlays : playWanted_.load(std::memory_order_relaxed);
    const double startBeat =
        sessionPlays ? session.beatAtTime(session.timeForIsPlaying(), look.meter.quantum)
                     : look.beat;
    if (followPlay(look, wanted, startBeat)) {
        ++epoch_;
    }
    look.step = firstStepFrom(look.meter, look.beat);
    if (rolling_ && look.step <= startStep_) {
        look.step = startStep_;
    } else if (rolling_) {
        startReached_ = true;
    }
    look.stepTime = session.timeAtBeat(look.step * look.meter.beatsPerStep, look.meter.quantum);
    midiout::FollowedGrid grid = gridOf(look, clocks_, frames_);
    grid.epoch = epoch_;
    grid.rolling = rolling_;
    published_.publish(grid);
    last_ = look;
}

template <typename LinkType>
bool BasicLinkSource<LinkType>::followPlay(const LinkLook& look, bool wanted,
                                           double startBeat) noexcept {
    const bool counted = continues(last_, look);
    if (wanted != rolling_) {
        rolling_ = wanted;
        startReached_ = false;
        // Play waits for the session's next bar, in phase with every peer; a start the
        // session shares, for the first bar from the moment it started.
        startStep_ = startStepFor(look, startBeat);
        return true;
    }
    if (!counted && rolling_ && !startReached_) {
        // The session's beats jumped before the start came: the start moves to the next bar
        // of the session as it now counts.
        startStep_ = firstBarStepFrom(look.meter, reachableBeat(look));
    }
    return !counted;
}

template <typename LinkType> void BasicLinkSource<LinkType>::pressed(bool play) noexcept {
    playWanted_.store(play, std::memory_order_relaxed);
    if (!startStopSync_) {
        return;
    }
    // As every peer that shares start and stop does: a start is at once, its first beat on
    // the session's next bar.
    const midiout::OwnTime own = own_.read();
    const double quantum = linkMeter(own, 120).quantum;
    auto session = link_.captureAppSessionState();
    if (play) {
        session.setIsPlayingAndRequestBeatAtTime(true, link_.clock().micros(), 0, quantum);
    } else {
        session.setIsPlaying(false, link_.clock().micros());
    }
    link_.commitAppSessionState(session);
}

template <typename LinkType> void BasicLinkSource<LinkType>::proposeTempo(double tempo) noexcept {
    const midiout::OwnTime own = own_.read();
    auto session = link_.captureAppSessionState();
    session.setTempo(sessionTempoFor(own, tempo), link_.clock().micros());
    link_.commitAppSessionState(session);
    proposedAt_.store(midiout::MidiClock::now().time_since_epoch().count(),
                      std::memory_order_relaxed);
    proposed_.store(tempo, std::memory_order_relaxed);
    changed();
}

} // namespace tambrel::backends
