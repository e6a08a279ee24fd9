// Checks the built-in rhythms against a second, independent transcription of the
// preset tables, held the way the tables show them: one row of steps per track,
// "x" for a sounding step, grouped by beat. The data under test hold the same bars
// step by step, so a slip in either copy shows up as a mismatch here.

#include "patterns/pattern.h"
#include "patterns/preset_data.h"

#include "midi/start_kit.h"
#include "tests/patterns_presets/preset_menu_table.h"
#include "tests/patterns_presets/preset_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tambrel::patterns;
using namespace preset_tables;

struct ParsedTrackInfo {
    int track = -1;
    int velocity = -1;
    std::string instrument;
};

// Reads "TR<n>INFO:<velocity>+<instrument>" the way the pattern reader takes it apart.
ParsedTrackInfo parseTrackInfo(std::string_view line) {
    ParsedTrackInfo info;
    if (line.size() < 9 || line.substr(0, 2) != "TR" || line.substr(3, 5) != "INFO:")
        return info;
    info.track = line[2] - '0';
    const std::size_t plus = line.find('+', 8);
    if (plus == std::string_view::npos)
        return info;
    const auto [end, ec] = std::from_chars(line.data() + 8, line.data() + plus, info.velocity);
    if (ec != std::errc() || end != line.data() + plus)
        info.velocity = -1;
    info.instrument = line.substr(plus + 1);
    return info;
}

// Calls `check` with each built-in rhythm and its row of the tables, which must hold the
// same rhythms in the same order.
template <class Check> void forEachTabledPreset(Check check) {
    const auto presets = allPresets();
    ASSERT_EQ(std::size(kExpected), presets.size());
    for (std::size_t i = 0; i < presets.size(); ++i) {
        SCOPED_TRACE(kExpected[i].caption);
        check(presets[i], kExpected[i]);
    }
}

TEST(PresetMenu, GroupsAndCaptionsInMenuOrder) {
    const auto presets = allPresets();
    ASSERT_EQ(presets.size(), 27u);
    ASSERT_EQ(std::size(kMenu), 27u);
    EXPECT_EQ(kPresetGroups, (std::array<std::string_view, 4>{"Country Rhythms", "Rock Rhythms",
                                                              "Click Track", "Other"}));
    for (std::size_t i = 0; i < presets.size(); ++i) {
        SCOPED_TRACE(kMenu[i].caption);
        EXPECT_EQ(presets[i].group, kMenu[i].group);
        EXPECT_EQ(presets[i].caption, kMenu[i].caption);
    }
    // Each submenu is one run of items, and the runs follow the groups' order.
    std::vector<std::string_view> runs;
    for (const Preset& preset : presets)
        if (runs.empty() || runs.back() != preset.group)
            runs.push_back(preset.group);
    EXPECT_TRUE(std::equal(runs.begin(), runs.end(), kPresetGroups.begin(), kPresetGroups.end()));
}

TEST(PresetMenu, EighteenFullAndNineDefaultKit) {
    const auto presets = allPresets();
    const auto full = std::count_if(presets.begin(), presets.end(),
                                    [](const Preset& p) { return p.form == Full; });
    const auto kit = std::count_if(presets.begin(), presets.end(),
                                   [](const Preset& p) { return p.form == Kit; });
    EXPECT_EQ(full, 18);
    EXPECT_EQ(kit, 9);
}

TEST(PresetData, EveryPresetMatchesItsTable) {
    forEachTabledPreset([](const Preset& preset, const ExpectedPreset& expected) {
        EXPECT_EQ(preset.caption, expected.caption);
        EXPECT_EQ(preset.timeSignature, expected.timeSignature);
        EXPECT_EQ(preset.tempo, expected.tempo);
        EXPECT_EQ(preset.form, expected.form);

        const int steps = barSteps(expected.timeSignature);
        ASSERT_GT(steps, 0);
        ASSERT_LE(static_cast<int>(preset.steps.size()), steps);
        for (const std::string_view step : preset.steps) {
            EXPECT_EQ(step.size(), 8u) << step;
            EXPECT_EQ(step.find_first_not_of("01"), std::string_view::npos) << step;
        }

        for (std::size_t t = 0; t < 8; ++t) {
            SCOPED_TRACE("track " + std::to_string(t + 1));
            const TrackRow& row = expected.tracks[t];
            EXPECT_EQ(preset.tracks[t].instrument, row.instrument);
            const int velocity = preset.form == Kit && t == 1 && preset.track2Volume != 0
                                     ? preset.track2Volume
                                     : preset.tracks[t].velocity;
            EXPECT_EQ(velocity, row.velocity);

            const std::string want = bar(row, expected.timeSignature);
            std::string got;
            for (int k = 0; k < steps; ++k) {
                const bool held = k < static_cast<int>(preset.steps.size());
                got += held && preset.steps[k].size() == 8 && preset.steps[k][t] == '1' ? 'x' : '.';
            }
            EXPECT_EQ(got, want);
        }
    });
}

