#include "backends/link/link_grid.h"

#include <cmath>

namespace tambrel::backends {

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// The tempo spinner's range: a session tempo outside it is followed at double or half speed.
constexpr double kSlowest = 30;
constexpr double kFastest = 260;
// A beat that lands this close under a step's boundary is taken to be on it: Link's times are
// whole microseconds, and a beat computed back from one may fall a hair short.
constexpr double kOnBoundary = 1e-6;

double ownBeatsPerStep(const midiout::OwnTime& own) noexcept {
    return own.clocksPerStep / 24.0;
}

} // namespace

LinkMeter linkMeter(const midiout::OwnTime& own, double bpm) noexcept {
    LinkMeter meter;
    meter.stepsPerBar = own.stepsPerBar;
    meter.beatsPerStep = ownBeatsPerStep(own);
    meter.quantum = own.stepsPerBar * meter.beatsPerStep;
    if (bpm <= 0 || own.tempoConstant <= 0) {
        return meter;
    }
    // A step lasts beatsPerStep x 60000 / bpm milliseconds: Tambrel's tempo is the tempo
    // constant over that.
    meter.tempo = own.tempoConstant * bpm / (meter.beatsPerStep * 60000.0);
    while (meter.tempo > kFastest) {
        meter.tempo /= 2;
        meter.beatsPerStep *= 2;
    }
    while (meter.tempo < kSlowest) {
        meter.tempo *= 2;
        meter.beatsPerStep /= 2;
    }
    return meter;
}

double sessionTempoFor(const midiout::OwnTime& own, double tempo) noexcept {
    if (own.tempoConstant <= 0) {
        return 0;
    }
    return tempo * ownBeatsPerStep(own) * 60000.0 / own.tempoConstant;
}

std::int64_t firstStepFrom(const LinkMeter& meter, double beat) noexcept {
    return static_cast<std::int64_t>(std::ceil(beat / meter.beatsPerStep - kOnBoundary));
}

std::int64_t firstBarStepFrom(const LinkMeter& meter, double beat) noexcept {
    const double barBeats = meter.stepsPerBar * meter.beatsPerStep;
    const auto bars = static_cast<std::int64_t>(std::ceil(beat / barBeats - kOnBoundary));
    return bars * meter.stepsPerBar;
}

void RawClockMap::sample(nanoseconds steadyBefore, nanoseconds raw,
                         nanoseconds steadyAfter) noexcept {
    rawMinusSteady_ = raw - (steadyBefore + (steadyAfter - steadyBefore) / 2);
}

midiout::Moment RawClockMap::momentOf(microseconds linkTime) const noexcept {
    return midiout::Moment(nanoseconds(linkTime) - rawMinusSteady_);
}

microseconds RawClockMap::linkTimeOf(midiout::Moment moment) const noexcept {
    return std::chrono::round<microseconds>(moment.time_since_epoch() + rawMinusSteady_);
}

midiout::FollowedGrid gridOf(const LinkLook& look, const RawClockMap& clocks,
                             const midiout::FrameClock& frames) noexcept {
    midiout::FollowedGrid grid;
    grid.anchorStep = look.step;
    grid.anchorFrame = frames.frameAt(clocks.momentOf(look.stepTime));
    if (look.bpm > 0) {
        grid.framesPerStep = look.meter.beatsPerStep * 60.0 / look.bpm * frames.sampleRate();
    }
    grid.tempo = look.meter.tempo;
    return grid;
}

bool continues(const LinkLook& previous, const LinkLook& next) noexcept {
    if (previous.meter.stepsPerBar != next.meter.stepsPerBar ||
        previous.meter.beatsPerStep != next.meter.beatsPerStep || previous.bpm <= 0) {
        return false;
    }
    const double minutes =
        std::chrono::duration<double, std::ratio<60>>(next.time - previous.time).count();
    const double expected = previous.beat + minutes * previous.bpm;
    return std::abs(next.beat - expected) <= next.meter.beatsPerStep / 4;
}

} // namespace tambrel::backends
