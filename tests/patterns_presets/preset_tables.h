#pragma once
// The preset tables transcribed a second time, independently of the data under test,
// the way the tables show them: one row of steps per track, "x" for a sounding step,
// grouped by beat. Shared by the data's own test and the test that applies every
// preset to a machine, so a slip in the data or in applying it shows up as a mismatch.

#include "patterns/preset_data.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

namespace preset_tables {

inline constexpr tambrel::patterns::PresetForm Full = tambrel::patterns::PresetForm::Full;
inline constexpr tambrel::patterns::PresetForm Kit = tambrel::patterns::PresetForm::DefaultKit;

struct TrackRow {
    std::string_view instrument;
    int velocity; // as the track ends up: the default kit's, or 73 for "Shuffle 2" track 2
    std::string_view row;
};

struct ExpectedPreset {
    std::string_view caption;
    std::string_view timeSignature;
    int tempo;
    tambrel::patterns::PresetForm form;
    std::array<TrackRow, 8> tracks;
};

// clang-format off
inline const ExpectedPreset kExpected[] = {
    {"Shuffle 1", "12/8", 120, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. ... x.. ..."},
         {"Acoustic Snare", 100, "... x.. ... x.."},
         {"Close Hi-Hat", 100, "x.x x.x x.x x.x"},
         {"Open Hi-Hat", 100, "... ... ... ..."},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ... ..."},
     }}},
    {"Shuffle 2", "12/8", 98, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. x.. x.. x.."},
         {"Acoustic Snare", 73, "..x ..x ..x ..x"},
         {"Close Hi-Hat", 100, "x.x x.x x.x x.x"},
         {"Open Hi-Hat", 100, "... ... ... ..."},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ... ..."},
     }}},
    {"Shuffle 3", "12/8", 109, Full,
     {{
         {"Acoustic Bass Drum", 100, "x.. ... x.. ..."},
         {"Acoustic Snare", 100, "... x.. ... x.."},
         {"Pedal Hi-Hat", 85, "x.. x.. x.. x.."},
         {"Acoustic Snare", 64, "..x ..x ..x ..x"},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ... ..."},
     }}},
    {"Swing", "12/8", 131, Full,
     {{
         {"Acoustic Bass Drum", 100, "x.. x.. x.. x.."},
         {"Acoustic Snare", 100, "... x.. ... x.."},
         {"Close Hi-Hat", 100, "... ... ... ..."},
         {"Open Hi-Hat", 100, "... ... ... ..."},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "x.. x.x x.. x.."},
     }}},
    {"Train Beat", "4/4", 210, Full,
     {{
         {"Acoustic Bass Drum", 106, "x... .... x... ...."},
         {"Acoustic Snare", 54, "..x. ..x. ..x. ..x."},
         {"Acoustic Snare", 106, ".... x... .... x..."},
         {"Acoustic Snare", 67, "x... .... x... ...."},
         {"Pedal Hi-Hat", 112, "x... x... x... x..."},
         {"Electric Snare", 67, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Straight 8ths", "4/4", 120, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... ..x. x... ...."},
         {"Acoustic Snare", 91, ".... x... .... x..."},
         {"Close Hi-Hat", 100, "x.x. x.x. x.x. x.x."},
         {"Tambourine", 100, ".... x... .... x..."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Country Cha Cha", "4/4", 111, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... ..x. .... ..x."},
         {"Acoustic Snare", 91, ".... x... .... x..."},
         {"Close Hi-Hat", 88, "x.x. x.x. x.x. x.x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Click Stick", "4/4", 120, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ...."},
         {"Side Stick", 100, "x... x... x... x..."},
         {"Close Hi-Hat", 100, "x.x. x.x. x.x. x.x."},
         {"Tambourine", 64, "x... x... x... x..."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"2/4 Country", "4/4", 119, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... x... x... x..."},
         {"Acoustic Snare", 94, "..x. ..x. ..x. ..x."},
         {"Close Hi-Hat", 100, "x.x. x.x. x.x. x.x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Waltz", "6/8", 110, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. ..."},
         {"Acoustic Snare", 100, "..x .x."},
         {"Close Hi-Hat", 100, "x.x .x."},
         {"Open Hi-Hat", 100, "... ..."},
         {"High Tom", 100, "... ..."},
         {"Low Tom", 100, "... ..."},
         {"Crash Cymbal 1", 100, "... ..."},
         {"Ride Cymbal 1", 100, "... ..."},
     }}},
    {"Shuffle Waltz", "3/4", 100, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. ... ..."},
         {"Acoustic Snare", 100, "... ... x.."},
         {"Close Hi-Hat", 100, "x.x x.x x.x"},
         {"Open Hi-Hat", 100, "... ... ..."},
         {"High Tom", 100, "... ... ..."},
         {"Low Tom", 100, "... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ..."},
     }}},
    {"8th Waltz", "6/8", 100, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. ..."},
         {"Acoustic Snare", 100, "... .x."},
         {"Close Hi-Hat", 100, "xxx xxx"},
         {"Open Hi-Hat", 100, "... ..."},
         {"High Tom", 100, "... ..."},
         {"Low Tom", 100, "... ..."},
         {"Crash Cymbal 1", 100, "... ..."},
         {"Ride Cymbal 1", 100, "... ..."},
     }}},
    {"4 Beat Rock", "4/4", 120, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ...."},
         {"Acoustic Snare", 100, ".... x... .... x..."},
         {"Close Hi-Hat", 100, "x... x... x... x..."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"8th Beat Rock", "4/4", 120, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ...."},
         {"Acoustic Snare", 100, ".... x... .... x..."},
         {"Close Hi-Hat", 100, "x.x. x.x. x.x. x.x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"16th Beat Rock", "4/4", 96, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ...."},
         {"Acoustic Snare", 100, ".... x... .... x..."},
         {"Close Hi-Hat", 100, "xxxx xxxx xxxx xxxx"},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"12/8 Blues 1", "12/8", 90, Kit,
     {{
         {"Acoustic Bass Drum", 100, "x.. ... x.. ..."},
         {"Acoustic Snare", 100, "... x.. ... x.."},
         {"Close Hi-Hat", 100, "xxx xxx xxx xxx"},
         {"Open Hi-Hat", 100, "... ... ... ..."},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ... ..."},
     }}},
    {"12/8 Blues 2", "12/8", 61, Full,
     {{
         {"Acoustic Bass Drum", 100, "x.x x.x x.x x.x"},
         {"Acoustic Snare", 100, "... x.. ... x.."},
         {"Close Hi-Hat", 100, "x.. x.. x.. x.."},
         {"Cowbell", 100, "... ... ... ..."},
         {"High Tom", 100, "... ... ... ..."},
         {"Low Tom", 100, "... ... ... ..."},
         {"Crash Cymbal 1", 100, "... ... ... ..."},
         {"Ride Cymbal 1", 100, "... ... ... ..."},
     }}},
    {"Surfin", "4/4", 144, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x.x. ...."},
         {"Acoustic Snare", 100, ".... x... .... x.x."},
         {"Close Hi-Hat", 100, ".... .... .... ...."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"Cowbell", 42, ".... x... .... x.x."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 82, "x.x. x.x. x.x. x.x."},
     }}},
    {"Twist", "4/4", 153, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ...."},
         {"Acoustic Snare", 100, ".... x.x. .... x..."},
         {"Close Hi-Hat", 85, "x.x. x.x. x.x. x.x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"4/4 Cowbell", "4/4", 120, Full,
     {{
         {"Acoustic Bass Drum", 100, ".... .... .... ...."},
         {"Acoustic Snare", 94, ".... .... .... ...."},
         {"Close Hi-Hat", 100, ".... .... .... ...."},
         {"Cowbell", 100, "x... x... x... x..."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Cowbell Shaker", "4/4", 120, Full,
     {{
         {"Acoustic Bass Drum", 100, ".... .... .... ...."},
         {"Acoustic Snare", 94, ".... .... .... ...."},
         {"Close Hi-Hat", 100, ".... .... .... ...."},
         {"Cowbell", 100, "x... x... x... x..."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Shaker", 60, "..x. ..x. ..x. ..x."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Wood Block", "4/4", 120, Full,
     {{
         {"Low Wood Block", 100, "x... x... x... x..."},
         {"Acoustic Snare", 94, ".... .... .... ...."},
         {"Close Hi-Hat", 100, ".... .... .... ...."},
         {"Cowbell", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Shaker", 60, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Afro Cuban", "4/4", 100, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... .... x... ..x."},
         {"Acoustic Snare", 67, ".... x..x .... ...."},
         {"Close Hi-Hat", 100, "x.xx x.x. x.x. x.x."},
         {"Hi-Mid Tom", 100, ".... .... ..x. x..."},
         {"Claves", 91, ".... x.x. ..x. ..x."},
         {"Long Whistle", 67, ".... .... .... ...."},
         {"Ride Bell", 82, ".... ..x. ..x. ..x."},
         {"Cowbell", 67, ".... ..x. ..x. ..x."},
     }}},
    {"Bongo Funky", "4/4", 90, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... ...x .x.x x..."},
         {"Hi Bongo", 67, "..x. ..x. ..x. xxx."},
         {"Close Hi-Hat", 100, "x.x. x.x. x.x. x.x."},
         {"Tambourine", 100, "x... x..x x..x x..."},
         {"Low Bongo", 67, "...x x..x x..x ...."},
         {"Electric Snare", 67, ".... x..x .xx. x.x."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Bossa Nova", "4/4", 120, Full,
     {{
         {"Bass Drum 1", 82, "x... ..x. x... ..x."},
         {"Side Stick", 100, "x... ..x. .... x..."},
         {"Close Hi-Hat", 70, "x.x. x.x. x.x. x.x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Cha Cha", "4/4", 121, Full,
     {{
         {"Acoustic Bass Drum", 100, "x... ..x. x... ..x."},
         {"Cowbell", 73, "x... x... x... x..."},
         {"Close Hi-Hat", 100, ".... x... .... x..."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"High Tom", 100, "..x. ..x. .... ...."},
         {"Low Tom", 100, ".... .... .... x.x."},
         {"Crash Cymbal 1", 100, ".... .... .... ...."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
    {"Samba", "4/4", 79, Full,
     {{
         {"Acoustic Bass Drum", 100, "x..x x..x x..x x..."},
         {"Acoustic Snare", 100, "...x .... .... x..."},
         {"Close Hi-Hat", 100, ".x.x ..x. x..x ..x."},
         {"Open Hi-Hat", 100, ".... .... .... ...."},
         {"Hi-Mid Tom", 100, ".... .... .... ...."},
         {"Low Tom", 100, ".... .... .... ...."},
         {"Cowbell", 100, "x... x... x... x..."},
         {"Ride Cymbal 1", 100, ".... .... .... ...."},
     }}},
};
// clang-format on

inline const std::array<TrackRow, 8> kStartKit = {{
    {"Acoustic Bass Drum", 100, ""},
    {"Acoustic Snare", 100, ""},
    {"Close Hi-Hat", 100, ""},
    {"Open Hi-Hat", 100, ""},
    {"High Tom", 100, ""},
    {"Low Tom", 100, ""},
    {"Crash Cymbal 1", 100, ""},
    {"Ride Cymbal 1", 100, ""},
}};

inline int barSteps(std::string_view timeSignature) {
    if (timeSignature == "4/4")
        return 16;
    if (timeSignature == "12/8")
        return 12;
    if (timeSignature == "3/4")
        return 9;
    if (timeSignature == "6/8")
        return 6;
    return -1;
}

// The row without its beat spaces; fails when the row is not whole beats of the bar.
inline std::string bar(const TrackRow& track, std::string_view timeSignature) {
    const std::size_t beat = timeSignature == "4/4" ? 4 : 3;
    std::string steps;
    std::size_t i = 0;
    for (; i < track.row.size(); i += beat + 1) {
        const std::string_view group = track.row.substr(i, beat);
        EXPECT_EQ(group.size(), beat) << track.row;
        EXPECT_TRUE(i + beat == track.row.size() || track.row[i + beat] == ' ') << track.row;
        steps += group;
    }
    EXPECT_EQ(static_cast<int>(steps.size()), barSteps(timeSignature)) << track.row;
    EXPECT_EQ(steps.find_first_not_of("x."), std::string::npos) << track.row;
    return steps;
}

} // namespace preset_tables
