// Both exports tell the same story: a rhythm rendered by tambrel-pattern render, and the
// MIDI file of tambrel-pattern midi rendered by FluidSynth's own command-line renderer with
// the same soundfont and gain, start their notes within 1 ms of each other and are
// equally loud within 1.5 dB.

#include "backends/synth/gm_synth.h"
#include "export/render_rates.h"
#include "tests/export/audio.h"
#include "tests/tools/tool_rig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>

namespace {

using tambrel::testing::Audio;
using tambrel::testing::Result;
using tambrel::testing::TambrelPatternTool;

struct Pair {
    Audio ours;
    Audio theirs;
};

class AgainstFluidSynth : public TambrelPatternTool {
protected:
    // `source`: a pattern file, or "--preset" and a rhythm's caption.
    Pair renderBothWays(const std::vector<std::string>& source, int bars) {
        const std::string soundfont = tambrel::backends::findGmSoundfont().value_or("");
        EXPECT_NE(soundfont, "") << "no General MIDI soundfont";
        const std::string mid = (dir / "loop.mid").string();
        const std::string ours = (dir / "ours.wav").string();
        const std::string theirs = (dir / "theirs.wav").string();
        const std::string count = std::to_string(bars);
        std::vector<std::string> midi = {"midi"};
        midi.insert(midi.end(), source.begin(), source.end());
        midi.insert(midi.end(), {mid, "--bars", count});
        EXPECT_EQ(run(midi).status, 0);
        std::vector<std::string> render = {"render"};
        render.insert(render.end(), source.begin(), source.end());
        render.insert(render.end(), {ours, "--bars", count, "--soundfont", soundfont});
        const Result r = run(render);
        EXPECT_EQ(r.status, 0) << r.err;
        // At the rate ours renders at unless told.
        const std::vector<std::string> fluidsynth = {
            "fluidsynth", "-ni",
            "-F",         theirs,
            "-r",         std::to_string(tambrel::exporting::kDefaultRenderRate),
            "-g",         std::to_string(tambrel::backends::GmSynth::kGain),
            soundfont,    mid};
        EXPECT_EQ(tambrel::testing::runProgram(fluidsynth, (dir / "fs.out").string(),
                                               (dir / "fs.err").string()),
                  0)
            << tambrel::testing::slurp(dir / "fs.err");
        return {tambrel::testing::readWav(ours), tambrel::testing::readWav(theirs)};
    }
};

// Sounds that die away before the next note: each note has an onset of its own. FluidSynth's
// file renderer plays every event of a MIDI file one synth block late (it hands a block's
// events over as the block renders, so they sound from the next one), while ours starts
// each note at the block of its step's own frame: the onsets are compared from each file's
// first, and that fixed offset is checked on its own.
TEST_F(AgainstFluidSynth, OnsetsWithinAMillisecondAndLoudnessWithinOneAndAHalfDecibels) {
    // At tempo 97 a step is 7392 frames, 115.5 synth blocks: every other note of the file
    // falls inside a block.
    const std::string offGrid = write("off-grid.qel", "4/4\r\n97\r\n"
                                                      "TR1INFO:100+Low Wood Block\r\n"
                                                      "TR2INFO:100+Acoustic Snare\r\n"
                                                      "TR3INFO:100+Close Hi-Hat\r\n"
                                                      "TR4INFO:100+Cowbell\r\n"
                                                      "TR5INFO:100+High Tom\r\n"
                                                      "TR6INFO:100+Low Tom\r\n"
                                                      "TR7INFO:100+Crash Cymbal 1\r\n"
                                                      "TR8INFO:100+Ride Cymbal 1\r\n"
                                                      "10000000\r\n00000000\r\n00000000\r\n"
                                                      "00010000\r\n00000000\r\n00000000\r\n"
                                                      "10000000\r\n00000000\r\n00000000\r\n"
                                                      "00010000\r\n00000000\r\n00000000\r\n");
    const std::vector<std::string> sources[] = {
        {"--preset", "4/4 Cowbell"}, {"--preset", "Wood Block"}, {offGrid}};
    for (const std::vector<std::string>& source : sources) {
        const std::string preset = std::filesystem::path(source.back()).filename().string();
        const Pair both = renderBothWays(source, 2);
        const std::vector<std::int64_t> ours = tambrel::testing::onsets(both.ours);
        const std::vector<std::int64_t> theirs = tambrel::testing::onsets(both.theirs);
        ASSERT_EQ(ours.size(), 8u) << preset; // four notes a bar
        ASSERT_EQ(theirs.size(), ours.size()) << preset;
        const std::int64_t offset = theirs[0] - ours[0];
        EXPECT_GE(offset, 0) << preset;
        EXPECT_LE(offset, tambrel::backends::GmSynth::kBlockFrames) << preset;
        std::int64_t worst = 0;
        for (std::size_t i = 0; i < ours.size(); ++i) {
            const std::int64_t apart = std::abs((theirs[i] - theirs[0]) - (ours[i] - ours[0]));
            worst = std::max(worst, apart);
            EXPECT_LE(apart, 48) << preset << ", note " << i << ": " << ours[i] << " and "
                                 << theirs[i];
        }
        const std::int64_t frames = std::min(both.ours.frames(), both.theirs.frames());
        const double ourRms = tambrel::testing::rmsDbfs(both.ours, frames);
        const double theirRms = tambrel::testing::rmsDbfs(both.theirs, frames);
        EXPECT_LE(std::fabs(ourRms - theirRms), 1.5) << preset;
        std::cout << preset << ": " << ours.size() << " onsets, theirs " << offset
                  << " frames later, apart from that at most " << worst << " frames; RMS " << ourRms
                  << " dBFS ours, " << theirRms << " dBFS theirs\n";
    }
}

// A busy rhythm, where sounds overlap: the loudness still agrees.
TEST_F(AgainstFluidSynth, ABusyRhythmEquallyLoud) {
    const Pair both = renderBothWays({"--preset", "Bongo Funky"}, 2);
    const std::int64_t frames = std::min(both.ours.frames(), both.theirs.frames());
    const double ourRms = tambrel::testing::rmsDbfs(both.ours, frames);
    const double theirRms = tambrel::testing::rmsDbfs(both.theirs, frames);
    EXPECT_LE(std::fabs(ourRms - theirRms), 1.5);
    std::cout << "Bongo Funky: RMS " << ourRms << " dBFS ours, " << theirRms << " dBFS theirs\n";
}

} // namespace
