// tambrel-pattern render: the WAV file libsndfile reads back, its length and format, and
// its failures, none of which leaves a file behind.

#include "export/render.h"
#include "tests/export/audio.h"
#include "tests/export/clock_rig.h"
#include "tests/support/child_process.h"
#include "tests/tools/tool_rig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace {

using tambrel::testing::Audio;
using tambrel::testing::childExited;
using tambrel::testing::ChildStreams;
using tambrel::testing::readWav;
using tambrel::testing::Result;
using tambrel::testing::spawnChild;
using tambrel::testing::TambrelPatternTool;
using tambrel::testing::waitChild;

// The frame where the loop's last bar ends, at `rate`.
std::int64_t loopFrames(const std::string& preset, int bars, int rate) {
    tambrel::testing::ClockRig rig;
    EXPECT_TRUE(rig.loadPreset(preset));
    const tambrel::engine::RhythmEngine& engine = rig.machine.engine();
    return tambrel::exporting::frameOfStep(std::int64_t{bars} * engine.stepsPerBar(),
                                           engine.stepPeriod(), rate);
}

using RenderExport = TambrelPatternTool;

TEST_F(RenderExport, AStereoWavOfTheBarsAndTheirRing) {
    const std::string out = (dir / "bossa.wav").string();
    const Result r = run({"render", "--preset", "Bossa Nova", out, "--bars", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, ""); // no progress where standard error is no terminal
    const Audio pcm = readWav(out);
    EXPECT_EQ(pcm.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(pcm.rate, 48000);
    EXPECT_EQ(pcm.channels, 2);
    const std::int64_t end = loopFrames("Bossa Nova", 2, 48000);
    EXPECT_GT(pcm.frames(), end);
    EXPECT_LE(pcm.frames(), end + 3 * 48000);
    EXPECT_GT(tambrel::testing::rmsDbfs(pcm, end), -40.0);

    const std::string floats = (dir / "bossa-float.wav").string();
    ASSERT_EQ(run({"render", "--float", "--rate", "44100", "--preset", "Bossa Nova", floats,
                   "--bars", "2"})
                  .status,
              0);
    const Audio f = readWav(floats);
    EXPECT_EQ(f.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(f.rate, 44100);
    EXPECT_GT(f.frames(), loopFrames("Bossa Nova", 2, 44100));
    EXPECT_EQ(filesLeft(), (std::vector<std::string>{"bossa-float.wav", "bossa.wav"}));
}

TEST_F(RenderExport, FailuresSayWhyOnOneLineAndLeaveNoFileBehind) {
    const std::string bad = write("bad.qel", "4/4\r\n");
    const std::string text = write("notes.sf2", "not a soundfont");
    const std::string out = (dir / "out.wav").string();
    const std::string none = (dir / "none.sf2").string();
    expectFailures(
        {
            {{"render", bad, out}, bad + ": line 2: missing (a pattern has at least ten lines)"},
            {{"render", "--preset", "Sambaa", out},
             "\"Sambaa\": no built-in rhythm has this caption (tambrel-pattern presets lists "
             "them)"},
            {{"render", "--preset", "Samba", out, "--soundfont", none},
             none + ": No such file or directory"},
            {{"render", "--preset", "Samba", out, "--soundfont", text},
             text + ": not a soundfont that FluidSynth can load"},
            {{"render", "--preset", "Samba", (dir / "no" / "x.wav").string()},
             (dir / "no" / "x.wav").string() + ": No such file or directory"},
            {{"render", "--preset", "Samba", dir.string()}, dir.string() + ": Is a directory"},
            // Neither file that is read may be the one written.
            {{"render", bad, bad},
             "'" + bad + "' and '" + bad +
                 "' are the same file: writing it would destroy the input"},
            {{"render", "--preset", "Samba", text, "--soundfont", text},
             "'" + text + "' and '" + text +
                 "' are the same file: writing it would destroy the input"},
        },
        {"bad.qel", "notes.sf2"});

    EXPECT_EQ(tambrel::testing::slurp(bad), "4/4\r\n");
    EXPECT_EQ(tambrel::testing::slurp(text), "not a soundfont");
    expectFullDiskKeepsOldFile(out, 64, {"render", "--preset", "Samba", out});
    EXPECT_EQ(filesLeft(), (std::vector<std::string>{"bad.qel", "notes.sf2", "out.wav"}));
}

// Stopped with a signal halfway through a long render: the program ends by that signal,
// and its temporary file goes with it.
TEST_F(RenderExport, AKilledRenderLeavesNoTemporaryFile) {
    const std::string out = (dir / "long.wav").string();
    const pid_t pid =
        spawnChild({TAMBREL_PATTERN_TOOL, "render", "--preset", "Samba", out, "--bars", "999"},
                   ChildStreams::inherited());
    ASSERT_GT(pid, 0);
    // Waits for the render's temporary file, however slow the build.
    while (filesLeft().empty()) {
        ASSERT_FALSE(childExited(pid)) << "ended before it wrote anything";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const int status = waitChild(pid);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(filesLeft(), std::vector<std::string>{});
}

TEST_F(RenderExport, WrongCallsExitWithTwo) {
    const std::vector<std::vector<std::string>> calls = {
        {"render", "--preset", "Samba"},
        {"render", "--preset", "Samba", "a.wav", "--rate", "22050"},
        {"render", "--preset", "Samba", "a.wav", "--rate", "48k"},
        {"render", "--preset", "Samba", "a.wav", "--soundfont"},
        {"render", "--preset", "Samba", "a.wav", "--float=yes"},
        {"midi", "--preset", "Samba", "a.mid", "--float"},
        {"midi", "--preset", "Samba", "a.mid", "--soundfont", "x.sf2"},
    };
    for (const auto& call : calls) {
        const Result r = run(call);
        EXPECT_EQ(r.status, 2) << call.back();
        EXPECT_NE(r.err.find("Try 'tambrel-pattern --help'"), std::string::npos) << r.err;
    }
    EXPECT_EQ(filesLeft(), std::vector<std::string>{});
}

} // namespace
