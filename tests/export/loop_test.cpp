// The loop that both exports are written from: the notes the step clock itself sends, and
// the MIDI file's time grid taken from the clock's own step period.

#include "export/loop.h"
#include "export/midi_file.h"
#include "patterns/preset_data.h"
#include "tests/export/clock_rig.h"
#include "tests/export/edge_pattern.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace tambrel::exporting;
using tambrel::testing::ClockRig;

TEST(PlayedLoop, EveryRhythmAsTheClockSendsIt) {
    for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
        const std::string caption(preset.caption);
        ClockRig rig;
        ASSERT_TRUE(rig.loadPreset(caption));
        for (const int bars : {1, 3}) {
            const Loop loop = playedLoop(rig.machine, bars);
            EXPECT_EQ(loop.notes, rig.play(bars)) << caption << ", " << bars << " bars";
            EXPECT_EQ(loop.steps(), bars * rig.machine.engine().stepsPerBar()) << caption;
        }
    }
}

TEST(PlayedLoop, AFileWithSilentAndUnknownTracksAtTheFastestTripletTempo) {
    const fs::path file =
        fs::temp_directory_path() / ("tambrel-loop-" + std::to_string(::getpid()) + ".qel");
    std::ofstream(file, std::ios::binary) << tambrel::testing::kEdgePattern;
    ClockRig rig;
    // Cell 4 is a column that 3/4 hides: it must stay silent.
    const LoopSource source{LoopSource::Kind::File, file.string()};
    ASSERT_EQ(loadSource(rig.machine, source), std::nullopt);
    rig.machine.engine().grid().set(1, 4, true);
    const Loop loop = playedLoop(rig.machine, 2);
    fs::remove(file);
    EXPECT_EQ(loop.notes, rig.play(2));
    EXPECT_EQ(loop.notes.size(), 2u * 17u);
    EXPECT_EQ(source.title(), file.stem().string());

    // Three 76 ms steps to the quarter note.
    EXPECT_EQ(loop.stepPeriodMs, 76);
    const MidiMeter meter = midiMeter(loop.timeSignature, loop.stepPeriodMs);
    EXPECT_EQ(meter.numerator, 3);
    EXPECT_EQ(meter.denominator, 4);
    EXPECT_EQ(meter.ticksPerStep, 320);
    EXPECT_EQ(meter.microsPerQuarter, 3 * 76000);
}

TEST(LoopSource, ReasonsForWhatCannotBeLoaded) {
    ClockRig rig;
    const std::string missing = (fs::temp_directory_path() / "tambrel-no-such.qel").string();
    EXPECT_EQ(loadSource(rig.machine, {LoopSource::Kind::File, missing}),
              "No such file or directory");
    EXPECT_EQ(loadSource(rig.machine, {LoopSource::Kind::Preset, "waltz"}),
              "no built-in rhythm has this caption");
    EXPECT_EQ((LoopSource{LoopSource::Kind::Preset, "12/8 Blues 1"}.title()), "12/8 Blues 1");
}

} // namespace
