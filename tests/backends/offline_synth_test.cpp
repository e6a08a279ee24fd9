#include "synth_timing_kit.h"
#include "tests/support/needs.h"

#include "backends/jack/jack_placement.h"
#include "backends/synth/offline_synth.h"
#include "platform/periodic_timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tambrel::backends {
namespace {

using Clock = OfflineSynth::Clock;
using midiout::TimedMessage;

// A short message as the step clock sends it, due at `due` (where that counts).
constexpr TimedMessage message(std::uint32_t packed, Clock::time_point due = {}) {
    return TimedMessage::fromShort(packed, due);
}

constexpr TimedMessage drum(std::uint32_t key, std::uint32_t velocity, Clock::time_point due = {}) {
    return message(0x99 | (key << 8) | (velocity << 16), due);
}

constexpr TimedMessage kClaves = message(testing::kClaves);
constexpr TimedMessage kSideStick = drum(37, 100);
constexpr TimedMessage kAllSoundOff = message(0xB9 | (120 << 8));
constexpr double kRate = PlacedSynth::kStreamSampleRate;
constexpr std::int64_t kSecond = static_cast<std::int64_t>(kRate);
constexpr int kPeriod = PlacedSynth::kPeriodFrames;
constexpr int kBlock = GmSynth::kBlockFrames;

double toDbfs(float peak) {
    return 20.0 * std::log10(std::max(peak, 1e-12f));
}

// The synth's idle output is not exactly zero (a noise floor far below hearing).
constexpr float kSilence = 3e-5f; // -90 dBFS

// The first frame of FluidSynth's block in which a message applied at `frame` sounds.
std::int64_t gridBlockOf(std::int64_t frame) {
    return (frame + kBlock - 1) / kBlock * kBlock;
}

// Note starts: above -60 dBFS after 0.1 s of quiet (every note here is far from the last).
std::vector<std::int64_t> onsetsIn(const std::vector<float>& level) {
    return testing::findOnsets(level, 1e-3f, 1e-3f, 4800);
}

class Rendered {
public:
    Rendered() {
        if (const auto soundfont = findGmSoundfont()) {
            device = std::make_unique<OfflineSynth>(*soundfont);
        }
    }

    // Renders one callback's block and appends it to `level` (the louder channel);
    // returns the block's samples, left and right interleaved.
    std::vector<float> render(int frames, Clock::time_point callbackTime = Clock::now()) {
        std::vector<float> left(static_cast<std::size_t>(frames));
        std::vector<float> right(static_cast<std::size_t>(frames));
        EXPECT_TRUE(device->render(left.data(), right.data(), frames, callbackTime));
        std::vector<float> both;
        for (std::size_t i = 0; i < left.size(); ++i) {
            both.push_back(left[i]);
            both.push_back(right[i]);
            level.push_back(std::max(std::fabs(left[i]), std::fabs(right[i])));
        }
        return both;
    }

    // One JACK period from `cycleStart` on the server's frame clock, appended to `level`.
    void renderJack(std::uint32_t cycleStart, std::uint32_t frames) {
        std::vector<float> left(frames);
        std::vector<float> right(frames);
        EXPECT_TRUE(device->renderJackPeriod(cycleStart, frames, left.data(), right.data()));
        for (std::size_t i = 0; i < frames; ++i) {
            level.push_back(std::max(std::fabs(left[i]), std::fabs(right[i])));
        }
    }

    static float peak(const std::vector<float>& samples) {
        float p = 0.0f;
        for (const float s : samples) {
            p = std::max(p, std::fabs(s));
        }
        return p;
    }

    // Peak of one second after the given notes, all at the first frame.
    float peakOf(const std::vector<TimedMessage>& notes) {
        EXPECT_TRUE(device->open());
        for (const TimedMessage& note : notes) {
            device->sendAtFrame(note, 0);
        }
        const float p = peak(render(kSecond));
        device->close();
        level.clear();
        return p;
    }

