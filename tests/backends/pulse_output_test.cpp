// The synth's stream to the desktop's sound server: a write that the server refuses, and a
// stream that rests while it has nothing to play.

#include "pulse_test_server.h"
#include "tests/support/needs.h"

#include "backends/synth/pulse_output.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pulse/stream.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// Once set, every write is refused, and counted.
std::atomic<bool> refuseWrites{false};
std::atomic<int> refusedWrites{0};

} // namespace

// The stream's writes come here (the program's own definition wins over the library's),
// and go on to the library unless they are to fail.
extern "C" int pa_stream_write(pa_stream* stream, const void* data, size_t bytes,
                               pa_free_cb_t freeData, int64_t offset, pa_seek_mode_t seek) {
    using Write = int (*)(pa_stream*, const void*, size_t, pa_free_cb_t, int64_t, pa_seek_mode_t);
    static const auto library = reinterpret_cast<Write>(::dlsym(RTLD_NEXT, "pa_stream_write"));
    if (refuseWrites.load()) {
        refusedWrites.fetch_add(1);
        return -PA_ERR_BADSTATE;
    }
    return library(stream, data, bytes, freeData, offset, seek);
}

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;

void silence(void*, std::int64_t, int, int, float*, float*) noexcept {}

// The streams playing on the test's server, as pactl lists them.
std::string playingStreams() {
    std::string listed;
    if (FILE* pactl = ::popen("pactl list short sink-inputs 2>/dev/null", "r")) {
        char buffer[256];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pactl)) > 0;) {
            listed.append(buffer, got);
        }
        ::pclose(pactl);
    }
    return listed;
}

// A write that fails ends the stream's use, as the server's death would: the stream
// leaves the server, rather than stay there stalled and silent.
TEST(PulseOutput, AFailedWriteEndsTheStream) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PulseAudio could not start here: " << server.failure());
    }
    struct WritesPass {
        ~WritesPass() { refuseWrites = false; }
    } afterwards;
    const std::unique_ptr<PulseOutput> out =
        PulseOutput::open("pulse output test", 48000, 256, 1024, &silence, nullptr);
    ASSERT_NE(out, nullptr);
    std::string left = playingStreams();
    for (int tries = 0; tries < 100 && left.empty(); ++tries) {
        std::this_thread::sleep_for(20ms);
        left = playingStreams();
    }
    ASSERT_NE(left, "") << "pactl does not list the stream";
    refuseWrites = true;
    const auto giveUp = std::chrono::steady_clock::now() + 2s;
    while (refusedWrites.load() == 0 && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GT(refusedWrites.load(), 0) << "the server asked for no more audio";
    for (int tries = 0; tries < 50 && !left.empty(); ++tries) {
        std::this_thread::sleep_for(20ms);
        left = playingStreams();
    }
    EXPECT_EQ(left, "") << "the stream stayed on the server after a failed write";
}

// What a stream's owner says and sees: whether it has anything to play, and how many
// requests came.
struct Counted {
    std::atomic<bool> quiet{false};
    std::atomic<int> requests{0};
    static void render(void* self, std::int64_t, int, int, float*, float*) noexcept {
        static_cast<Counted*>(self)->requests.fetch_add(1);
    }
    static bool mayRest(void* self) noexcept { return static_cast<Counted*>(self)->quiet.load(); }
};

// With nothing to play the stream rests and the server asks for nothing (a stopped window
// costs no processor); wake() brings the requests back at once.
TEST(PulseOutput, AQuietStreamRestsUntilWoken) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PulseAudio could not start here: " << server.failure());
    }
    Counted counted;
    const std::unique_ptr<PulseOutput> out = PulseOutput::open(
        "pulse output test", 48000, 128, 1024, &Counted::render, &counted, &Counted::mayRest);
    ASSERT_NE(out, nullptr);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(out->rests(), 0u) << "rested with something to play";

    counted.quiet = true;
    const auto giveUp = std::chrono::steady_clock::now() + 2s;
    while (out->rests() == 0 && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(out->rests(), 1u);
    std::this_thread::sleep_for(50ms); // a request already on its way may still come
    const int atRest = counted.requests.load();
    std::this_thread::sleep_for(300ms); // some 110 requests' worth while playing
    EXPECT_EQ(counted.requests.load(), atRest) << "the server kept asking while at rest";

    counted.quiet = false;
    out->wake();
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(counted.requests.load(), atRest + 10) << "wake() did not bring the requests back";
    EXPECT_EQ(out->rests(), 1u);
}

