// Applies every built-in rhythm to a machine and checks the end state against the
// independent transcription of the preset tables, step by step through the grid columns.

#include "patterns/presets.h"

#include "midi/drum_catalogue.h"
#include "patterns/pattern_file.h"
#include "tests/patterns/machine_state.h"
#include "tests/patterns_presets/preset_tables.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace tambrel::patterns {
namespace {

using engine::PlayState;
using engine::TimeSig;
using preset_tables::kExpected;
using testing::MachineState;
using testing::stateOf;

// Grid column of each step, written out again here rather than taken from the engine.
std::vector<int> columnsOf(std::string_view sig) {
    if (sig == "12/8") {
        return {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15};
    }
    if (sig == "3/4") {
        return {1, 2, 3, 5, 6, 7, 9, 10, 11};
    }
    if (sig == "6/8") {
        return {1, 2, 5, 6, 9, 10};
    }
    return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}

int tempoConstant(std::string_view sig) {
    return sig == "4/4" ? 15000 : sig == "6/8" ? 30000 : 20000;
}

// A machine far from the start: another signature and tempo, other tracks, cells on in
// every column (hidden ones too).
void makeBusy(machine::Machine& machine, TimeSig sig) {
    machine.engine().SelectTimeSignature(sig);
    machine.engine().tempoSelector().setPosition(251);
    machine.engine().UpdateStepPeriod();
    for (int t = 1; t <= 8; ++t) {
        machine.tracks().applyTrackInfo(t, 3 * t, "Maracas");
        for (int c = 1; c <= 16; ++c) {
            machine.engine().grid().set(t, c, (c + t) % 2 == 0 || c == 16);
        }
    }
}

const Preset& preset(std::string_view caption) {
    const Preset* found = findPreset(caption);
    if (found == nullptr) {
        throw std::runtime_error("no preset " + std::string(caption));
    }
    return *found;
}

TEST(ApplyPreset, EveryPresetEndsAsItsTable) {
    const auto presets = allPresets();
    ASSERT_EQ(presets.size(), std::size(kExpected));
    for (std::size_t i = 0; i < presets.size(); ++i) {
        const preset_tables::ExpectedPreset& want = kExpected[i];
        SCOPED_TRACE(want.caption);
        ASSERT_EQ(presets[i].caption, want.caption);

        machine::Machine machine;
        makeBusy(machine, want.timeSignature == "6/8" ? TimeSig::TwelveEight : TimeSig::SixEight);
        applyPreset(machine, presets[i]);
        const MachineState s = stateOf(machine);

        EXPECT_EQ(s.timeSignature, want.timeSignature);
        EXPECT_EQ(s.timeSignatureSelector, 1); // the spinner does not move; the label does
        EXPECT_EQ(s.tempoSelector, want.tempo);
        EXPECT_EQ(s.tempo, want.tempo);
        EXPECT_EQ(s.stepPeriod, tempoConstant(want.timeSignature) / want.tempo);

        const std::vector<int> columns = columnsOf(want.timeSignature);
        for (std::size_t t = 0; t < 8; ++t) {
            SCOPED_TRACE("track " + std::to_string(t + 1));
            const preset_tables::TrackRow& track = want.tracks[t];
            EXPECT_EQ(s.tracks[t].instrument, track.instrument);
            EXPECT_EQ(s.tracks[t].key, midi::drumKey(track.instrument));
            EXPECT_NE(s.tracks[t].key, 0); // every table instrument is in the catalogue
            EXPECT_EQ(s.tracks[t].volume, track.velocity);
            EXPECT_EQ(s.tracks[t].velocity, track.velocity);

            const std::string steps = preset_tables::bar(track, want.timeSignature);
            std::string cells(16, '0');
            for (std::size_t k = 0; k < steps.size() && k < columns.size(); ++k) {
                if (steps[k] == 'x') {
                    cells[static_cast<std::size_t>(columns[k] - 1)] = '1';
                }
            }
            EXPECT_EQ(s.cells[t], cells);
        }
    }
}

TEST(ApplyPreset, EndStateDoesNotDependOnWhatCameBefore) {
    machine::Machine chain; // every preset applied after the previous one
    for (const Preset& p : allPresets()) {
        SCOPED_TRACE(p.caption);
        machine::Machine fresh;
        applyPreset(fresh, p);
        const MachineState once = stateOf(fresh);
        applyPreset(fresh, p);
        EXPECT_EQ(stateOf(fresh), once); // chosen twice: the same state

        machine::Machine busy;
        makeBusy(busy, TimeSig::ThreeFour);
        applyPreset(busy, p);
        EXPECT_EQ(stateOf(busy), once);

        applyPreset(chain, p);
        EXPECT_EQ(stateOf(chain), once);
    }
}

TEST(ApplyPreset, FifteenStepPresetClearsStepSixteen) {
    const Preset& trainBeat = preset("Train Beat");
    ASSERT_EQ(trainBeat.timeSignature, "4/4");
    ASSERT_EQ(trainBeat.steps.size(), 15u);
    machine::Machine machine;
    for (int t = 1; t <= 8; ++t) {
        machine.engine().grid().set(t, 16, true);
    }
    applyPreset(machine, trainBeat);
    for (int t = 1; t <= 8; ++t) {
        EXPECT_FALSE(machine.engine().grid().isOn(t, 16)) << t;
    }
}

TEST(ApplyPreset, ShuffleTwoSetsTrackTwoToSeventyThree) {
    machine::Machine machine;
    applyPreset(machine, preset("Shuffle 2"));
    EXPECT_EQ(machine.tracks().volume(2), 73);
    EXPECT_EQ(machine.engine().trigger().velocity(2), 73);
    EXPECT_EQ(machine.tracks().volume(1), 100);
    // The next default-kit preset brings track 2 back to the kit's 100.
    applyPreset(machine, preset("Shuffle 1"));
    EXPECT_EQ(machine.tracks().volume(2), 100);
    EXPECT_EQ(machine.engine().trigger().velocity(2), 100);
}

TEST(ApplyPreset, SameSignatureKeepsTheClockRunningAnotherStopsIt) {
    for (const char* caption : {"Train Beat", "4 Beat Rock"}) { // full and default kit, 4/4
        machine::Machine machine;
        machine.engine().StartPlayback();
        const std::uint32_t timer = machine.engine().runningTimerId();
        applyPreset(machine, preset(caption));
        EXPECT_EQ(machine.engine().playState(), PlayState::Playing) << caption;
        EXPECT_EQ(machine.engine().runningTimerId(), timer) << caption;
        // The label shows the preset's tempo at once.
        EXPECT_EQ(machine.engine().tempo(), preset(caption).tempo) << caption;
    }
    for (const char* caption : {"Swing", "Waltz", "Shuffle Waltz"}) {
        machine::Machine machine;
        machine.engine().StartPlayback();
        applyPreset(machine, preset(caption));
        EXPECT_EQ(machine.engine().playState(), PlayState::Stopped) << caption;
        EXPECT_EQ(machine.engine().playState(), PlayState::Stopped) << caption;
        EXPECT_EQ(machine.engine().runningTimerId(), 0u) << caption;
    }
}

TEST(ApplyPreset, SavedPresetLoadsBackToTheSameState) {
    for (const Preset& p : allPresets()) {
        machine::Machine machine;
        applyPreset(machine, p);
        machine::Machine reloaded;
        ASSERT_TRUE(loadPatternBytes(reloaded, WritePatternText(BuildPatternLines(machine))))
            << p.caption;
        EXPECT_EQ(stateOf(reloaded), stateOf(machine)) << p.caption;
    }
}

TEST(ApplyDefaultKit, ResetsTracksGridAndTempoButNotTheSignature) {
    machine::Machine machine;
    makeBusy(machine, TimeSig::SixEight);
    ApplyDefaultKit(machine, 98);
    const MachineState s = stateOf(machine);
    EXPECT_EQ(s.timeSignature, "6/8");
    EXPECT_EQ(s.tempo, 98);
    EXPECT_EQ(s.stepPeriod, 30000 / 98);
    const MachineState start = stateOf(machine::Machine{});
    EXPECT_EQ(s.tracks, start.tracks);
    EXPECT_EQ(s.cells, start.cells);
}

TEST(FindPreset, ByExactCaption) {
    for (const Preset& p : allPresets()) {
        EXPECT_EQ(findPreset(p.caption), &p) << p.caption;
    }
    for (const char* caption : {"", "waltz", "Waltz ", "Shuffle", "Country Rhythms/Waltz"}) {
        EXPECT_EQ(findPreset(caption), nullptr) << caption;
    }
}

} // namespace
} // namespace tambrel::patterns
