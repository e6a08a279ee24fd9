#include "platform/fluid_synth_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tambrel::platform {
namespace {

std::uint32_t drum(std::uint32_t key, std::uint32_t velocity) {
    return 0x99 | (key << 8) | (velocity << 16);
}

double toDbfs(float peak) {
    return 20.0 * std::log10(std::max(peak, 1e-12f));
}

// The synth's idle output is not exactly zero (a noise floor far below hearing).
constexpr float kSilence = 3e-5f; // -90 dBFS

class OfflineSynth {
public:
    OfflineSynth() {
        if (const auto soundfont = findGmSoundfont()) {
            device =
                std::make_unique<FluidSynthDevice>(*soundfont, FluidSynthDevice::Output::Offline);
        }
    }

    // Renders and returns the block's samples, left and right interleaved.
    std::vector<float> render(int frames) {
        std::vector<float> left(static_cast<std::size_t>(frames));
        std::vector<float> right(static_cast<std::size_t>(frames));
        EXPECT_TRUE(device->render(left.data(), right.data(), frames));
        std::vector<float> both;
        for (std::size_t i = 0; i < left.size(); ++i) {
            both.push_back(left[i]);
            both.push_back(right[i]);
        }
        return both;
    }

    static float peak(const std::vector<float>& samples) {
        float p = 0.0f;
        for (const float s : samples) {
            p = std::max(p, std::fabs(s));
        }
        return p;
    }

    // Peak of one second after the given notes arrive together.
    float peakOf(const std::vector<std::uint32_t>& notes) {
        EXPECT_TRUE(device->open());
        for (const std::uint32_t note : notes) {
            device->send(note);
        }
        const float p = peak(render(48000));
        device->close();
        return p;
    }

    std::unique_ptr<FluidSynthDevice> device;
};

class FluidSynthTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!synth.device) {
            GTEST_SKIP() << "no General MIDI soundfont on this machine";
        }
    }
    OfflineSynth synth;
};

TEST_F(FluidSynthTest, NoteOnIsHeardFromTheBlockAfterTheSendAndVelocityZeroIsNot) {
    ASSERT_TRUE(synth.device->open());
    EXPECT_EQ(synth.device->sampleRate(), 48000.0);
    EXPECT_LT(OfflineSynth::peak(synth.render(4800)), kSilence) << "sound before any note";

    synth.device->send(drum(38, 0));
    EXPECT_LT(OfflineSynth::peak(synth.render(4800)), kSilence) << "velocity 0 sounded";

    synth.device->send(drum(38, 100));
    const auto block = synth.render(4800);
    // The snare starts within the first millisecond of the block that follows the send.
    const auto onset =
        std::find_if(block.begin(), block.end(), [](float s) { return std::fabs(s) > 1e-3f; });
    ASSERT_NE(onset, block.end()) << "the note-on was not heard";
    EXPECT_LT((onset - block.begin()) / 2, 48);
    EXPECT_GT(toDbfs(OfflineSynth::peak(block)), -30.0);
}

TEST_F(FluidSynthTest, ReopeningStartsSilentAndStillPlays) {
    EXPECT_FALSE(synth.device->render(nullptr, nullptr, 0)) << "rendered before open";
    ASSERT_TRUE(synth.device->open());
    synth.device->send(drum(36, 100));
    EXPECT_GT(OfflineSynth::peak(synth.render(4800)), 0.01f);
    // A note sent after close is not kept for the next opening.
    synth.device->close();
    synth.device->send(drum(49, 127));
    ASSERT_TRUE(synth.device->open());
    EXPECT_LT(OfflineSynth::peak(synth.render(4800)), kSilence);
    synth.device->send(drum(36, 100));
    EXPECT_GT(OfflineSynth::peak(synth.render(4800)), 0.01f);
}

TEST_F(FluidSynthTest, FullRingDropsMessagesInsteadOfWaiting) {
    ASSERT_TRUE(synth.device->open());
    for (int i = 0; i < 1100; ++i) {
        synth.device->send(drum(42, 1));
    }
    EXPECT_EQ(synth.device->droppedCount(), 1100u - 1024u);
    synth.render(64);
    synth.device->send(drum(42, 1));
    EXPECT_EQ(synth.device->droppedCount(), 1100u - 1024u);
}

// The gain: every GM drum at velocity 100 clearly heard on its own, the eight loudest at
// velocity 127 struck together still below full scale.
TEST_F(FluidSynthTest, GainKeepsSingleDrumsAudibleAndEightLoudestUnclipped) {
    std::vector<std::pair<float, std::uint32_t>> loudness; // peak at 127, key
    float quietest100 = 1.0f;
    std::uint32_t quietestKey = 0;
    for (std::uint32_t key = 35; key <= 81; ++key) {
        const float at100 = synth.peakOf({drum(key, 100)});
        if (at100 < quietest100) {
            quietest100 = at100;
            quietestKey = key;
        }
        loudness.emplace_back(synth.peakOf({drum(key, 127)}), key);
    }
    std::sort(loudness.rbegin(), loudness.rend());
    std::vector<std::uint32_t> loudest;
    for (std::size_t i = 0; i < 8; ++i) {
        loudest.push_back(drum(loudness[i].second, 127));
    }
    const float eight = synth.peakOf(loudest);
    const float kick = synth.peakOf({drum(35, 100)});
    const float snare = synth.peakOf({drum(38, 100)});
    std::printf("gain %.2f: kick@100 %.1f dBFS, snare@100 %.1f dBFS, quietest@100 (key %u) "
                "%.1f dBFS, loudest@127 (key %u) %.1f dBFS, eight loudest@127 together %.1f "
                "dBFS\n",
                static_cast<double>(FluidSynthDevice::kGain), toDbfs(kick), toDbfs(snare),
                quietestKey, toDbfs(quietest100), loudness[0].second, toDbfs(loudness[0].first),
                toDbfs(eight));
    EXPECT_GT(toDbfs(kick), -24.0);
    EXPECT_GT(toDbfs(snare), -24.0);
    EXPECT_GT(toDbfs(quietest100), -40.0);
    EXPECT_LT(toDbfs(eight), -0.5);
}

} // namespace
} // namespace tambrel::platform
