#pragma once
// Tambrel's bar as a transport counts it (midiout/transport_lead.h). The beat is the note
// value the signature counts: a quarter in 4/4 (four steps) and 3/4 (three steps), an eighth
// in 12/8 and 6/8 (one step). A beat lasts a whole number of step periods, so a follower
// that multiplies the beats of a bar by the length of a beat gets Tambrel's bar exactly.

#include "time_signature.h"

#include "midiout/transport_lead.h"

#include <cstdint>

namespace tambrel::engine {

constexpr int stepsPerBeat(TimeSig sig) noexcept {
    switch (sig) {
    case TimeSig::FourFour:
        return 4;
    case TimeSig::ThreeFour:
        return 3;
    case TimeSig::TwelveEight:
    case TimeSig::SixEight:
        return 1;
    }
    return 4;
}

constexpr midiout::TransportMeter transportMeter(TimeSig sig, std::uint32_t periodMs) noexcept {
    const int perBeat = stepsPerBeat(sig);
    const bool eighths = sig == TimeSig::TwelveEight || sig == TimeSig::SixEight;
    return {stepsPerBar(sig) / perBeat, eighths ? 8 : 4,
            periodMs * static_cast<std::uint32_t>(perBeat)};
}

} // namespace tambrel::engine
