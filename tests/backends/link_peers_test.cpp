// Tambrel's engine in a Link session with LinkHut, Ableton's example peer, on the network of
// a private namespace: the session's tempo taken on joining and shared both ways, start and
// stop shared both ways, the first note on the session's bar, a peer that vanishes mid-bar;
// and a network where Link finds no way out, where Tambrel plays alone and its window starts
// without a word.

#include "backends/link/link_source.h"
#include "engine/rhythm_engine.h"
#include "tests/backends/jack_test_server.h"
#include "tests/backends/linkhut_program.h"
#include "tests/backends/private_network.h"
#include "tests/engine/kit_trigger.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace tambrel::testing {
namespace {

using namespace std::chrono_literals;
using engine::PlayState;

// Tambrel's engine following a Link session on the steady clock's frames, a note on each
// beat, looked at every 20 ms as the window does.
struct LinkedEngine {
    explicit LinkedEngine(double tempo, bool startStopSync)
        : frames(std::make_shared<midiout::SteadyFrames>()),
          source(backends::joinLinkSession(frames, 0, tempo, startStopSync)) {
        for (const int beat : {1, 5, 9, 13}) {
            rig.engine.grid().set(1, beat, true);
        }
        rig.engine.setFollowedSource(source.get());
    }
    ~LinkedEngine() { rig.engine.setFollowedSource(nullptr); }

    template <typename Done> bool lookUntil(Done done, std::chrono::milliseconds limit) {
        for (const auto until = std::chrono::steady_clock::now() + limit;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(20ms)) {
            rig.engine.followTick();
            if (done()) {
                return true;
            }
        }
        return false;
    }
    // Where the session's grid puts a moment, in steps.
    double stepAt(midiout::Moment moment) const {
        const midiout::FollowedGrid grid = source->grid();
        const auto frames =
            static_cast<std::int32_t>(this->frames->frameAt(moment) - grid.anchorFrame);
        return static_cast<double>(grid.anchorStep) + frames / grid.framesPerStep;
    }

