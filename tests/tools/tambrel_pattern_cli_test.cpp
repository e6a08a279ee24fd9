// Runs tambrel-pattern as a separate process, as scripts do, and checks its standard
// output, standard error and exit status.

#include "tests/patterns/worked_example.h"
#include "tests/patterns_presets/preset_tables.h"
#include "tests/tools/tool_rig.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tambrel::testing::Result;
using tambrel::testing::TambrelPatternTool;

using tambrel::testing::kWorkedExample;

TEST_F(TambrelPatternTool, NormalizeWritesWhatSaveWouldWrite) {
    const Result same = run({"normalize", write("example.qel", kWorkedExample)});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, kWorkedExample);
    EXPECT_EQ(same.err, "");

    // The same pattern untidied: LF only, hex tempo, a blank before a volume, tracks out of
    // order, steps past the bar and cells on hidden columns' steps.
    const std::string untidy = "6/8\n$5A\n"
                               "TR8INFO:127+Ride Cymbal 1\n"
                               "TR2INFO:100+Acoustic Snare\n"
                               "TR3INFO: 80+Close Hi-Hat\n"
                               "TR4INFO:100+Open Hi-Hat\n"
                               "TR5INFO:100+High Tom\n"
                               "TR6INFO:100+Low Tom\n"
                               "TR7INFO:100+Crash Cymbal 1\n"
                               "TR1INFO:100+Acoustic Bass Drum\n"
                               "101\n001\n00100000\n011\n001zzz\n00100000\n11111111\n11111111\n";
    const Result tidied = run({"normalize", write("untidy.qel", untidy)});
    EXPECT_EQ(tidied.status, 0);
    EXPECT_EQ(tidied.out, kWorkedExample);
}

TEST_F(TambrelPatternTool, NormalizeOfARejectedFilePrintsTheLoadMessageAndWhy) {
    const std::string badVolume = kWorkedExample.substr(0, kWorkedExample.find("TR3")) +
                                  "TR3INFO:1x+Close Hi-Hat\r\n" +
                                  kWorkedExample.substr(kWorkedExample.find("TR4"));
    const std::pair<std::string, std::string> cases[] = {
        {write("bad.qel", badVolume), "line 5: volume \"1x\" is not a number"},
        {write("empty.qel", ""), "line 1: missing (a pattern has at least ten lines)"},
        {(dir / "missing.qel").string(), "No such file or directory"},
        {dir.string(), "Is a directory"},
    };
    for (const auto& [path, why] : cases) {
        const Result r = run({"normalize", path});
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.out, "") << path;
        // The window's message, unpadded, then the file and the reason on a line of its own.
        EXPECT_EQ(r.err, "tambrel-pattern: There was an error loading the file.\n"
                         "tambrel-pattern: " +
                             path + ": " + why + "\n");
    }
}

TEST_F(TambrelPatternTool, PresetsListsGroupAndCaptionInMenuOrder) {
    const Result r = run({"presets"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), std::size(preset_tables::kExpected));
    EXPECT_EQ(lines.front(), "Country Rhythms/Shuffle 1");
    EXPECT_EQ(lines[8], "Country Rhythms/2/4 Country");
    EXPECT_EQ(lines[12], "Rock Rhythms/4 Beat Rock");
    EXPECT_EQ(lines[19], "Click Track/4/4 Cowbell");
    EXPECT_EQ(lines.back(), "Other/Samba");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string caption = lines[i].substr(lines[i].find('/') + 1);
        EXPECT_EQ(caption, preset_tables::kExpected[i].caption);
    }
}

TEST_F(TambrelPatternTool, PresetWritesTheFileOfTheFreshlyChosenRhythm) {
    const Result r = run({"preset", "Waltz"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "6/8\r\n110\r\n"
                     "TR1INFO:100+Acoustic Bass Drum\r\n"
                     "TR2INFO:100+Acoustic Snare\r\n"
                     "TR3INFO:100+Close Hi-Hat\r\n"
                     "TR4INFO:100+Open Hi-Hat\r\n"
                     "TR5INFO:100+High Tom\r\n"
                     "TR6INFO:100+Low Tom\r\n"
                     "TR7INFO:100+Crash Cymbal 1\r\n"
                     "TR8INFO:100+Ride Cymbal 1\r\n"
                     "10100000\r\n00000000\r\n01100000\r\n00000000\r\n01100000\r\n00000000\r\n");

    // The written file normalizes to itself.
    const Result again = run({"normalize", write("waltz.qel", r.out)});
    EXPECT_EQ(again.out, r.out);

    const Result shuffle = run({"preset", "Shuffle 2"});
    EXPECT_NE(shuffle.out.find("\r\nTR2INFO:73+Acoustic Snare\r\n"), std::string::npos);
}

TEST_F(TambrelPatternTool, UnknownPresetFailsWithAMessage) {
    const Result r = run({"preset", "waltz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("waltz"), std::string::npos) << r.err;
}

TEST_F(TambrelPatternTool, HelpGoesToStandardOutput) {
    const Result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (const char* word : {"normalize FILE", "presets", "preset CAPTION",
                             "midi (FILE | --preset CAPTION) OUT.mid [--bars N]",
                             "render (FILE | --preset CAPTION) OUT.wav [--bars N]"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

TEST_F(TambrelPatternTool, VersionNamesTheLicence) {
    const Result r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("tambrel-pattern ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nLicense GPL-3.0-or-later: GNU GPL version 3 or later"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run({"--version", "x"}).status, 2);
}

TEST_F(TambrelPatternTool, WrongCallsExitWithTwo) {
    const std::string file = write("example.qel", kWorkedExample);
    const std::vector<std::vector<std::string>> calls = {
        {},
        {"normalise", file},
        {"normalize"},
        {"normalize", file, file},
        {"presets", "Rock Rhythms"},
        {"preset"},
        {"preset", "Waltz", "Swing"},
        {"--help", "normalize"},
        {"--bogus"},
    };
    for (const auto& call : calls) {
        const Result r = run(call);
        std::string shown;
        for (const std::string& a : call) {
            shown += a + " ";
        }
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err, "") << shown;
    }
}

TEST_F(TambrelPatternTool, AFailedWriteIsAFailure) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    const Result r = run({"preset", "Waltz"}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
}

} // namespace
