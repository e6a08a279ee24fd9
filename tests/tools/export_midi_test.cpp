// tambrel-pattern midi, read back by two readers we did not write (Python's mido and
// midicsv) and compared with what the step clock itself sends; and its failures.

#include "patterns/preset_data.h"
#include "tests/export/clock_rig.h"
#include "tests/export/edge_pattern.h"
#include "tests/tools/tool_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using tambrel::exporting::LoopNote;
using tambrel::testing::ClockRig;
using tambrel::testing::Result;
using tambrel::testing::slurp;
using tambrel::testing::TambrelPatternTool;

// One step is a sixteenth in 4/4, an eighth in 12/8 and 6/8, a triplet eighth in 3/4, at
// 960 ticks to the quarter; compound meters click on the dotted quarter.
struct Grid {
    std::string_view signature;
    int ticksPerStep;
    int clocksPerClick;
};
constexpr Grid kGrids[] = {{"4/4", 240, 24}, {"12/8", 480, 36}, {"3/4", 320, 24}, {"6/8", 480, 36}};

const Grid& gridOf(std::string_view signature) {
    return *std::find_if(std::begin(kGrids), std::end(kGrids),
                         [&](const Grid& g) { return g.signature == signature; });
}

struct Event {
    long tick;
    bool on;
    std::string text;
};

// What midi_dump.py should print for the file `path` of `bars` bars of the machine's pattern:
// the clock's own notes, each held a 32nd note (120 ticks), velocity 0 left out.
std::string expectedDump(ClockRig& rig, const std::string& path, const std::string& title,
                         int bars) {
    const tambrel::engine::RhythmEngine& engine = rig.machine.engine();
    const Grid& grid = gridOf(engine.timeSignatureText());
    const long steps = long{bars} * engine.stepsPerBar();
    std::vector<Event> events;
    for (const LoopNote& note : rig.play(bars)) {
        const int key = (note.message >> 8) & 0xFF;
        const int velocity = (note.message >> 16) & 0xFF;
        EXPECT_EQ(note.message & 0xFF, 0x99u);
        if (velocity == 0) {
            continue;
        }
        const long tick = note.step * grid.ticksPerStep;
        events.push_back(
            {tick, true, "on 9 " + std::to_string(key) + " " + std::to_string(velocity)});
        events.push_back({tick + 120, false, "off 9 " + std::to_string(key)});
    }
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return std::tie(a.tick, a.on) < std::tie(b.tick, b.on);
    });
    std::string dump = "file " + path + "\ntype 0 division 960 tracks 1\n";
    dump += "ms " + std::to_string(steps * engine.stepPeriod()) + "\n";
    dump += "0 name " + title + "\n";
    dump += "0 meter " + std::string(grid.signature) + " " + std::to_string(grid.clocksPerClick) +
            " 8\n";
    dump += "0 tempo " +
            std::to_string(long{engine.stepPeriod()} * 1000 * 960 / grid.ticksPerStep) + "\n";
    for (const Event& e : events) {
        dump += std::to_string(e.tick) + " " + e.text + "\n";
    }
    dump += std::to_string(steps * grid.ticksPerStep) + " end\n";
    return dump;
}

class MidiExport : public TambrelPatternTool {
protected:
    // Standard output of a reader that must succeed.
    std::string read(const std::vector<std::string>& reader) const {
        const fs::path out = dir / "reader.out";
        const fs::path err = dir / "reader.err";
        EXPECT_EQ(tambrel::testing::runProgram(reader, out.string(), err.string()), 0)
            << reader.front() << ": " << slurp(err);
        return slurp(out);
    }
};

TEST_F(MidiExport, EveryRhythmAndAnOddFileReadByMidoAsTheClockPlaysThem) {
    std::vector<std::string> reader = {"/usr/bin/python3", MIDI_DUMP_SCRIPT};
    std::string expected;
    int bars = 0;
    for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
        const std::string caption(preset.caption);
        bars = bars % 3 + 1;
        const std::string out =
            (dir / ("preset" + std::to_string(reader.size()) + ".mid")).string();
        const Result r = run({"midi", "--preset", caption, out, "--bars", std::to_string(bars)});
        ASSERT_EQ(r.status, 0) << caption << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "");
        ClockRig rig;
        ASSERT_TRUE(rig.loadPreset(caption));
        expected += expectedDump(rig, out, caption, bars);
        reader.push_back(out);
    }
    const std::string file = write("Odd Groove.qel", tambrel::testing::kEdgePattern);
    const std::string out = (dir / "odd.mid").string();
    ASSERT_EQ(run({"midi", file, out}).status, 0); // 4 bars unless told
    ClockRig rig;
    ASSERT_TRUE(rig.load(tambrel::exporting::LoopSource::Kind::File, file));
    expected += expectedDump(rig, out, "Odd Groove", 4);
    reader.push_back(out);

    EXPECT_EQ(read(reader), expected);
}