    std::unique_ptr<OfflineSynth> device;
    std::vector<float> level; // everything rendered since the test began
};

class OfflineSynthTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!synth.device) {
            TAMBREL_MISSING_NEED("no General MIDI soundfont on this machine");
        }
    }
    Rendered synth;
};

TEST_F(OfflineSynthTest, NotesAtExplicitFramesStartInTheGridBlockOfTheirFrame) {
    ASSERT_TRUE(synth.device->open());
    EXPECT_EQ(synth.device->sampleRate(), 48000.0);
    // Inside a block, on a block's first frame, on its last; between them a velocity-0
    // note, which sounds nothing.
    const std::vector<std::int64_t> frames = {1000, 24000 + 1024, 48000 + 1087, 96000 + 5};
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, frames[0]));
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, frames[1]));
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, frames[2]));
    ASSERT_TRUE(synth.device->sendAtFrame(drum(75, 0), 72000));
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, frames[3]));
    // A message for an earlier frame than the one before it waits for that one (its own
    // frame passes meanwhile, which is counted): both start together.
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, 120000 + 2000));
    ASSERT_TRUE(synth.device->sendAtFrame(kSideStick, 120000 + 1000));
    // Callbacks of any size, none of them a multiple of the grid.
    for (int rendered = 0, size = 37; rendered < 144000; rendered += size, size = size * 7 % 997) {
        synth.render(std::min(size, 144000 - rendered));
    }
    const std::vector<std::int64_t> onsets = onsetsIn(synth.level);
    ASSERT_EQ(onsets.size(), frames.size() + 1) << "the velocity-0 note sounded, or one was lost";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_GE(onsets[i], gridBlockOf(frames[i])) << "note " << i;
        EXPECT_LT(onsets[i], gridBlockOf(frames[i]) + kBlock) << "note " << i;
    }
    EXPECT_GE(onsets.back(), gridBlockOf(122000));
    EXPECT_LT(onsets.back(), gridBlockOf(122000) + kBlock);
    EXPECT_EQ(synth.device->lateCount(), 1u);
}

// Long after the last note has rung out the synth leaves out whole grid blocks of silence:
// the output stays silent, and a note then starts in the grid block of its frame as before.
TEST_F(OfflineSynthTest, AfterALongSilenceNotesStillStartInTheGridBlockOfTheirFrame) {
    ASSERT_TRUE(synth.device->open());
    const auto ringOut = static_cast<std::int64_t>(GmSynth::kRingOutSeconds * kRate);
    // After each silence a note at another place within a grid block.
    std::vector<std::int64_t> frames;
    for (const std::int64_t within : {5, 21, 42, 63}) {
        frames.push_back(static_cast<std::int64_t>(frames.size()) * (ringOut + kSecond) + 64 * 30 +
                         within);
    }
    for (const std::int64_t frame : frames) {
        ASSERT_TRUE(synth.device->sendAtFrame(kClaves, frame));
    }
    const std::int64_t end = frames.back() + kSecond;
    for (std::int64_t rendered = 0, size = 37; rendered < end; size = size * 7 % 997) {
        const int n = static_cast<int>(std::min<std::int64_t>(size, end - rendered));
        synth.render(n);
        rendered += n;
    }
    const std::vector<std::int64_t> onsets = onsetsIn(synth.level);
    ASSERT_EQ(onsets.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_GE(onsets[i], gridBlockOf(frames[i])) << "note " << i;
        EXPECT_LT(onsets[i], gridBlockOf(frames[i]) + kBlock) << "note " << i;
    }
    const auto quiet = synth.level.begin() + frames[1] - 4800;
    EXPECT_LT(*std::max_element(quiet - kSecond, quiet), kSilence);
}