    std::shared_ptr<const midiout::SteadyFrames> frames;
    std::unique_ptr<backends::LinkSource> source;
    MemoryEngineRig rig;
};

// LinkHut up, in a session at 121 that shares start and stop, there a while: two sessions
// that begin within half a second of each other are equals to Link, which keeps either.
bool hutInASessionOf121(LinkHutProgram& hut) {
    const bool ready = hut.waitUntilUp() && hut.setTempo(121) && hut.setLinkEnabled(true) &&
                       hut.setStartStopSync(true);
    std::this_thread::sleep_for(700ms);
    return ready;
}

TEST(LinkPeers, TambrelTakesTheSessionSharesTempoAndStartStopAndPlaysOnWhenAPeerVanishes) {
    if (!startedForPrivateNetwork()) {
        return rerunTestInPrivateNetworkOrSkip(true);
    }
    ASSERT_TRUE(insidePrivateNetwork()) << "not a private network: no Link";
    // The deadline counts from when the server is ours: other tests' servers come first.
    PrivateJackServer server;
    const Deadline deadline(55s, "LinkPeers");
    ASSERT_TRUE(server.start());
    auto hut = std::make_unique<LinkHutProgram>();
    ASSERT_TRUE(hutInASessionOf121(*hut)) << hut->screen();

    LinkedEngine tambrel(100, true);
    engine::RhythmEngine& engine = tambrel.rig.engine;
    ASSERT_TRUE(tambrel.lookUntil(
        [&] { return tambrel.source->peers() == 1 && engine.tempo() == 121; }, 5s))
        << "peers " << tambrel.source->peers() << ", tempo " << engine.tempo() << ", grid "
        << tambrel.source->grid().tempo << "\n"
        << hut->screen();
    EXPECT_EQ(hut->state()->tempo, 121.0) << "joining kept the session's tempo";

    // The spinner proposes; LinkHut's key is followed within 100 ms of its screen showing it.
    engine.tempoSelector().setPosition(133);
    engine.UpdateStepPeriod();
    EXPECT_TRUE(hut->waitFor([](const LinkHutState& s) { return s.tempo == 133.0; }))
        << hut->screen();
    hut->press(LinkHutProgram::Key::TempoUp);
    ASSERT_TRUE(hut->waitFor([](const LinkHutState& s) { return s.tempo == 134.0; }));
    EXPECT_TRUE(tambrel.lookUntil([&] { return engine.tempo() == 134; }, 100ms + 40ms));

    // LinkHut's start starts Tambrel, its first note on the session's bar.
    ASSERT_TRUE(hut->setPlaying(true)) << hut->screen();
    ASSERT_TRUE(tambrel.lookUntil([&] { return tambrel.rig.recorder.size() > 0; }, 3s));
    EXPECT_EQ(engine.playState(), PlayState::Playing);
    const double first = tambrel.stepAt(tambrel.rig.recorder.messages().front().due);
    EXPECT_NEAR(first - 16 * std::round(first / 16), 0, 0.01) << "step " << first;

    // Tambrel's Stop and Play stop and start LinkHut.
    engine.StopPlayback();
    EXPECT_TRUE(hut->waitFor([](const LinkHutState& s) { return !s.playing; })) << hut->screen();
    engine.StartPlayback();
    EXPECT_TRUE(hut->waitFor([](const LinkHutState& s) { return s.playing; })) << hut->screen();
    // Play again waits for the session's next bar.
    const std::size_t played = tambrel.rig.recorder.size();
    ASSERT_TRUE(tambrel.lookUntil([&] { return tambrel.rig.recorder.size() >= played + 2; }, 6s));
    EXPECT_EQ(engine.playState(), PlayState::Playing);

    // LinkHut goes between two beats: Tambrel plays on, alone, a note a beat at 134.
    std::this_thread::sleep_for(200ms);
    hut.reset();
    EXPECT_TRUE(tambrel.lookUntil([&] { return tambrel.source->peers() == 0; }, 10s));
    const std::size_t gone = tambrel.rig.recorder.size();
    tambrel.lookUntil([] { return false; }, 2s); // four beats and a half at 134
    EXPECT_EQ(engine.playState(), PlayState::Playing);
    EXPECT_GE(tambrel.rig.recorder.size() - gone, 4u) << "notes after it went";
}

TEST(LinkPeers, WithNoWayOutTambrelPlaysAloneAndItsWindowStartsWithoutAWord) {
    if (!startedForPrivateNetwork()) {
        return rerunTestInPrivateNetworkOrSkip(false, false);
    }
    ASSERT_TRUE(insidePrivateNetwork()) << "not a private network: no Link";
    const Deadline deadline(30s, "LinkPeers");
    {
        LinkedEngine tambrel(120, false);
        tambrel.rig.engine.StartPlayback();
        // Its own Play starts at the session's next bar: two seconds at most at 120.
        EXPECT_TRUE(tambrel.lookUntil([&] { return tambrel.rig.recorder.size() >= 3; }, 4s));
        EXPECT_EQ(tambrel.source->peers(), 0u);
        tambrel.rig.engine.StopPlayback();
    }
#ifndef TAMBREL_PROGRAM
    GTEST_SKIP() << "a build without the window";
#else
    // The window, in a home of its own with no settings file: only --link.
    const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                       ("tambrel-link-window-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home / "runtime");
    std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
    const std::string errors = (home / "errors").string();
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + home.string(),
                                    "XDG_RUNTIME_DIR=" + (home / "runtime").string(),
                                    "PATH=/usr/bin:/bin"};
    const pid_t window = spawnChild({TAMBREL_PROGRAM, "--link"}, {errors, errors}, &env);
    ASSERT_GT(window, 0);
    std::this_thread::sleep_for(3s);
    EXPECT_FALSE(childExited(window)) << "the window ended:\n" << lastLinesOf(errors, 10);
    killChild(window);
    std::ifstream said(errors);
    std::stringstream text;
    text << said.rdbuf();
    EXPECT_EQ(text.str(), "") << "the window said something";
    std::filesystem::remove_all(home);
#endif
}

} // namespace
} // namespace tambrel::testing