// A preset holds its steps up to the last one on which something sounds; the rest of
// the bar stays off. "Swing" is the one that holds a silent step beyond that (11 of 12).
TEST(PresetData, HoldsStepsUpToItsLastSoundingStep) {
    int fourFourFullHolding15 = 0;
    forEachTabledPreset([&](const Preset& preset, const ExpectedPreset& expected) {
        int lastSounding = 0;
        for (const TrackRow& row : expected.tracks) {
            const std::string steps = bar(row, expected.timeSignature);
            const auto last = steps.find_last_of('x');
            if (last != std::string::npos)
                lastSounding = std::max(lastSounding, static_cast<int>(last) + 1);
        }
        const int held = static_cast<int>(preset.steps.size());
        EXPECT_EQ(held, expected.caption == "Swing" ? 11 : lastSounding);
        if (expected.timeSignature == "4/4" && expected.form == Full && held == 15)
            ++fourFourFullHolding15;
    });
    EXPECT_EQ(fourFourFullHolding15, 13);
}

TEST(PresetData, DefaultKitPresetsCarryTheStartKit) {
    ASSERT_EQ(tambrel::midi::kStartKit.size(), kStartKit.size());
    for (std::size_t t = 0; t < 8; ++t) {
        const ParsedTrackInfo info = parseTrackInfo(
            trackInfoLine(static_cast<int>(t) + 1, tambrel::midi::kStartKit[t].volume,
                          tambrel::midi::kStartKit[t].instrument));
        EXPECT_EQ(info.track, static_cast<int>(t) + 1);
        EXPECT_EQ(info.velocity, kStartKit[t].velocity);
        EXPECT_EQ(info.instrument, kStartKit[t].instrument);
    }
    for (const Preset& preset : allPresets()) {
        SCOPED_TRACE(preset.caption);
        EXPECT_EQ(preset.track2Volume, preset.caption == "Shuffle 2" ? 73 : 0);
        if (preset.form != Kit)
            continue;
        for (std::size_t t = 0; t < 8; ++t) {
            EXPECT_EQ(preset.tracks[t].instrument, kStartKit[t].instrument);
            EXPECT_EQ(preset.tracks[t].velocity, kStartKit[t].velocity);
        }
    }
}

// The lines go through the same reader as a pattern file: step k must sit at index
// 9 + k (full) or k (default kit), and the track info lines must read back as the table.
TEST(PresetPatternLines, ReadBackAsTheTables) {
    forEachTabledPreset([](const Preset& preset, const ExpectedPreset& expected) {
        const std::vector<std::string> lines = presetPatternLines(preset);
        const std::size_t first = expected.form == Full ? 10 : 1;
        ASSERT_EQ(lines.size(), first + preset.steps.size());
        EXPECT_EQ(lines[0], expected.timeSignature);

        if (expected.form == Full) {
            int tempo = -1;
            const auto [end, ec] =
                std::from_chars(lines[1].data(), lines[1].data() + lines[1].size(), tempo);
            EXPECT_TRUE(ec == std::errc() && end == lines[1].data() + lines[1].size()) << lines[1];
            EXPECT_EQ(tempo, expected.tempo);
            for (std::size_t t = 0; t < 8; ++t) {
                const ParsedTrackInfo info = parseTrackInfo(lines[2 + t]);
                EXPECT_EQ(info.track, static_cast<int>(t) + 1) << lines[2 + t];
                EXPECT_EQ(info.velocity, expected.tracks[t].velocity) << lines[2 + t];
                EXPECT_EQ(info.instrument, expected.tracks[t].instrument) << lines[2 + t];
            }
        }

        for (std::size_t t = 0; t < 8; ++t) {
            const std::string want = bar(expected.tracks[t], expected.timeSignature);
            std::string got(want.size(), '.');
            for (std::size_t k = 0; first + k < lines.size() && k < got.size(); ++k) {
                ASSERT_EQ(lines[first + k].size(), 8u) << lines[first + k];
                if (lines[first + k][t] == '1')
                    got[k] = 'x';
            }
            EXPECT_EQ(got, want) << "track " << t + 1;
        }
    });
}

} // namespace
