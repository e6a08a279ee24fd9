#include "jack_transport_follow.h"

#include "backends/jack/jack_placement.h"
#include "backends/jack/sanitizer_handover.h"

#include <algorithm>
#include <cmath>
#include <jack/jack.h>
#include <optional>

namespace tambrel::backends {

namespace {

// A bar start read from a position is known to within a tick, and the frames themselves
// to within rounding: a frame of slack each side keeps exact readings from excluding each
// other.
constexpr double kSlackFrames = 1.0;

// Bars that a master tells, and that make sense: some tell nonsense while the transport
// starts after a move (jack_transport's own master counts ticks past the beat), and those
// periods go by Tambrel's own bars instead.
bool hasMasterBars(const jack_position_t& p) noexcept {
    return (p.valid & JackPositionBBT) != 0 && p.beats_per_minute > 0 && p.beats_per_bar > 0 &&
           p.ticks_per_beat > 0 && p.bar >= 1 && p.beat >= 1 &&
           p.beat <= std::ceil(p.beats_per_bar) && p.tick >= 0 && p.tick < p.ticks_per_beat;
}

} // namespace

TransportBars transportBars(const jack_position_t& p, const OwnTime& own) noexcept {
    TransportBars bars;
    const double rate = p.frame_rate;
    const int steps = own.stepsPerBar;
    if (rate <= 0 || steps <= 0) {
        return bars;
    }
    if (hasMasterBars(p)) {
        const double framesPerBeat = rate * 60.0 / p.beats_per_minute;
        bars.fromMaster = true;
        bars.framesPerBar = framesPerBeat * p.beats_per_bar;
        bars.bar = p.bar - 1;
        bars.sinceBar = ((p.beat - 1) + p.tick / p.ticks_per_beat) * framesPerBeat;
        if ((p.valid & JackBBTFrameOffset) != 0) {
            bars.sinceBar -= p.bbt_offset; // the bars describe a frame that much later
        }
        bars.uncertainty = framesPerBeat / p.ticks_per_beat;
        // The tempo label shows the tempo at which Tambrel's own bar would last as long as
        // the master's: a step period is tempoConstant / tempo ms, so a bar of B ms is
        // stepsPerBar x tempoConstant / B. A 4/4 master at 120 beats a minute reads 120.
        const double barMs = bars.framesPerBar * 1000.0 / rate;
        bars.tempo = steps * own.tempoConstant / barMs;
    } else if (own.periodMs > 0) {
        // No master: Tambrel's own bars, from the transport's frame 0.
        bars.framesPerBar = static_cast<double>(own.periodMs) * steps * rate / 1000.0;
        bars.bar = static_cast<std::int64_t>(std::floor(p.frame / bars.framesPerBar));
        bars.sinceBar = p.frame - static_cast<double>(bars.bar) * bars.framesPerBar;
    }
    return bars;
}

double BarStartEstimate::update(std::uint32_t frame, const TransportBars& bars) noexcept {
    const double latest = frame - bars.sinceBar + kSlackFrames;
    const double earliest = frame - bars.sinceBar - bars.uncertainty - kSlackFrames;
    if (known_ && framesPerBar_ == bars.framesPerBar) {
        // The same bars seen again: the reading narrows the estimate of bar_'s start.
        const double shift = static_cast<double>(bars.bar - bar_) * framesPerBar_;
        const double from = std::max(earliest_, earliest - shift);
        const double to = std::min(latest_, latest - shift);
        if (from <= to) {
            earliest_ = from;
            latest_ = to;
            return (earliest_ + latest_) / 2;
        }
    }
    // A new tempo, a master that drifted from its own bars, or the first reading.
    known_ = true;
    bar_ = bars.bar;
    framesPerBar_ = bars.framesPerBar;
    earliest_ = earliest;
    latest_ = latest;
    return (earliest_ + latest_) / 2;
}

std::unique_ptr<JackTransportFollow>
JackTransportFollow::open(std::shared_ptr<JackMidiClient> client, std::string& why) {
    if (client == nullptr || !client->alive()) {
        why = "JACK transport follow needs a JACK server (PipeWire's JACK counts), and none is "
              "running";
        return nullptr;
    }
    std::unique_ptr<JackTransportFollow> follow(new JackTransportFollow(std::move(client)));
    jack_client_t* handle = follow->client_->handle();
    follow->periodFrames_.store(jack_get_buffer_size(handle), std::memory_order_relaxed);
    if (jack_set_sync_callback(handle, &JackTransportFollow::onSync, follow.get()) != 0) {
        why = "JACK transport could not be followed: the server refused Tambrel's sync callback";
        return nullptr;
    }
    follow->syncing_ = true;
    if (!follow->client_->addCycleListener(follow.get())) {
        why = "JACK transport could not be followed: Tambrel's client has no room for it";
        return nullptr;
    }
    follow->listening_ = true;
    return follow;
}

JackTransportFollow::JackTransportFollow(std::shared_ptr<JackMidiClient> client)
    : client_(std::move(client)) {}

JackTransportFollow::~JackTransportFollow() {
    if (listening_) {
        (void)client_->removeCycleListener(this);
    }
    if (syncing_ && client_->alive()) {
        jack_set_sync_callback(client_->handle(), nullptr, nullptr);
        // A sync callback already under way ends with its period.
        client_->waitForCycle(client_->cycles());
    }
    // A start still held in the outputs would never be released now.
    client_->setRelease({});
}

midiout::FollowedGrid JackTransportFollow::grid() const noexcept {
    return grid_.read();
}

void JackTransportFollow::publish(const midiout::FollowedGrid& g) noexcept {
    grid_.publish(g);
}

std::int64_t JackTransportFollow::delayFrames() const noexcept {
    return jackDelayFrames(periodFrames_.load(std::memory_order_relaxed), client_->sampleRate());
}

void JackTransportFollow::setOwnTime(const OwnTime& own) noexcept {
    own_.publish(own);
}

OwnTime JackTransportFollow::ownTime() const noexcept {
    return own_.read();
}

void JackTransportFollow::playPressed() noexcept {
    if (client_->alive()) {
        jack_transport_start(client_->handle());
    }
}

void JackTransportFollow::stopPressed() noexcept {
    if (client_->alive()) {
        jack_transport_stop(client_->handle());
    }
}

int JackTransportFollow::onSync(jack_transport_state_t state, jack_position_t* position,
                                void* self) noexcept {
    markTakenOver(&kJackTransportPosition);
    const int ready = static_cast<JackTransportFollow*>(self)->sync(state, *position);
    markHandedOver(&kJackTransportPosition);
    return ready;
}

// Where a start from `position` puts its first step: the first step at or after it, and its
// frames after the roll. Nothing without bars to put a step on.
std::optional<midiout::FollowedGrid>
JackTransportFollow::startGrid(const jack_position_t& position) const noexcept {
    const OwnTime own = ownTime();
    const TransportBars bars = transportBars(position, own);
    if (bars.framesPerBar <= 0) {
        return std::nullopt;
    }
    midiout::FollowedGrid g;
    g.rolling = true;
    g.awaitingRelease = true;
    g.framesPerStep = bars.framesPerBar / own.stepsPerBar;
    g.tempo = bars.tempo;
    const double intoBar = std::max(0.0, bars.sinceBar - kSlackFrames);
    const auto first = static_cast<std::int64_t>(std::ceil(intoBar / g.framesPerStep));
    g.anchorStep = bars.bar * own.stepsPerBar + first;
    g.anchorFrame = static_cast<std::uint32_t>(std::max<std::int64_t>(
        0, std::llround(static_cast<double>(first) * g.framesPerStep - bars.sinceBar)));
    return g;
}

// The process thread, before the period, while the transport is starting (from a stop or
// after a move while rolling): ready once the step clock has prepared the start's first step.
// A master may tell the new position's bars only a period after the move: a start whose
// first step changes is a start anew, and the step prepared for the one before is dropped.
int JackTransportFollow::sync(jack_transport_state_t state,
                              const jack_position_t& position) noexcept {
    if (state != JackTransportStarting || !slowSync_.load(std::memory_order_acquire)) {
        return 1;
    }
    std::optional<midiout::FollowedGrid> g = startGrid(position);
    if (!g) {
        return 1; // nothing to prepare
    }
    const midiout::FollowedGrid& was = now_.startGrid;
    if (!now_.awaiting || position.frame != now_.startFrame || g->anchorStep != was.anchorStep ||
        g->anchorFrame != was.anchorFrame || g->framesPerStep != was.framesPerStep) {
        g->epoch = ++now_.epoch;
        now_.estimate.reset();
        if (!now_.awaiting || position.frame != now_.startFrame) {
            now_.waitingSince = jack_last_frame_time(client_->handle());
        }
        now_.awaiting = true;
        now_.startFrame = position.frame;
        now_.startGrid = *g;
        // The outputs hold the step before the step clock can see the grid that asks for it.
        client_->setRelease({ReleasePhase::Awaiting, 0, ++now_.start});
        publish(*g);
    }
    if (prepared_.load(std::memory_order_acquire) == now_.epoch) {
        return 1;
    }
    const std::uint32_t waited = jack_last_frame_time(client_->handle()) - now_.waitingSince;
    return waited >= kSyncTimeoutSeconds * client_->sampleRate() ? 1 : 0;
}

void JackTransportFollow::cycle(std::uint32_t cycleStart, std::uint32_t frames) noexcept {
    periodFrames_.store(frames, std::memory_order_relaxed);
    jack_position_t position{};
    markTakenOver(&kJackTransportPosition);
    const jack_transport_state_t state = jack_transport_query(client_->handle(), &position);
    markHandedOver(&kJackTransportPosition);
    if (now_.awaiting) {
        if (state == JackTransportRolling) {
            release(cycleStart);
            expect(cycleStart, position.frame, true);
            return;
        }
        if (state == JackTransportStarting) {
            return; // the sync callback keeps the start's grid
        }
        // Stopped before it rolled: that start's step is thrown away.
        now_.awaiting = false;
        ++now_.epoch;
        client_->setRelease({ReleasePhase::Cancelled, 0, now_.start});
    }
    follow(cycleStart, state, position);
    expect(cycleStart, position.frame, state == JackTransportRolling);
}

void JackTransportFollow::expect(std::uint32_t cycleStart, std::uint32_t frame,
                                 bool rolling) noexcept {
    now_.expectedFrame = frame;
    now_.expectedCycle = cycleStart;
    now_.expectRolling = rolling;
}

// The first rolling period of a start: its first step is heard `anchorFrame` frames after
// this period's first frame, the transport's start position.
void JackTransportFollow::release(std::uint32_t cycleStart) noexcept {
    now_.awaiting = false;
    now_.rolling = true;
    now_.seen = true;
    now_.own = ownTime();
    midiout::FollowedGrid g = now_.startGrid;
    g.awaitingRelease = false;
    g.anchorFrame += cycleStart;
    client_->setRelease({ReleasePhase::Released, cycleStart, now_.start});
    publish(g);
}

void JackTransportFollow::follow(std::uint32_t cycleStart, jack_transport_state_t state,
                                 const jack_position_t& position) noexcept {
    const OwnTime own = ownTime();
    const int steps = own.stepsPerBar;
    const TransportBars bars = transportBars(position, own);
    const bool rolling = state == JackTransportRolling;
    const std::uint32_t expected =
        now_.expectedFrame + (now_.expectRolling ? cycleStart - now_.expectedCycle : 0);
    const bool moved = !now_.seen || position.frame != expected;
    // Tambrel's own tempo or signature moves its own bars; a master's stay where they are
    // unless the steps of the bar are counted anew.
    const bool regrid = own != now_.own && (!bars.fromMaster || steps != now_.own.stepsPerBar);
    if (rolling != now_.rolling || moved || regrid) {
        ++now_.epoch;
        now_.estimate.reset();
    }
    if (now_.rolling && !rolling) {
        client_->setRelease({ReleasePhase::Stopped, cycleStart, now_.start});
    }
    now_.seen = true;
    now_.rolling = rolling;
    now_.own = own;
    midiout::FollowedGrid g;
    g.epoch = now_.epoch;
    g.rolling = rolling;
    g.tempo = bars.tempo;
    if (bars.framesPerBar > 0) {
        const double barStart = now_.estimate.update(position.frame, bars);
        g.framesPerStep = bars.framesPerBar / steps;
        g.anchorStep = now_.estimate.bar() * steps;
        // Transport frame T is heard on server frame cycleStart + (T - position.frame).
        g.anchorFrame = cycleStart + static_cast<std::uint32_t>(static_cast<std::int64_t>(
                                         std::llround(barStart - position.frame)));
    }
    publish(g);
}

} // namespace tambrel::backends