// Two clicks a second apart on the stream's own frames, and between them one request that
// keeps the server waiting far longer than the buffer lasts, with a third click due in the
// frames the server plays as silence meanwhile. As the synth does, a click whose frame will
// not be heard sounds on the first frame that will.
struct StalledClicks {
    static constexpr std::int64_t kFirst = 24000;
    static constexpr std::int64_t kSecond = 72000;
    static constexpr std::int64_t kStallAt = 36000;
    static constexpr std::int64_t kInGap = 37000; // 20 ms into the 80 ms stall
    static constexpr auto kStall = 80ms;
    std::int64_t frame = 0; // the stream's thread only
    bool stalled = false;
    std::int64_t inGapAt = -1; // the stream's frame that the third click sounded on
    static void render(void* self, std::int64_t, int frames, int unheard, float* left,
                       float* right) noexcept {
        auto* clicks = static_cast<StalledClicks*>(self);
        const auto click = [&](std::int64_t offset) {
            for (std::int64_t i = offset; i < std::min<std::int64_t>(offset + 48, frames); ++i) {
                left[i] = right[i] = 0.9f;
            }
        };
        for (const std::int64_t due : {kFirst, kSecond}) {
            if (due >= clicks->frame && due < clicks->frame + frames) {
                click(due - clicks->frame);
            }
        }
        const std::int64_t inGap = std::max(kInGap - clicks->frame, std::int64_t{unheard});
        if (clicks->inGapAt < 0 && kInGap < clicks->frame + frames && inGap < frames) {
            clicks->inGapAt = clicks->frame + inGap;
            click(inGap);
        }
        clicks->frame += frames;
        if (!clicks->stalled && clicks->frame >= kStallAt) {
            clicks->stalled = true;
            std::this_thread::sleep_for(kStall);
        }
    }
};

// A stream that runs dry loses the audio it was late with, not its timeline: the frames
// written after the gap play where they belong, so a click track keeps its grid through
// an underflow instead of slipping by the length of the gap. A note due in the gap is not
// lost with it: it sounds as soon as the stream is heard again.
TEST(PulseOutput, AnUnderflowKeepsTheStreamsTimeline) {
    testing::PrivatePulseServer server;
    if (!server.start()) {
        TAMBREL_MISSING_NEED("PulseAudio could not start here: " << server.failure());
    }
    ASSERT_TRUE(server.startRecording());
    StalledClicks clicks;
    std::unique_ptr<PulseOutput> out =
        PulseOutput::open("pulse output test", 48000, 128, 1024, &StalledClicks::render, &clicks);
    ASSERT_NE(out, nullptr);
    std::this_thread::sleep_for(1800ms);
    const std::uint64_t underflows = out->underflows();
    out.reset();
    const testing::Recording heard = server.stopRecording();
    EXPECT_GE(underflows, 1u) << "the stalled request did not run the stream dry";
    const std::vector<std::int64_t> onsets = testing::findOnsets(heard.samples, 0.5f, 0.1f, 4800);
    ASSERT_EQ(onsets.size(), 3u) << "the click due in the gap was lost with it";
    EXPECT_NEAR(onsets[2] - onsets[0], StalledClicks::kSecond - StalledClicks::kFirst, 64)
        << "the frames after the gap were heard late";
    // Moved out of the gap to a frame that is heard, and heard on it, within 10 ms of the
    // stall's end.
    EXPECT_GT(clicks.inGapAt, StalledClicks::kInGap) << "the gap did not reach the click";
    EXPECT_NEAR(onsets[1] - onsets[0] + StalledClicks::kFirst, clicks.inGapAt, 64)
        << "placed on a frame the server did not play";
    EXPECT_LT(clicks.inGapAt, StalledClicks::kStallAt + 48 * 80 + 480);
}

} // namespace
} // namespace tambrel::backends
