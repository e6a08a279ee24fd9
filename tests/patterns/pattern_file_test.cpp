#include "patterns/pattern_file.h"
#include "platform/files.h"

#include "tests/patterns/machine_state.h"
#include "tests/patterns/worked_example.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace tambrel::patterns {
namespace {

using engine::PlayState;
using engine::TimeSig;
using testing::MachineState;
using testing::stateOf;
using namespace std::string_literals;

using tambrel::platform::readRegularFile;
using tambrel::testing::kWorkedExample;

const PatternLines kStartTrackLines = {
    "TR1INFO:100+Acoustic Bass Drum", "TR2INFO:100+Acoustic Snare", "TR3INFO:100+Close Hi-Hat",
    "TR4INFO:100+Open Hi-Hat",        "TR5INFO:100+High Tom",       "TR6INFO:100+Low Tom",
    "TR7INFO:100+Crash Cymbal 1",     "TR8INFO:100+Ride Cymbal 1"};

// A pattern's bytes from its pieces: time signature, tempo, the start kit's track lines
// with some replaced, step lines; every line ended by `eol`.
std::string patternText(std::string_view sig, std::string_view tempo,
                        const std::vector<std::string>& steps, std::string_view eol = "\r\n",
                        PatternLines tracks = kStartTrackLines) {
    std::string text = std::string(sig) + std::string(eol) + std::string(tempo) + std::string(eol);
    for (const std::string& line : tracks) {
        text += line + std::string(eol);
    }
    for (const std::string& step : steps) {
        text += step + std::string(eol);
    }
    return text;
}

PatternLines withTrackLine(std::size_t track, std::string line) {
    PatternLines tracks = kStartTrackLines;
    tracks[track - 1] = std::move(line);
    return tracks;
}

std::string saved(const machine::Machine& machine) {
    return WritePatternText(BuildPatternLines(machine));
}

// Cells of one track as "1"/"0" over the 16 columns.
std::string row(const machine::Machine& machine, int track) {
    return stateOf(machine).cells[static_cast<std::size_t>(track - 1)];
}

// A machine that is somewhere other than its start: every setting and many cells differ.
void makeBusy(machine::Machine& machine) {
    machine.engine().SelectTimeSignature(TimeSig::TwelveEight);
    machine.engine().tempoSelector().setPosition(77);
    machine.engine().UpdateStepPeriod();
    for (int t = 1; t <= 8; ++t) {
        machine.tracks().applyTrackInfo(t, 10 * t, "Cowbell");
        for (int c = t; c <= 16; c += 3) {
            machine.engine().grid().set(t, c, true);
        }
    }
}

// --- Framing -----------------------------------------------------------------------------

TEST(PatternText, CutsAtEveryKindOfLineBreak) {
    EXPECT_EQ(ReadPatternText("a\r\nb\rc\nd"), (PatternLines{"a", "b", "c", "d"}));
    // One break at the very end starts no line; a second one is an empty line.
    EXPECT_EQ(ReadPatternText("a\r\n"), (PatternLines{"a"}));
    EXPECT_EQ(ReadPatternText("a\r\n\r\n"), (PatternLines{"a", ""}));
    EXPECT_EQ(ReadPatternText("a\n\nb"), (PatternLines{"a", "", "b"}));
    // LF then CR are two breaks, not one.
    EXPECT_EQ(ReadPatternText("a\n\rb"), (PatternLines{"a", "", "b"}));
    EXPECT_EQ(ReadPatternText("a\r\r\n"), (PatternLines{"a", ""}));
    EXPECT_EQ(ReadPatternText("\r\n"), (PatternLines{""}));
    EXPECT_TRUE(ReadPatternText("").empty());
}

TEST(PatternText, NulEndsTheText) {
    EXPECT_EQ(ReadPatternText("ab\r\nc"s + '\0' + "d\r\ne\r\n"), (PatternLines{"ab", "c"}));
    EXPECT_EQ(ReadPatternText("ab\r\n"s + '\0' + "cd"), (PatternLines{"ab"}));
    EXPECT_TRUE(ReadPatternText("\0abc"s).empty());
}

TEST(PatternText, BytesAboveAsciiPassUnchanged) {
    const std::string name = "Caj\xC3\xB3n \xFF";
    EXPECT_EQ(ReadPatternText(name + "\r\n"), (PatternLines{name}));
    EXPECT_EQ(WritePatternText({name}), name + "\r\n");
}

TEST(PatternText, WriterEndsEveryLineWithCrLf) {
    EXPECT_EQ(WritePatternText({"4/4", "", "x"}), "4/4\r\n\r\nx\r\n");
    EXPECT_EQ(WritePatternText({}), "");
}

TEST(PatternText, WriterRefusesLinesThatWouldBreakTheFraming) {
    EXPECT_THROW(WritePatternText({"ok", "TR1INFO:100+Snare\r"}), PatternError);
    EXPECT_THROW(WritePatternText({"TR1INFO:100+Sn\nare"}), PatternError);
    EXPECT_THROW(WritePatternText({"TR1INFO:100+Sn"s + '\0' + "are"}), PatternError);
}

// --- Numbers -------------------------------------------------------------------------------

TEST(ConvertNumber, DecimalWithLeadingBlanksAndSign) {
    EXPECT_EQ(convertNumber("120"), 120);
    EXPECT_EQ(convertNumber("   80"), 80);
    EXPECT_EQ(convertNumber("+5"), 5);
    EXPECT_EQ(convertNumber(" -5"), -5);
    EXPECT_EQ(convertNumber("007"), 7);
    EXPECT_EQ(convertNumber("2147483647"), 2147483647);
    EXPECT_EQ(convertNumber("-2147483648"), -2147483647 - 1);
}

TEST(ConvertNumber, HexAfterEveryPrefix) {
    for (const char* text : {"$78", "x78", "X78", "0x78", "0X78", "  $78"}) {
        EXPECT_EQ(convertNumber(text), 120) << text;
    }
    EXPECT_EQ(convertNumber("$aB"), 0xAB);
    EXPECT_EQ(convertNumber("$FFFFFFFF"), -1); // all 32 bits
    EXPECT_EQ(convertNumber("$000000010"), 16);
}

TEST(ConvertNumber, EverythingElseFails) {
    for (const std::string_view text :
         {"",     "   ", "80 ",        "8 0",         "12a",        "+",
          "-",    "$",   "0x",         "x",           "-$10",       "$-10",
          "+0x5", "1e3", "2147483648", "-2147483649", "$100000000", "99999999999999999999",
          "\t5",  "5\r"}) {
        EXPECT_FALSE(convertNumber(text).has_value()) << '"' << text << '"';
    }
}

// --- Saving ----------------------------------------------------------------------------------

TEST(SavePattern, StartMachineGivesTwentySixLines) {
    machine::Machine machine;
    PatternLines want = {"4/4", "120"};
    want.insert(want.end(), kStartTrackLines.begin(), kStartTrackLines.end());
    want.insert(want.end(), 16, "00000000");
    const PatternLines lines = BuildPatternLines(machine);
    EXPECT_EQ(lines, want);
    EXPECT_EQ(ReadPatternText(saved(machine)), want);
}

TEST(SavePattern, WorkedExampleByteForByte) {
    machine::Machine machine;
    engine::RhythmEngine& engine = machine.engine();
    engine.SelectTimeSignature(TimeSig::SixEight);
    engine.tempoSelector().setPosition(90);
    engine.UpdateStepPeriod();
    machine.tracks().setVolume(3, 80);
    machine.tracks().setVolume(8, 127);
    engine.grid().set(1, 1, true); // step 1
    engine.grid().set(2, 6, true); // step 4 plays column 6
    for (int column : {1, 2, 5, 6, 9, 10}) {
        engine.grid().set(3, column, true);
    }

    const std::string bytes = saved(machine);
    EXPECT_EQ(bytes, kWorkedExample);
    EXPECT_EQ(bytes.size(), 277u);
    EXPECT_EQ(bytes.substr(0, 9), "\x36\x2F\x38\x0D\x0A\x39\x30\x0D\x0A");
}

TEST(SavePattern, WritesTheTempoSpinnersPositionNotTheTempoShown) {
    machine::Machine machine;
    // A spinner click moves the position after its handler read the old one.
    machine.engine().tempoSelector().step(true);
    ASSERT_EQ(machine.engine().tempo(), 120);
    EXPECT_EQ(BuildPatternLines(machine)[1], "121");
}

TEST(SavePattern, CellsOutsideTheSignaturesColumnsAreNotStored) {
    machine::Machine machine;
    machine.engine().SelectTimeSignature(TimeSig::SixEight);
    machine.engine().grid().set(1, 3, true);  // hidden under 6/8
    machine.engine().grid().set(1, 16, true); // hidden under 6/8
    machine.engine().grid().set(2, 10, true); // step 6
    const PatternLines lines = BuildPatternLines(machine);
    ASSERT_EQ(lines.size(), 16u);
    for (std::size_t i = 10; i < 15; ++i) {
        EXPECT_EQ(lines[i], "00000000") << i;
    }
    EXPECT_EQ(lines[15], "01000000");

    machine::Machine reloaded;
    ASSERT_TRUE(loadPatternBytes(reloaded, WritePatternText(lines)));
    EXPECT_EQ(row(reloaded, 1), "0000000000000000");
    EXPECT_EQ(row(reloaded, 2), "0000000001000000");
}

TEST(SavePattern, RefusesAnInstrumentTextWithALineBreak) {
    machine::Machine machine;
    machine.tracks().applyTrackInfo(4, 100, "Open\nHi-Hat");
    EXPECT_THROW(saved(machine), PatternError);
}

// --- Loading ----------------------------------------------------------------------------------

TEST(LoadPattern, WorkedExampleLoadsAndSavesBackTheSameBytes) {
    machine::Machine machine;
    machine.engine().grid().set(5, 16, true); // the load starts from an empty grid
    ASSERT_TRUE(loadPatternBytes(machine, kWorkedExample));
    const MachineState s = stateOf(machine);
    EXPECT_EQ(s.timeSignature, "6/8");
    EXPECT_EQ(s.stepsPerBar, 6);
    EXPECT_EQ(s.tempoSelector, 90);
    EXPECT_EQ(s.tempo, 90);
    EXPECT_EQ(s.stepPeriod, 333);          // 30000 / 90, whole milliseconds
    EXPECT_EQ(s.timeSignatureSelector, 1); // a load never moves the signature spinner
    EXPECT_EQ(row(machine, 1), "1000000000000000");
    EXPECT_EQ(row(machine, 2), "0000010000000000");
    EXPECT_EQ(row(machine, 3), "1100110011000000");
    for (int t = 4; t <= 8; ++t) {
        EXPECT_EQ(row(machine, t), "0000000000000000") << t;
    }
    EXPECT_EQ(s.tracks[2].volume, 80);
    EXPECT_EQ(s.tracks[2].velocity, 80);
    EXPECT_EQ(s.tracks[7].volume, 127);
    EXPECT_EQ(s.tracks[7].key, 51);
    EXPECT_EQ(saved(machine), kWorkedExample);
}

TEST(LoadPattern, LoneLfAndLoneCrLoadLikeCrLf) {
    machine::Machine crlf;
    machine::Machine lf;
    machine::Machine cr;
    machine::Machine trailingEmpty;
    ASSERT_TRUE(loadPatternBytes(crlf, kWorkedExample));
    std::string lfText;
    std::string crText;
    for (std::size_t i = 0; i < kWorkedExample.size(); ++i) {
        if (kWorkedExample.compare(i, 2, "\r\n") == 0) {
            lfText += '\n';
            crText += '\r';
            ++i;
        } else {
            lfText += kWorkedExample[i];
            crText += kWorkedExample[i];
        }
    }
    ASSERT_TRUE(loadPatternBytes(lf, lfText));
    ASSERT_TRUE(loadPatternBytes(cr, crText));
    ASSERT_TRUE(loadPatternBytes(trailingEmpty, kWorkedExample + "\r\n"));
    EXPECT_EQ(stateOf(lf), stateOf(crlf));
    EXPECT_EQ(stateOf(cr), stateOf(crlf));
    EXPECT_EQ(stateOf(trailingEmpty), stateOf(crlf));
}

TEST(LoadPattern, TenLinesSetTracksAndTempoButNotTheSignature) {
    machine::Machine machine;
    makeBusy(machine); // 12/8 with cells on
    ASSERT_TRUE(loadPatternBytes(
        machine, patternText("6/8", "95", {}, "\r\n", withTrackLine(5, "TR5INFO:60+Cowbell"))));
    const MachineState s = stateOf(machine);
    EXPECT_EQ(s.timeSignature, "12/8");
    EXPECT_EQ(s.tempo, 95);
    EXPECT_EQ(s.stepPeriod, 20000 / 95);
    EXPECT_EQ(s.tracks[4], (testing::TrackState{"Cowbell", 60, 56, 60}));
    EXPECT_EQ(s.tracks[0], (testing::TrackState{"Acoustic Bass Drum", 100, 35, 100}));
    for (const std::string& cells : s.cells) {
        EXPECT_EQ(cells, "0000000000000000");
    }
}

TEST(LoadPattern, EachTrackLineSetsTheTrackOfItsThirdCharacter) {
    machine::Machine machine;
    makeBusy(machine); // every track "Cowbell" at volume 10 * track
    const PatternLines tracks = {"TR3INFO:31+Low Tom",    "TR1INFO:11+Claves",
                                 "TR3INFO:33+High Tom",   "TR9INFO:99+Maracas",
                                 "TR0INFO:98+Maracas",    "TR2INFO:22+Tambourine",
                                 "XX6whatever:66+Cabasa", "TR8INFO:88+Cowbell"};
    ASSERT_TRUE(loadPatternBytes(machine, patternText("4/4", "120", {}, "\r\n", tracks)));
    const MachineState s = stateOf(machine);
    EXPECT_EQ(s.tracks[0], (testing::TrackState{"Claves", 11, 75, 11}));
    EXPECT_EQ(s.tracks[1], (testing::TrackState{"Tambourine", 22, 54, 22}));
    EXPECT_EQ(s.tracks[2], (testing::TrackState{"High Tom", 33, 50, 33})); // the later line
    EXPECT_EQ(s.tracks[5], (testing::TrackState{"Cabasa", 66, 69, 66}));
    EXPECT_EQ(s.tracks[7], (testing::TrackState{"Cowbell", 88, 56, 88}));
    // Named by no line (9 and 0 name no track): tracks 4, 5 and 7 keep what they had.
    EXPECT_EQ(s.tracks[3], (testing::TrackState{"Cowbell", 40, 56, 40}));
    EXPECT_EQ(s.tracks[4], (testing::TrackState{"Cowbell", 50, 56, 50}));
    EXPECT_EQ(s.tracks[6], (testing::TrackState{"Cowbell", 70, 56, 70}));
}

TEST(LoadPattern, VolumesAreClampedAndMayHaveLeadingBlanks) {
    struct Case {
        std::string volume;
        int want;
    };
    for (const Case& c : {Case{"200", 127}, Case{" 80", 80}, Case{"   7", 7}, Case{"-5", 0},
                          Case{"$7F", 127}, Case{"2147483647", 127}}) {
        machine::Machine machine;
        ASSERT_TRUE(loadPatternBytes(
            machine, patternText("4/4", "120", {}, "\r\n",
                                 withTrackLine(2, "TR2INFO:" + c.volume + "+Acoustic Snare"))))
            << c.volume;
        EXPECT_EQ(machine.tracks().volume(2), c.want) << c.volume;
        EXPECT_EQ(machine.engine().trigger().velocity(2), c.want) << c.volume;
    }
}

TEST(LoadPattern, InstrumentIsEverythingAfterTheFirstPlus) {
    machine::Machine machine;
    PatternLines tracks = kStartTrackLines;
    tracks[0] = "TR1INFO:90+";                   // empty name
    tracks[1] = "TR2INFO:90+Snare + Clap: loud"; // "+" and ":" stay in the name
    tracks[2] = "TR3INFO:90+Close Hi-Hat ";      // a blank makes it no catalogue name
    tracks[3] = "TR4:INFO:90+Open Hi-Hat";       // the volume starts after the first ":"
    ASSERT_FALSE(loadPatternBytes(machine, patternText("4/4", "120", {}, "\r\n", tracks)));
    tracks[3] = kStartTrackLines[3];
    ASSERT_TRUE(loadPatternBytes(machine, patternText("4/4", "120", {}, "\r\n", tracks)));
    EXPECT_EQ(machine.tracks().instrumentText(1), "");
    EXPECT_EQ(machine.engine().trigger().key(1), 0);
    EXPECT_EQ(machine.tracks().instrumentText(2), "Snare + Clap: loud");
    EXPECT_EQ(machine.engine().trigger().key(2), 0);
    EXPECT_EQ(machine.engine().trigger().key(3), 0);
    const PatternLines lines = BuildPatternLines(machine);
    EXPECT_EQ(lines[2], "TR1INFO:90+");
    EXPECT_EQ(lines[3], "TR2INFO:90+Snare + Clap: loud");
}

TEST(LoadPattern, TempoIsClampedAndMayBeHex) {
    struct Case {
        std::string tempo;
        int want;
    };
    for (const Case& c :
         {Case{"500", 260}, Case{"10", 30}, Case{"$78", 120}, Case{"-7", 30}, Case{"70000", 260},
          Case{"-70000", 30}, Case{"65666", 260}, Case{"$FFFFFFFF", 30}, Case{"2147483647", 260}}) {
        machine::Machine machine;
        machine.engine().SelectTimeSignature(TimeSig::ThreeFour);
        ASSERT_TRUE(loadPatternBytes(machine, patternText("3/4", c.tempo, {})));
        const MachineState s = stateOf(machine);
        EXPECT_EQ(s.tempoSelector, c.want) << c.tempo;
        EXPECT_EQ(s.tempo, c.want) << c.tempo;
        EXPECT_EQ(s.stepPeriod, 20000 / c.want) << c.tempo;
    }
}

TEST(LoadPattern, TempoAppliesAfterTheSignatureSwitch) {
    machine::Machine machine; // 4/4 at 120
    ASSERT_TRUE(loadPatternBytes(machine, patternText("12/8", "100", {"10000000"})));
    EXPECT_EQ(machine.engine().stepPeriod(), 200); // 20000 / 100, not 20000 / 120
}

TEST(LoadPattern, AnyOtherSignatureTextLoadsAsFourFour) {
    for (const std::string sig : {"5/4", "", "4/4 ", " 4/4", "12/8 ", "6/8\t", "3/4x"}) {
        machine::Machine machine;
        machine.engine().SelectTimeSignature(TimeSig::SixEight);
        std::vector<std::string> steps(16, "00000000");
        steps[15] = "10000000";
        steps[2] = "01000000";
        ASSERT_TRUE(loadPatternBytes(machine, patternText(sig, "120", steps))) << sig;
        EXPECT_EQ(machine.engine().timeSignatureText(), "4/4") << '"' << sig << '"';
        EXPECT_EQ(machine.engine().stepsPerBar(), 16);
        EXPECT_EQ(row(machine, 1), "0000000000000001") << sig;
        EXPECT_EQ(row(machine, 2), "0010000000000000") << sig;
    }
}

TEST(LoadPattern, StepLinesOnlySwitchOnWhatTheirOnesName) {
    machine::Machine machine;
    ASSERT_TRUE(loadPatternBytes(
        machine,
        patternText("4/4", "120", {"1", "111111111111", "a1b1c1d1", "", "0", "1 1 1 1 ", "x"})));
    const MachineState s = stateOf(machine);
    EXPECT_EQ(s.cells[0], "1100010000000000");
    EXPECT_EQ(s.cells[1], "0110000000000000");
    EXPECT_EQ(s.cells[2], "0100010000000000");
    EXPECT_EQ(s.cells[3], "0110000000000000");
    EXPECT_EQ(s.cells[4], "0100010000000000");
    EXPECT_EQ(s.cells[5], "0110000000000000");
    EXPECT_EQ(s.cells[6], "0100010000000000");
    EXPECT_EQ(s.cells[7], "0110000000000000"); // the ninth "1" of step 2 is no track
}

TEST(LoadPattern, StepsBeyondTheBarChangeNothing) {
    machine::Machine machine;
    const std::vector<std::string> steps(16, "11111111");
    ASSERT_TRUE(loadPatternBytes(machine, patternText("3/4", "120", steps)));
    EXPECT_EQ(machine.engine().timeSignatureText(), "3/4");
    for (int t = 1; t <= 8; ++t) {
        EXPECT_EQ(row(machine, t), "1110111011100000") << t; // 3/4 plays columns 1-3, 5-7, 9-11
    }
    // Far more steps than any bar: still nothing beyond the table.
    machine::Machine many;
    ASSERT_TRUE(loadPatternBytes(
        many, patternText("12/8", "120", std::vector<std::string>(5000, "10000001"))));
    EXPECT_EQ(row(many, 1), "1110111011101110");
    EXPECT_EQ(row(many, 8), "1110111011101110");
}

TEST(LoadPattern, NulEndsTheFile) {
    machine::Machine machine;
    std::string text = patternText("4/4", "120", {"10000000", "00100000", "00010000"});
    text.insert(text.find("00100000") + 3, 1, '\0'); // step 2 is cut to "001"
    ASSERT_TRUE(loadPatternBytes(machine, text));
    EXPECT_EQ(row(machine, 1), "1000000000000000");
    EXPECT_EQ(row(machine, 3), "0100000000000000");
    EXPECT_EQ(row(machine, 4), "0000000000000000"); // step 3 came after the NUL
}

TEST(LoadPattern, NulBeforeTheTenthLineRejectsTheFile) {
    machine::Machine machine;
    makeBusy(machine);
    const MachineState before = stateOf(machine);
    std::string text = patternText("4/4", "120", {"10000000"});
    text.insert(text.find("TR8"), 1, '\0');
    EXPECT_FALSE(loadPatternBytes(machine, text));
    EXPECT_EQ(stateOf(machine), before);
}

// --- Rejected loads change nothing ------------------------------------------------------------

TEST(LoadPattern, EveryRejectedFileLeavesTheMachineAsItWas) {
    const std::string good = patternText("6/8", "90", {"11111111"});
    struct Case {
        std::string what;
        std::string text;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"empty file", "", "line 1: missing (a pattern has at least ten lines)"},
        {"nine lines", patternText("6/8", "90", {}).substr(0, good.find("TR8")),
         "line 10: missing (a pattern has at least ten lines)"},
        {"blank after the volume",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TR8INFO:80 +Cowbell")),
         "line 10: volume \"80 \" is not a number"},
        {"no plus",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TR8INFO:80 Cowbell")),
         "line 10: no \"+\" before the instrument"},
        {"plus before colon",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TR8+INFO:80")),
         "line 10: volume \"\" is not a number"},
        {"empty volume",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TR8INFO:+Cowbell")),
         "line 10: volume \"\" is not a number"},
        {"letter as track",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TRxINFO:80+Cowbell")),
         "line 10: track \"x\" (the third character) is not a number"},
        {"blank as track",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "TR INFO:80+Cowbell")),
         "line 10: track \" \" (the third character) is not a number"},
        {"no third character",
         patternText("6/8", "90", {"11111111"}, "\r\n", withTrackLine(8, "1+")),
         "line 10: track \"\" (the third character) is not a number"},
        {"tempo with a blank after it", patternText("6/8", "90 ", {"11111111"}),
         "line 2: tempo \"90 \" is not a number"},
        {"tempo not a number", patternText("6/8", "fast", {"11111111"}),
         "line 2: tempo \"fast\" is not a number"},
        {"tempo too large for 32 bits", patternText("6/8", "4294967296", {"11111111"}),
         "line 2: tempo \"4294967296\" is not a number"},
        {"empty tempo", patternText("6/8", "", {"11111111"}), "line 2: tempo \"\" is not a number"},
        {"control characters are shown, not sent to a terminal",
         patternText("6/8", "9\x1b[2J", {"11111111"}),
         "line 2: tempo \"9\\x1B[2J\" is not a number"},
    };
    ASSERT_TRUE(parsePattern(ReadPatternText(good)).pattern.has_value());
    for (const Case& c : cases) {
        machine::Machine machine;
        makeBusy(machine);
        machine.engine().StartPlayback();
        const MachineState before = stateOf(machine);
        ASSERT_EQ(before.playState, PlayState::Playing);
        std::string reason;
        EXPECT_FALSE(loadPatternBytes(machine, c.text, &reason)) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
        EXPECT_EQ(stateOf(machine), before) << c.what; // the clock is still the same timer
        machine.engine().StopPlayback();
    }
}

