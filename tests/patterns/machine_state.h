#pragma once
// Everything a load or a preset may change, taken as one comparable value, so a test can
// say "nothing changed" or "the same state" about the whole machine at once.

#include "machine/machine.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

namespace tambrel::testing {

struct TrackState {
    std::string instrument;
    int volume = 0;
    std::int32_t key = 0;
    std::int32_t velocity = 0;
    bool operator==(const TrackState&) const = default;
};

struct MachineState {
    // Row t, character c: "1" when track t + 1's cell c + 1 is on, every cell included,
    // also those the time signature hides.
    std::array<std::string, 8> cells;
    std::string timeSignature;
    int stepsPerBar = 0;
    int timeSignatureSelector = 0;
    int tempoSelector = 0;
    int tempo = 0;
    int stepPeriod = 0;
    std::array<TrackState, 8> tracks;
    engine::PlayState playState = engine::PlayState::Stopped;
    std::uint32_t runningTimerId = 0;
    bool operator==(const MachineState&) const = default;
};

inline MachineState stateOf(const machine::Machine& machine) {
    const engine::RhythmEngine& engine = machine.engine();
    MachineState s;
    for (int t = 1; t <= engine::kTracks; ++t) {
        std::string& row = s.cells[static_cast<std::size_t>(t - 1)];
        for (int c = 1; c <= engine::kCells; ++c) {
            row += engine.grid().isOn(t, c) ? '1' : '0';
        }
        TrackState& track = s.tracks[static_cast<std::size_t>(t - 1)];
        track.instrument = machine.tracks().instrumentText(t);
        track.volume = machine.tracks().volume(t);
        track.key = engine.trigger().key(t);
        track.velocity = engine.trigger().velocity(t);
    }
    s.timeSignature = std::string(engine.timeSignatureText());
    s.stepsPerBar = engine.stepsPerBar();
    s.timeSignatureSelector = engine.timeSignatureSelector().position();
    s.tempoSelector = engine.tempoSelector().position();
    s.tempo = engine.tempo();
    s.stepPeriod = engine.stepPeriod();
    s.playState = engine.playState();
    s.runningTimerId = engine.runningTimerId();
    return s;
}

inline std::ostream& operator<<(std::ostream& os, const MachineState& s) {
    os << s.timeSignature << " (" << s.stepsPerBar << " steps, selector " << s.timeSignatureSelector
       << "), tempo selector " << s.tempoSelector << " in force " << s.tempo << " period "
       << s.stepPeriod << ", play state " << static_cast<int>(s.playState) << " timer "
       << s.runningTimerId << "\n";
    for (std::size_t t = 0; t < s.tracks.size(); ++t) {
        const TrackState& track = s.tracks[t];
        os << "  track " << t + 1 << " " << s.cells[t] << " '" << track.instrument << "' vol "
           << track.volume << " key " << track.key << " vel " << track.velocity << "\n";
    }
    return os;
}

} // namespace tambrel::testing
