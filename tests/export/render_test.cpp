// The offline render: each note on the sample of its step, as the clock plays it, and the
// ring after the last bar, ended by silence or by its longest.

#include "export/render.h"
#include "tests/export/audio.h"
#include "tests/export/clock_rig.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace tambrel::exporting;
using tambrel::backends::GmSynth;
using tambrel::testing::Audio;

constexpr int kSynthBlock = GmSynth::kBlockFrames;

std::unique_ptr<GmSynth> synthAt(int rate) {
    const std::optional<std::string> soundfont = tambrel::backends::findGmSoundfont();
    if (!soundfont) {
        ADD_FAILURE() << "no General MIDI soundfont (scripts/install-deps installs one)";
        return nullptr;
    }
    return GmSynth::create(*soundfont, rate);
}

Loop loopOf(const std::string& preset, int bars) {
    tambrel::testing::ClockRig rig;
    EXPECT_TRUE(rig.loadPreset(preset));
    return playedLoop(rig.machine, bars);
}

// Renders `loop` onto the end of `audio`; false where the render stopped.
bool renderOnto(Audio& audio, const Loop& loop, GmSynth& synth, const RenderHooks& hooks = {}) {
    return renderLoop(
        loop, synth,
        [&](const float* frames, int count) {
            audio.samples.insert(audio.samples.end(), frames, frames + 2 * count);
            return true;
        },
        hooks);
}

Audio rendered(const Loop& loop, int rate) {
    Audio audio;
    audio.rate = rate;
    if (const std::unique_ptr<GmSynth> synth = synthAt(rate)) {
        EXPECT_TRUE(renderOnto(audio, loop, *synth));
    }
    return audio;
}

TEST(Render, StepFramesAreRoundedOncePerStepAndNeverDrift) {
    // 125 ms at 44.1 kHz is 5512.5 frames a step.
    for (std::int64_t step = 0; step < 20000; ++step) {
        const double exact = static_cast<double>(step) * 125 * 44100 / 1000;
        ASSERT_LE(std::fabs(static_cast<double>(frameOfStep(step, 125, 44100)) - exact), 0.5);
    }
}

// A cowbell on every quarter note, at 44.1 kHz where no step starts on a synth block.
TEST(Render, EachNoteSoundsFromTheSynthBlockOfItsStepsFrame) {
    const Loop loop = loopOf("4/4 Cowbell", 2);
    const Audio audio = rendered(loop, 44100);
    const std::vector<std::int64_t> found = tambrel::testing::onsets(audio);
    ASSERT_EQ(found.size(), loop.notes.size());
    // The same sound each time: it crosses the onset level equally far after the start of
    // the synth block that its step's frame falls in (the cowbell's attack).
    std::vector<std::int64_t> afterBlock;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const std::int64_t frame = frameOfStep(loop.notes[i].step, loop.stepPeriodMs, 44100);
        const std::int64_t block = (frame + kSynthBlock - 1) / kSynthBlock * kSynthBlock;
        afterBlock.push_back(found[i] - block);
    }
    const auto [least, most] = std::minmax_element(afterBlock.begin(), afterBlock.end());
    EXPECT_GE(*least, 0);
    EXPECT_LE(*most - *least, 2) << "onsets after their blocks from " << *least << " to " << *most;
}

TEST(Render, TheRingEndsInSilenceOrAfterThreeSeconds) {
    const float silence = static_cast<float>(std::pow(10.0, -90.0 / 20));
    const int rate = 48000;
    const int window = rate / 50;
    // Bossa Nova dies away; Afro Cuban's Long Whistle holds while no note-off comes.
    for (const auto& [preset, held] : {std::pair{"Bossa Nova", false}, {"Afro Cuban", true}}) {
        const Loop loop = loopOf(preset, 1);
        const Audio audio = rendered(loop, rate);
        const std::int64_t end = frameOfStep(loop.steps(), loop.stepPeriodMs, rate);
        ASSERT_GT(audio.frames(), end);
        ASSERT_LE(audio.frames(), end + 3 * rate);
        auto peak = [&](std::int64_t from, std::int64_t to) {
            float p = 0.0f;
            for (std::int64_t f = from; f < to; ++f) {
                p = std::max(p, audio.level(f));
            }
            return p;
        };
        const std::int64_t ring = audio.frames() - end;
        if (held) {
            EXPECT_EQ(ring, 3 * rate);
            EXPECT_GE(peak(audio.frames() - window, audio.frames()), silence);
        } else {
            // Ended by the first silent 20 ms: the one before it still sounded.
            ASSERT_EQ(ring % window, 0) << preset;
            EXPECT_LT(peak(audio.frames() - window, audio.frames()), silence) << preset;
            EXPECT_GE(peak(audio.frames() - 2 * window, audio.frames() - window), silence)
                << preset;
        }
    }
}

TEST(Render, StopsAtTheFirstBlockWhenCancelled) {
    const Loop loop = loopOf("Samba", 4);
    int asked = 0;
    Audio audio;
    audio.rate = 48000;
    const std::unique_ptr<GmSynth> synth = synthAt(48000);
    ASSERT_NE(synth, nullptr);
    RenderHooks hooks;
    hooks.cancelled = [&] { return ++asked == 1; };
    EXPECT_FALSE(renderOnto(audio, loop, *synth, hooks));
    EXPECT_EQ(asked, 1);
    EXPECT_LE(audio.frames(), 4096);
}

} // namespace