TEST(ParsePattern, HoldsTheLinesAsTheyAreApplied) {
    const ParsedPattern parsed =
        parsePattern(ReadPatternText(patternText("3/4", "$78", {"1", "x1x1x1x1", "", "00000001111"},
                                                 "\n", withTrackLine(2, "TR9INFO: 200+Cow+bell"))));
    ASSERT_TRUE(parsed.pattern.has_value()) << parsed.reason;
    const Pattern& p = *parsed.pattern;
    EXPECT_EQ(p.timeSignature, TimeSig::ThreeFour);
    EXPECT_EQ(p.tempo, 120);
    EXPECT_EQ(p.trackInfos[1], (TrackInfo{9, 200, "Cow+bell"}));
    EXPECT_EQ(p.trackInfos[7], (TrackInfo{8, 100, "Ride Cymbal 1"}));
    ASSERT_EQ(p.steps.size(), 4u);
    EXPECT_EQ(p.steps[0], "10000000");
    EXPECT_EQ(p.steps[1], "01010101");
    EXPECT_EQ(p.steps[2], "00000000");
    EXPECT_EQ(p.steps[3], "00000001");
    // Step lines beyond the bar change nothing and are not held.
    PatternLines many = ReadPatternText(patternText("6/8", "100", {}));
    many.resize(many.size() + 40, "11111111");
    EXPECT_EQ(parsePattern(many).pattern->steps.size(), 6u);
}

