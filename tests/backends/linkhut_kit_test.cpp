// The LinkHut kit: its reading of LinkHut's screen, on screens as LinkHut writes them, and
// LinkHut itself driven by its keys in a private network, on a private JACK server, its
// clicks recorded there.

#include "tests/backends/jack_audio_recorder.h"
#include "tests/backends/jack_test_server.h"
#include "tests/backends/linkhut_program.h"
#include "tests/backends/private_network.h"
#include "tests/support/child_process.h"
#include "tests/support/needs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <string>
#include <thread>

namespace tambrel::testing {
namespace {

using namespace std::chrono_literals;

// What LinkHut writes first: its help, the heading, then the status line over and over,
// each one after a carriage return.
constexpr const char* kHelpAndHeading =
    "\r\n < L I N K  H U T >\r\n\r\nusage:\r\n  enable / disable Link: a\r\n"
    "  start / stop: space\r\n  quit: q\r\n\r\n"
    "enabled | num peers | quantum | start stop sync | tempo   | beats   | metro\r\n";
constexpr const char* kStopped =
    "no      | 0         | 4       | no  [stopped]   | 120.000000 | 0.21    | XOOO   ";
constexpr const char* kPlaying =
    "yes     | 2         | 3       | yes [playing]   | 121.00  | -0.01   | XXX    ";

TEST(LinkHutScreen, ReadsOnlyWholeStatusLinesWhicheverWayTheBytesArrive) {
    LinkHutScreen screen;
    screen.feed(kHelpAndHeading);
    EXPECT_FALSE(screen.state()) << "the help and the heading are no status";
    const std::string both = std::string(kStopped) + "\r" + kPlaying + "\r";
    // Cut in the middle of the tempo: half a line is not read as a status line of its own.
    const std::size_t cut = both.find("121.") + 2;
    screen.feed(both.substr(0, cut));
    ASSERT_TRUE(screen.state());
    EXPECT_EQ(screen.statusLinesSeen(), 1u);
    EXPECT_FALSE(screen.state()->enabled);
    EXPECT_DOUBLE_EQ(screen.state()->tempo, 120.0);
    screen.feed(both.substr(cut));
    ASSERT_EQ(screen.statusLinesSeen(), 2u);
    const LinkHutState& s = *screen.state();
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.peers, 2);
    EXPECT_EQ(s.quantum, 3);
    EXPECT_TRUE(s.startStopSync);
    EXPECT_TRUE(s.playing);
    EXPECT_DOUBLE_EQ(s.tempo, 121.0);
    EXPECT_DOUBLE_EQ(s.beats, -0.01);
    EXPECT_EQ(s.beatInBar(), 2);
}

TEST(LinkHutScreen, ShowsWhatATerminalWouldWithEscapesObeyed) {
    LinkHutScreen screen;
    screen.feed(kHelpAndHeading);
    // Half a line written over a whole one, in colour: the terminal shows the rest of the
    // old line after it, and no escape.
    screen.feed(std::string(kStopped) + "\r\x1b[1;32myes\x1b[0m");
    const std::string text = screen.text();
    EXPECT_EQ(text.substr(text.rfind('\n') + 1),
              "yes     | 0         | 4       | no  [stopped]   | 120.000000 | 0.21    | XOOO");
    EXPECT_NE(text.find("usage:\n  enable / disable Link: a\n"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\x1b\r"), std::string::npos) << text;
    ASSERT_TRUE(screen.state());
    EXPECT_FALSE(screen.state()->enabled) << "the status line being written is not read yet";
}

TEST(LinkHutScreen, RefusesLinesThatAreNotWholeStatusLines) {
    for (const std::string line :
         {"enabled | num peers | quantum | start stop sync | tempo   | beats   | metro",
          "yes | 0 | 4 | no  [stopped] | 120.00 | 0.21", // no metro
          "yes | 0 | 4 | no  [stopped] | 12x.00 | 0.21 | XOOO",
          "yes | 0 | 4 | no              | 120.00 | 0.21 | XOOO", // neither playing nor stopped
          "maybe | 0 | 4 | no  [stopped] | 120.00 | 0.21 | XOOO"}) {
        EXPECT_FALSE(LinkHutScreen::parseStatus(line)) << line;
    }
    EXPECT_TRUE(LinkHutScreen::parseStatus(kStopped));
}

void rerunInPrivateNetwork() {
    rerunTestInPrivateNetworkOrSkip(true);
}

// The first onset of each click, where it first reaches a quarter of the loudest one.
std::vector<std::int64_t> clicks(const Recording& recording) {
    return recording.onsets(recording.peak() / 4, 0.1);
}

TEST(LinkHutKit, ItsKeysChangeWhatItShowsAndItClicksAtTheTempoItShows) {
    if (!startedForPrivateNetwork()) {
        return rerunInPrivateNetwork();
    }
    ASSERT_TRUE(insidePrivateNetwork()) << "not a private network: no Link";
    // The deadline counts from when the server is ours: other tests' servers come first.
    PrivateJackServer server;
    const Deadline deadline(30s, "LinkHutKit");
    ASSERT_TRUE(server.start());
    JackAudioRecorder recorder(4 * PrivateJackServer::kSampleRate);
    ASSERT_TRUE(recorder.ok());
    LinkHutProgram hut;
    ASSERT_TRUE(hut.waitUntilUp()) << "its screen:\n" << hut.screen();
    const LinkHutState first = *hut.state();
    EXPECT_FALSE(first.enabled);
    EXPECT_EQ(first.peers, 0);
    EXPECT_FALSE(first.playing);
    EXPECT_DOUBLE_EQ(first.tempo, 120.0);

    ASSERT_TRUE(hut.setLinkEnabled(true)) << hut.screen();
    ASSERT_TRUE(hut.setTempo(124)) << hut.screen();
    ASSERT_TRUE(hut.setTempo(121)) << hut.screen();
    ASSERT_TRUE(hut.setQuantum(3)) << hut.screen();
    EXPECT_EQ(hut.state()->metro.size(), 3u) << "a letter a beat of the bar";
    ASSERT_EQ(recorder.listenTo(LinkHutProgram::kOutputPorts), 2);
    recorder.startRecording();
    ASSERT_TRUE(hut.setPlaying(true)) << hut.screen();
    std::this_thread::sleep_for(2100ms);
    ASSERT_TRUE(hut.setPlaying(false)) << hut.screen();
    std::cout << "LinkHut's screen:\n" << hut.screen() << "\n";

    const Recording recording = recorder.recording();
    const std::vector<std::int64_t> onsets = clicks(recording);
    ASSERT_GE(onsets.size(), 3u) << "peak " << dbfs(recording.peak()) << " dBFS";
    // A click on every beat, at the tempo on its screen: the middle beat within a millisecond
    // (one bpm off is 196 frames a beat). Single beats may be far off: its clicks follow its
    // own guess of when JACK's periods are played, which a dummy server that stalls for a
    // tenth of a second on a busy machine throws out for seconds.
    const double beatFrames = 60.0 / 121 * PrivateJackServer::kSampleRate;
    std::string beats;
    std::vector<std::int64_t> spacing;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        beats += " " + std::to_string(onsets[i] - onsets[i - 1]);
        spacing.push_back(onsets[i] - onsets[i - 1]);
    }
    std::nth_element(spacing.begin(), spacing.begin() + spacing.size() / 2, spacing.end());
    EXPECT_NEAR(static_cast<double>(spacing[spacing.size() / 2]), beatFrames, 48)
        << "beats of" << beats << " frames, " << recording.skippedSeconds() << " s skipped";
    // Stopped, it is silent: more than a beat without a sound, once the last click's ring
    // is over.
    std::this_thread::sleep_for(200ms);
    recorder.resetPeak();
    std::this_thread::sleep_for(600ms);
    EXPECT_LT(recorder.peak(), 1e-4f);
}

TEST(LinkHutKit, TwoLinkHutsMeetAndShareTempoAndStartStop) {
    if (!startedForPrivateNetwork()) {
        return rerunInPrivateNetwork();
    }
    ASSERT_TRUE(insidePrivateNetwork()) << "not a private network: no Link";
    // The deadline counts from when the server is ours: other tests' servers come first.
    PrivateJackServer server;
    const Deadline deadline(30s, "LinkHutKit");
    ASSERT_TRUE(server.start());
    LinkHutProgram a;
    LinkHutProgram b;
    ASSERT_TRUE(a.waitUntilUp() && b.waitUntilUp()) << a.screen() << "\n" << b.screen();
    ASSERT_TRUE(a.setLinkEnabled(true) && a.setStartStopSync(true)) << a.screen();
    ASSERT_TRUE(b.setTempo(97) && b.setLinkEnabled(true) && b.setStartStopSync(true)) << b.screen();
    const auto met = [](const LinkHutState& s) { return s.peers == 1; };
    ASSERT_TRUE(a.waitFor(met, 5s) && b.waitFor(met, 5s)) << a.screen() << "\n" << b.screen();
    // The first one's session is the older, and wins.
    EXPECT_TRUE(b.waitFor([](const LinkHutState& s) { return s.tempo == 120.0; })) << b.screen();

    ASSERT_TRUE(b.setTempo(133)) << b.screen();
    EXPECT_TRUE(a.waitFor([](const LinkHutState& s) { return s.tempo == 133.0; })) << a.screen();
    ASSERT_TRUE(a.setPlaying(true)) << a.screen();
    EXPECT_TRUE(b.waitFor([](const LinkHutState& s) { return s.playing; })) << b.screen();
    ASSERT_TRUE(b.setPlaying(false)) << b.screen();
    EXPECT_TRUE(a.waitFor([](const LinkHutState& s) { return !s.playing; })) << a.screen();
}

} // namespace
} // namespace tambrel::testing