// The moment of a frame on the stream's own pace, in the test below.
Clock::time_point streamMoment(double frame) {
    const Clock::time_point t0 = Clock::time_point(std::chrono::seconds(1000));
    return t0 + std::chrono::nanoseconds(std::llround(frame * 1e9 / kRate));
}

// When the callback of one period comes in the test below, where note n (1..5) plays n
// seconds into the stream: the period of note 1 on time, 2 one period late with the next
// one straight after it, 3 one period early with the one before, 4 two milliseconds late,
// 5 in a burst of three periods at once.
Clock::time_point unevenCallback(std::int64_t block) {
    constexpr std::int64_t kBlocksPerNote = kSecond / kPeriod;
    const auto start = static_cast<double>(block * kPeriod);
    const std::int64_t note = block / kBlocksPerNote;
    const std::int64_t within = block % kBlocksPerNote;
    if (note == 2 && within == 0) {
        return streamMoment(start + kPeriod);
    }
    if (note == 3 && within == 1) {
        return streamMoment(start - kPeriod);
    }
    if (note == 4 && within == 0) {
        return streamMoment(start + 0.002 * kRate);
    }
    if (note == 5 && (within == 1 || within == 2)) {
        return streamMoment(static_cast<double>(note * kSecond));
    }
    return streamMoment(start);
}

// A server's callbacks come one period apart on average, but not each one: two blocks
// rendered back to back, or one late. A note stamped at a known moment still lands one
// fixed latency after that moment on the stream's own pace, in the grid block that follows,
// even when it reaches the synth milliseconds after that moment.
TEST_F(OfflineSynthTest, StampedNotesLandOneLatencyLaterHoweverTheCallbacksCome) {
    ASSERT_TRUE(synth.device->open());
    // One note a second, half-way into a grid block on the stream's pace (48000 frames is
    // a whole number of blocks).
    std::vector<std::int64_t> noteFrames;
    for (int i = 1; i <= 5; ++i) {
        noteFrames.push_back(kSecond * i + kBlock / 2);
    }
    // The step clock's thread may wake late for its step, and the note is still stamped
    // with its step's moment: notes 3 and 5 are sent 8 ms after it.
    auto sentAt = [&](std::size_t note) {
        const double late = note == 2 || note == 4 ? 0.008 * kRate : 0.0;
        return streamMoment(static_cast<double>(noteFrames[note]) + late);
    };
    std::size_t next = 0;
    for (std::int64_t block = 0; block < 6 * kSecond / kPeriod; ++block) {
        const Clock::time_point now = unevenCallback(block);
        // What the step clock sent by now reaches this callback.
        while (next < noteFrames.size() && sentAt(next) <= now) {
            ASSERT_TRUE(synth.device->sendAt(
                message(testing::kClaves, streamMoment(static_cast<double>(noteFrames[next])))));
            ++next;
        }
        synth.render(kPeriod, now);
    }
    const std::vector<std::int64_t> onsets = onsetsIn(synth.level);
    ASSERT_EQ(onsets.size(), noteFrames.size());
    for (std::size_t i = 0; i < noteFrames.size(); ++i) {
        // On the stream's pace each callback brings the stream to the end of its period:
        // at a note's moment the stream is one period past the note's frame.
        const std::int64_t expected =
            gridBlockOf(noteFrames[i] + kPeriod + PlacedSynth::kClockLatencyFrames);
        EXPECT_GE(onsets[i], expected) << "note " << i + 1;
        EXPECT_LT(onsets[i], expected + kBlock) << "note " << i + 1;
    }
    EXPECT_EQ(synth.device->lateCount(), 0u);
}

// 200 steps 64 ms apart (a whole number of grid blocks), each reaching the synth as late as
// the late-waking timer wakes for it, 0 to 20 ms after its step was due. Counted in frames
// of the stream's pace from its first callback; a note is stamped with its step's moment.
struct LateSteps {
    static constexpr int kSteps = 200;
    static constexpr std::int64_t kStepFrames = 64 * 48;
    // The first step a second in, 48 frames after a block's start: with each path's fixed
    // latency its note lands half-way into a grid block, away from either edge.
    static constexpr std::int64_t kFirstFrame = kSecond + 48;
    std::vector<std::int64_t> due;
    std::vector<std::int64_t> sent;

