#pragma once
// Where Tambrel's claves fall against another program's clicks, each recorded where it is
// heard (the sync and Link benchmarks): signed, so that a constant lead or lag shows.

#include "sound_recording.h"
#include "synth_timing_kit.h"

#include "midiout/midi_out.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tambrel::bench {

// The sound starts of a recording, on the recordings' clock: the clicks of a metronome
// (klick's, LinkHut's) or, with `claves`, Tambrel's claves on the built-in synth.
inline std::vector<double> onsetTimes(const testing::Recording& recording, bool claves) {
    const std::vector<std::int64_t> onsets =
        claves ? testing::findClavesOnsets(recording.samples) : recording.onsets(0.05f, 0.1);
    std::vector<double> times;
    times.reserve(onsets.size());
    for (const std::int64_t onset : onsets) {
        times.push_back(recording.timeOf(static_cast<std::size_t>(onset)));
    }
    return times;
}

// Each of `ours` against the nearest of `theirs` within `window` seconds, in microseconds:
// positive when ours is late.
inline std::vector<double> offsetsUs(const std::vector<double>& ours,
                                     const std::vector<double>& theirs, double window = 0.1) {
    std::vector<double> offsets;
    for (const double at : ours) {
        double nearest = INFINITY;
        for (const double click : theirs) {
            nearest = std::fabs(at - click) < std::fabs(nearest) ? at - click : nearest;
        }
        if (std::fabs(nearest) < window) {
            offsets.push_back(nearest * 1e6);
        }
    }
    return offsets;
}

inline std::vector<double> magnitudes(std::vector<double> values) {
    for (double& v : values) {
        v = std::fabs(v);
    }
    return values;
}

// The built-in synth, the first device of the list when a soundfont is there; 0 when none.
inline midiout::MidiOutHandle openSynth(midiout::MidiOut& out) {
    midiout::MidiOutHandle handle = 0;
    if (out.deviceCount() == 0 || out.open(0, &handle) != midiout::kMidiOk) {
        return 0;
    }
    return handle;
}

} // namespace tambrel::bench