TEST_F(MidiExport, MidicsvShowsTempoSignatureNotesOnChannel10AndTheEndAfterNBars) {
    const std::string out = (dir / "shuffle.mid").string();
    ASSERT_EQ(run({"midi", "--bars", "3", "--preset", "Shuffle Waltz", out}).status, 0);
    const std::string csv = read({"midicsv", out});

    ClockRig rig;
    ASSERT_TRUE(rig.loadPreset("Shuffle Waltz"));
    std::string ons;
    for (const LoopNote& note : rig.play(3)) {
        ons += "1, " + std::to_string(note.step * 320) + ", Note_on_c, 9, " +
               std::to_string((note.message >> 8) & 0xFF) + ", " +
               std::to_string((note.message >> 16) & 0xFF) + "\n";
    }
    std::string shownOns;
    std::size_t offs = 0;
    std::istringstream lines(csv);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Note_on_c") != std::string::npos) {
            shownOns += line + "\n";
        }
        offs += line.find("Note_off_c, 9,") != std::string::npos;
    }
    EXPECT_EQ(shownOns, ons);
    EXPECT_EQ(offs, static_cast<std::size_t>(std::count(ons.begin(), ons.end(), '\n')));
    // Tempo 100 in 3/4: 200 ms steps, three to the quarter; 3 bars of 9 steps of 320 ticks.
    for (const char* line :
         {"0, 0, Header, 0, 1, 960\n", "1, 0, Title_t, \"Shuffle Waltz\"\n",
          "1, 0, Time_signature, 3, 2, 24, 8\n", "1, 0, Tempo, 600000\n", "1, 8640, End_track\n"}) {
        EXPECT_NE(csv.find(line), std::string::npos) << line << csv;
    }
}

// A failed export says why on one line naming the file, exits 1, and leaves no file
// behind: neither a new one, nor a temporary one, nor a change to an old one.
TEST_F(MidiExport, FailuresLeaveNoFileBehind) {
    const std::string bad = write("bad.qel", "4/4\r\n120\r\nTR1INFO:1x+Acoustic Snare\r\n");
    fs::create_directory(dir / "folder.mid");
    const std::string notAFolder = write("plain", "");
    const std::string out = (dir / "out.mid").string();
    expectFailures(
        {
            {{"midi", bad, out}, bad + ": line 3: volume \"1x\" is not a number"},
            {{"midi", (dir / "none.qel").string(), out},
             (dir / "none.qel").string() + ": No such file or directory"},
            {{"midi", "--preset", "waltz", out},
             "\"waltz\": no built-in rhythm has this caption (tambrel-pattern presets lists them)"},
            {{"midi", "--preset", "Waltz", (dir / "none" / "x.mid").string()},
             (dir / "none" / "x.mid").string() + ": No such file or directory"},
            {{"midi", "--preset", "Waltz", (dir / "folder.mid").string()},
             (dir / "folder.mid").string() + ": Is a directory"},
            {{"midi", "--preset", "Waltz", notAFolder + "/x.mid"},
             notAFolder + "/x.mid: Not a directory"},
        },
        {"bad.qel", "folder.mid", "plain"});

    expectFullDiskKeepsOldFile(out, 8, {"midi", "--preset", "Samba", "--bars", "999", out});
    EXPECT_EQ(filesLeft(), (std::vector<std::string>{"bad.qel", "folder.mid", "out.mid", "plain"}));
}

// An output that is the pattern file itself, however it is spelled, is refused before a
// byte is written, and the pattern stays as it was.
TEST_F(MidiExport, AnOutputThatIsTheInputIsRefused) {
    const std::string in = write("b.qel", tambrel::testing::kEdgePattern);
    fs::create_symlink(in, dir / "link.qel");
    fs::create_hard_link(in, dir / "hard.qel");
    const std::string spellings[] = {
        in,
        (dir / "." / "b.qel").string(),
        fs::relative(in, fs::current_path()).string(),
        (dir / "link.qel").string(),
        (dir / "hard.qel").string(),
    };
    for (const std::string& out : spellings) {
        expectFailures({{{"midi", in, out},
                         "'" + in + "' and '" + out +
                             "' are the same file: writing it would destroy the input"}},
                       {"b.qel", "hard.qel", "link.qel"});
        EXPECT_EQ(slurp(in), tambrel::testing::kEdgePattern) << out;
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.qel"));
}

TEST_F(MidiExport, WrongCallsExitWithTwo) {
    const std::string file = write("w.qel", tambrel::testing::kEdgePattern);
    const std::vector<std::vector<std::string>> calls = {
        {"midi"},
        {"midi", "x.mid"},
        {"midi", "--preset", "Waltz"},
        {"midi", file, "a.mid", "b.mid"},
        {"midi", "--preset", "Waltz", file, "a.mid"},
        {"midi", "--preset", "Waltz", "--preset", "Samba", "a.mid"},
        {"midi", file, "a.mid", "--bars", "0"},
        {"midi", file, "a.mid", "--bars", "1000"},
        {"midi", file, "a.mid", "--bars", "4x"},
        {"midi", file, "a.mid", "--bars"},
        {"midi", file, "a.mid", "--rate", "48000"},
    };
    for (const auto& call : calls) {
        const Result r = run(call);
        EXPECT_EQ(r.status, 2) << call.size();
        EXPECT_NE(r.err.find("Try 'tambrel-pattern --help'"), std::string::npos) << r.err;
    }
    EXPECT_EQ(filesLeft(), std::vector<std::string>{"w.qel"});
}

} // namespace