TEST(LoadPattern, AcceptedLoadKeepsPlayingInTheSameSignatureAndStopsInAnother) {
    machine::Machine machine;
    machine.engine().StartPlayback();
    const std::uint32_t timer = machine.engine().runningTimerId();
    ASSERT_NE(timer, 0u);
    ASSERT_TRUE(loadPatternBytes(machine, patternText("4/4", "200", {"10000000"})));
    EXPECT_EQ(machine.engine().playState(), PlayState::Playing);
    EXPECT_EQ(machine.engine().runningTimerId(), timer);
    EXPECT_EQ(machine.engine().tempo(), 200);

    ASSERT_TRUE(loadPatternBytes(machine, kWorkedExample));
    EXPECT_EQ(machine.engine().playState(), PlayState::Stopped);
    EXPECT_EQ(machine.engine().playState(), PlayState::Stopped);
}

// --- Files ----------------------------------------------------------------------------------

class PatternFileOnDisk : public ::testing::Test {
protected:
    PatternFileOnDisk()
        : dir(std::filesystem::temp_directory_path() /
              ("tambrel-pattern-test-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
    }
    ~PatternFileOnDisk() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, const std::string& bytes) const {
        const std::filesystem::path path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::filesystem::path dir;
};

TEST_F(PatternFileOnDisk, UnreadableOrEmptyFilesLeaveTheMachineAsItWas) {
    const std::pair<std::string, std::string> cases[] = {
        {(dir / "missing.qel").string(), "No such file or directory"},
        {write("empty.qel", ""), "line 1: missing (a pattern has at least ten lines)"},
        {dir.string(), "Is a directory"},
    };
    for (const auto& [path, why] : cases) {
        machine::Machine machine;
        makeBusy(machine);
        machine.engine().StartPlayback();
        const MachineState before = stateOf(machine);
        std::string reason;
        EXPECT_FALSE(loadPatternFile(machine, path, &reason)) << path;
        EXPECT_EQ(reason, why);
        EXPECT_EQ(stateOf(machine), before) << path;
        machine.engine().StopPlayback();
    }
}

TEST_F(PatternFileOnDisk, SaveWritesTheLinesWholeOrLeavesTheFile) {
    machine::Machine machine;
    makeBusy(machine);
    const std::string path = write("song.qel", kWorkedExample);
    ASSERT_TRUE(savePatternFile(BuildPatternLines(machine), path));
    EXPECT_EQ(readRegularFile(path, kMaxPatternFileBytes).bytes, saved(machine));
    std::string reason;
    EXPECT_FALSE(savePatternFile({"4/4", "TR1INFO:100+Sn\nare"}, path, &reason));
    EXPECT_EQ(reason, "a pattern line must not hold CR, LF or NUL");
    EXPECT_EQ(readRegularFile(path, kMaxPatternFileBytes).bytes, saved(machine));
}

TEST_F(PatternFileOnDisk, LoadsAFileLikeItsBytes) {
    machine::Machine fromFile;
    machine::Machine fromBytes;
    ASSERT_TRUE(loadPatternFile(fromFile, write("example.qel", kWorkedExample)));
    ASSERT_TRUE(loadPatternBytes(fromBytes, kWorkedExample));
    EXPECT_EQ(stateOf(fromFile), stateOf(fromBytes));
}

} // namespace
} // namespace tambrel::patterns