    LateSteps() {
        const testing::LateWakeups wakeups{20000, 20};
        for (int k = 0; k < kSteps; ++k) {
            due.push_back(kFirstFrame + k * kStepFrames);
            const auto late = wakeups.delay(1, static_cast<std::uint64_t>(k)).count();
            sent.push_back(due.back() + late * 48 / 1000);
        }
    }
    std::int64_t end() const { return due.back() + kSecond; }
};

// Each step heard once, in the grid block of its frame + the path's fixed latency.
void expectEachStepAt(const std::vector<float>& level, const LateSteps& steps,
                      std::int64_t latency) {
    const std::vector<std::int64_t> onsets = testing::findClavesOnsets(level);
    ASSERT_EQ(onsets.size(), static_cast<std::size_t>(LateSteps::kSteps));
    for (std::size_t i = 0; i < onsets.size(); ++i) {
        const std::int64_t expected = gridBlockOf(steps.due[i] + latency);
        EXPECT_GE(onsets[i], expected) << "step " << i;
        EXPECT_LT(onsets[i], expected + kBlock) << "step " << i;
    }
}

// Through JACK: every 13th period is processed 3 ms late, the ones behind it straight after.
TEST_F(OfflineSynthTest, LateWakingStepsLandOnTheirFrameThroughJack) {
    ASSERT_TRUE(synth.device->open());
    const LateSteps steps;
    constexpr std::uint32_t kJackPeriod = 256;
    std::size_t next = 0;
    std::int64_t previous = 0;
    for (std::uint32_t cycle = 0; cycle < steps.end(); cycle += kJackPeriod) {
        const std::int64_t late = cycle / kJackPeriod % 13 == 0 ? 144 : 0;
        const std::int64_t now = previous = std::max<std::int64_t>(cycle + late, previous);
        while (next < steps.due.size() && steps.sent[next] <= now) {
            ASSERT_TRUE(synth.device->sendAtJackFrame(
                kClaves, static_cast<std::uint32_t>(steps.due[next++])));
        }
        synth.renderJack(cycle, kJackPeriod);
    }
    expectEachStepAt(synth.level, steps,
                     jackDelayFrames(kJackPeriod, static_cast<std::uint32_t>(kRate)));
    EXPECT_EQ(synth.device->lateCount(), 0u);
}

// Through a sound server that asks for audio one period at a time or in bunches of 768 and
// 1024 frames, every 29th request 4 ms late and the ones behind it straight after.
TEST_F(OfflineSynthTest, LateWakingStepsLandOnTheirFrameOnAStreamsBunchedRequests) {
    const LateSteps steps;
    auto timeOf = [](std::int64_t frame) {
        return Clock::time_point(std::chrono::seconds(1000)) +
               std::chrono::nanoseconds(frame * 1'000'000'000 / kSecond);
    };
    for (const int burst : {kPeriod, 768, 1024}) {
        synth.level.clear();
        ASSERT_TRUE(synth.device->open());
        std::size_t next = 0;
        std::int64_t previous = 0;
        for (std::int64_t start = 0; start < steps.end(); start += burst) {
            const std::int64_t late = start / burst % 29 == 5 ? 192 : 0;
            const std::int64_t now = previous = std::max(start + late, previous);
            while (next < steps.due.size() && steps.sent[next] <= now) {
                ASSERT_TRUE(
                    synth.device->sendAt(message(testing::kClaves, timeOf(steps.due[next++]))));
            }
            synth.render(burst, timeOf(now));
        }
        // Each request brings the stream a burst ahead of the moment it comes.
        SCOPED_TRACE(burst);
        expectEachStepAt(synth.level, steps, burst + PlacedSynth::kClockLatencyFrames);
        EXPECT_EQ(synth.device->lateCount(), 0u);
        synth.device->close();
    }
}

// Messages whose frame has been rendered already play at the start of the next block, all
// of them and in the order sent: the note, then the sound-off that silences it, then the
// side stick. Sorted by frame the sound-off would come first and the note would ring.
TEST_F(OfflineSynthTest, PassedFramesPlayAtTheNextBlockInTheirOrderAndAreCounted) {
    ASSERT_TRUE(synth.device->open());
    synth.render(4800);
    ASSERT_TRUE(synth.device->sendAtFrame(kSideStick, 4800));
    const std::vector<float> alone = synth.render(9600);
    synth.device->close();

    ASSERT_TRUE(synth.device->open());
    synth.render(4800);
    ASSERT_TRUE(synth.device->sendAtFrame(kClaves, 100));
    ASSERT_TRUE(synth.device->sendAtFrame(kAllSoundOff, 50));
    ASSERT_TRUE(synth.device->sendAtFrame(kSideStick, 3000));
    const std::uint64_t lateBefore = synth.device->lateCount();
    const std::vector<float> late = synth.render(9600);
    EXPECT_EQ(synth.device->lateCount() - lateBefore, 3u);
    ASSERT_EQ(late.size(), alone.size());
    float difference = 0.0f;
    for (std::size_t i = 0; i < late.size(); ++i) {
        difference = std::max(difference, std::fabs(late[i] - alone[i]));
    }
    EXPECT_LT(difference, kSilence) << "not the side stick alone, at the block start";
    EXPECT_GT(Rendered::peak(late), 0.01f);
}

// One JACK period or one stream request of `placed` from stream frame `frame` on, kPeriod
// frames (on the stream's own pace), its louder channel appended to `level`; the request's
// first `unheard` frames are ones the server will not play.
void renderPeriod(PlacedSynth& placed, bool jack, std::int64_t frame, std::vector<float>& level,
                  int unheard = 0) {
    float left[kPeriod];
    float right[kPeriod];
    if (jack) {
        placed.renderJackPeriod(static_cast<std::uint32_t>(frame), kPeriod, left, right);
    } else {
        placed.renderStream(std::llround(static_cast<double>(frame) * 1e9 / kRate), kPeriod, left,
                            right, 0, unheard);
    }
    for (int i = 0; i < kPeriod; ++i) {
        level.push_back(std::max(std::fabs(left[i]), std::fabs(right[i])));
    }
}

// Where a message goes is the placed synth's placement: the program's puts it at its stamp
// (plus JACK's delay through JACK), and another, such as the benchmark's old placement at
// the start of the block that first sees it, is followed as it says, through JACK and on a
// stream alike, with nothing counted late.
TEST_F(OfflineSynthTest, APlacementOfItsOwnDecidesWhereEachMessageGoes) {
    constexpr PlacedSynth::Placement kAtBlockStart = [](std::int64_t) noexcept -> std::int64_t {
        return 0;
    };
    constexpr std::int64_t kHandedOver = 38 * kPeriod; // the frame rendered next when it comes
    const std::int64_t jackDelay = jackDelayFrames(kPeriod, static_cast<std::uint32_t>(kRate));
    for (const bool jack : {false, true}) {
        for (const bool blockStart : {false, true}) {
            SCOPED_TRACE(std::string(jack ? "JACK" : "stream") +
                         (blockStart ? ", block start" : ""));
            // A JACK stamp is the frame at which the message was due, just past; a stream's
            // frame is where it plays, here well ahead.
            const std::int64_t stamp = jack ? kHandedOver - 100 : 30000;
            PlacedSynth placed(blockStart ? kAtBlockStart : &PlacedSynth::atStamp);
            ASSERT_TRUE(placed.start(*findGmSoundfont(), kRate));
            std::vector<float> level;
            for (std::int64_t frame = 0; frame < kSecond; frame += kPeriod) {
                if (frame == kHandedOver) {
                    ASSERT_TRUE(jack ? placed.pushAtJackFrame(kClaves, stamp)
                                     : placed.pushAtStreamFrame(kClaves, stamp));
                }
                renderPeriod(placed, jack, frame, level);
            }
            const std::int64_t expected =
                gridBlockOf(blockStart ? kHandedOver : stamp + (jack ? jackDelay : 0));
            const std::vector<std::int64_t> onsets = onsetsIn(level);
            ASSERT_EQ(onsets.size(), 1u);
            EXPECT_GE(onsets[0], expected);
            EXPECT_LT(onsets[0], expected + kBlock);
            EXPECT_EQ(placed.lateCount(), 0u);
        }
    }
}

// A stream that ran dry: the server played silence on, past the frames written, and drops
// what comes for them. A note due there sounds on the first frame the server will play
// (FluidSynth's block from it), counted late, rather than in frames nobody hears.
TEST_F(OfflineSynthTest, ANoteDueInFramesTheServerSkippedSoundsOnTheFirstFrameItPlays) {
    constexpr std::int64_t kSkippedFrom = 117 * kPeriod; // a request's first frame
    constexpr std::int64_t kHeardFrom = kSkippedFrom + 348;
    PlacedSynth placed(&PlacedSynth::atStamp);
    ASSERT_TRUE(placed.start(*findGmSoundfont(), kRate));
    ASSERT_TRUE(placed.pushAtStreamFrame(kClaves, kSkippedFrom + 48));
    std::vector<float> level;
    for (std::int64_t frame = 0; frame < kSecond; frame += kPeriod) {
        const auto unheard =
            static_cast<int>(std::clamp<std::int64_t>(kHeardFrom - frame, 0, kPeriod));
        renderPeriod(placed, false, frame, level, frame >= kSkippedFrom ? unheard : 0);
    }
    const std::vector<std::int64_t> onsets = onsetsIn(level);
    ASSERT_EQ(onsets.size(), 1u);
    EXPECT_GE(onsets[0], gridBlockOf(kHeardFrom)) << "sounded in the frames the server skips";
    EXPECT_LT(onsets[0], gridBlockOf(kHeardFrom) + kBlock);
    EXPECT_EQ(placed.lateCount(), 1u);
}

TEST_F(OfflineSynthTest, ReopeningStartsSilentAndStillPlays) {
    EXPECT_FALSE(synth.device->render(nullptr, nullptr, 0)) << "rendered before open";
    EXPECT_FALSE(synth.device->sendAtFrame(kClaves, 0)) << "took a message before open";
    ASSERT_TRUE(synth.device->open());
    ASSERT_TRUE(synth.device->sendAtFrame(drum(36, 100), 0));
    EXPECT_GT(Rendered::peak(synth.render(4800)), 0.01f);
    // A note sent after close is not kept for the next opening (it would play at once).
    synth.device->close();
    synth.device->send(drum(49, 127, Clock::now()));
    ASSERT_TRUE(synth.device->open());
    EXPECT_LT(Rendered::peak(synth.render(4800)), kSilence);
    ASSERT_TRUE(synth.device->sendAtFrame(drum(36, 100), 4800));
    EXPECT_GT(Rendered::peak(synth.render(4800)), 0.01f);
}

TEST_F(OfflineSynthTest, FullRingDropsMessagesInsteadOfWaiting) {
    ASSERT_TRUE(synth.device->open());
    for (int i = 0; i < 1100; ++i) {
        synth.device->send(drum(42, 1, Clock::now()));
    }
    EXPECT_EQ(synth.device->droppedCount(), 1100u - 1024u);
    // A callback a second after the sends: every one of them is due, and taken.
    synth.render(4800, Clock::now() + std::chrono::seconds(1));
    synth.device->send(drum(42, 1, Clock::now()));
    EXPECT_EQ(synth.device->droppedCount(), 1100u - 1024u);
}

// The gain: every GM drum at velocity 100 clearly heard on its own, the eight loudest at
// velocity 127 struck together still below full scale.
TEST_F(OfflineSynthTest, GainKeepsSingleDrumsAudibleAndEightLoudestUnclipped) {
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
    std::vector<TimedMessage> loudest;
    for (std::size_t i = 0; i < 8; ++i) {
        loudest.push_back(drum(loudness[i].second, 127));
    }
    const float eight = synth.peakOf(loudest);
    const float kick = synth.peakOf({drum(35, 100)});
    const float snare = synth.peakOf({drum(38, 100)});
    std::printf("gain %.2f: kick@100 %.1f dBFS, snare@100 %.1f dBFS, quietest@100 (key %u) "
                "%.1f dBFS, loudest@127 (key %u) %.1f dBFS, eight loudest@127 together %.1f "
                "dBFS\n",
                static_cast<double>(GmSynth::kGain), toDbfs(kick), toDbfs(snare), quietestKey,
                toDbfs(quietest100), loudness[0].second, toDbfs(loudness[0].first), toDbfs(eight));
    EXPECT_GT(toDbfs(kick), -24.0);
    EXPECT_GT(toDbfs(snare), -24.0);
    EXPECT_GT(toDbfs(quietest100), -40.0);
    EXPECT_LT(toDbfs(eight), -0.5);
}

// Through JACK, a followed transport's start: its first step is held while the transport
// starts, then sounds in the grid block of the roll frame plus its offset; a start that
// was cancelled never sounds, and does not hold back the messages behind it.
TEST_F(OfflineSynthTest, AStartsStepSoundsFromItsRollFrameAndACancelledOneNever) {
    constexpr std::int64_t kRoll = 40 * kPeriod;
    constexpr std::uint32_t kOffset = 1000;
    const TimedMessage step = message(testing::kClaves, midiout::releaseMoment({}));
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "cancelled" : "released");
        PlacedSynth placed;
        ASSERT_TRUE(placed.start(*findGmSoundfont(), kRate));
        ASSERT_TRUE(placed.pushAtRelease(step, kOffset, 0));
        std::vector<float> level;
        for (std::int64_t frame = 0; frame < kSecond; frame += kPeriod) {
            JackRelease release{ReleasePhase::Awaiting, 0};
            if (frame >= kRoll) {
                release = cancelled ? JackRelease{ReleasePhase::Cancelled, 0}
                                    : JackRelease{ReleasePhase::Released,
                                                  static_cast<std::uint32_t>(kRoll)};
            }
            if (cancelled && frame == kRoll + kPeriod) {
                ASSERT_TRUE(placed.pushAtJackFrame(kClaves, static_cast<std::uint32_t>(frame)));
            }
            float left[kPeriod];
            float right[kPeriod];
            placed.renderJackPeriod(static_cast<std::uint32_t>(frame), kPeriod, left, right,
                                    release);
            for (int i = 0; i < kPeriod; ++i) {
                level.push_back(std::max(std::fabs(left[i]), std::fabs(right[i])));
            }
        }
        const std::int64_t expected =
            cancelled ? gridBlockOf(kRoll + kPeriod +
                                    jackDelayFrames(kPeriod, static_cast<std::uint32_t>(kRate)))
                      : gridBlockOf(kRoll + kOffset);
        const std::vector<std::int64_t> onsets = onsetsIn(level);
        ASSERT_EQ(onsets.size(), 1u);
        EXPECT_GE(onsets[0], expected);
        EXPECT_LT(onsets[0], expected + kBlock);
        EXPECT_EQ(placed.lateCount(), 0u);
    }
}
} // namespace
} // namespace tambrel::backends
