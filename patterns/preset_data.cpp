#include "patterns/preset_data.h"

#include <algorithm>

namespace tambrel::patterns {

namespace {

constexpr PresetForm Full = PresetForm::Full;
constexpr PresetForm Kit = PresetForm::DefaultKit;

constexpr std::string_view kCountry = kPresetGroups[0];
constexpr std::string_view kRock = kPresetGroups[1];
constexpr std::string_view kClickTrack = kPresetGroups[2];
constexpr std::string_view kOther = kPresetGroups[3];

// The window's start settings: every track at volume 100.
constexpr std::array<PresetTrack, 8> kDefaultKit = {{
    {100, "Acoustic Bass Drum"},
    {100, "Acoustic Snare"},
    {100, "Close Hi-Hat"},
    {100, "Open Hi-Hat"},
    {100, "High Tom"},
    {100, "Low Tom"},
    {100, "Crash Cymbal 1"},
    {100, "Ride Cymbal 1"},
}};

// Each step string below is one step of the bar, character t for track t ("1" sounds),
// one beat of the bar per source line. Tracks are velocity and instrument, track 1 first.

// clang-format off

// "Shuffle 1": 12/8, tempo 120, default kit; steps 1-12 of 12.
constexpr std::string_view kCountryShuffle1Steps[] = {
    "10100000", "00000000", "00100000",
    "01100000", "00000000", "00100000",
    "10100000", "00000000", "00100000",
    "01100000", "00000000", "00100000",
};

// "Shuffle 2": 12/8, tempo 98, default kit, then track 2 at 73; steps 1-12 of 12.
constexpr std::string_view kShuffle21Steps[] = {
    "10100000", "00000000", "01100000",
    "10100000", "00000000", "01100000",
    "10100000", "00000000", "01100000",
    "10100000", "00000000", "01100000",
};

// "Shuffle 3": 12/8, tempo 109; steps 1-12 of 12.
constexpr std::array<PresetTrack, 8> kShuffle31Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {85, "Pedal Hi-Hat"}, {64, "Acoustic Snare"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kShuffle31Steps[] = {
    "10100000", "00000000", "00010000",
    "01100000", "00000000", "00010000",
    "10100000", "00000000", "00010000",
    "01100000", "00000000", "00010000",
};

// "Swing": 12/8, tempo 131; steps 1-11 of 12.
constexpr std::array<PresetTrack, 8> kSwing1Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kSwing1Steps[] = {
    "10000001", "00000000", "00000000",
    "11000001", "00000000", "00000001",
    "10000001", "00000000", "00000000",
    "11000001", "00000000",
};

// "Train Beat": 4/4, tempo 210; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kTrainBeat1Tracks = {{
    {106, "Acoustic Bass Drum"}, {54, "Acoustic Snare"}, {106, "Acoustic Snare"}, {67, "Acoustic Snare"},
    {112, "Pedal Hi-Hat"}, {67, "Electric Snare"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kTrainBeat1Steps[] = {
    "10011000", "00000000", "01000000", "00000000",
    "00101000", "00000000", "01000000", "00000000",
    "10011000", "00000000", "01000000", "00000000",
    "00101000", "00000000", "01000000",
};

// "Straight 8ths": 4/4, tempo 120; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kStraight8ths1Tracks = {{
    {100, "Acoustic Bass Drum"}, {91, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Tambourine"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kStraight8ths1Steps[] = {
    "10100000", "00000000", "00100000", "00000000",
    "01110000", "00000000", "10100000", "00000000",
    "10100000", "00000000", "00100000", "00000000",
    "01110000", "00000000", "00100000",
};

// "Country Cha Cha": 4/4, tempo 111; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kChaCha1Tracks = {{
    {100, "Acoustic Bass Drum"}, {91, "Acoustic Snare"}, {88, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kChaCha1Steps[] = {
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "10100000", "00000000",
    "00100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "10100000",
};

// "Click Stick": 4/4, tempo 120; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kSideStick1Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Side Stick"}, {100, "Close Hi-Hat"}, {64, "Tambourine"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kSideStick1Steps[] = {
    "11110000", "00000000", "00100000", "00000000",
    "01110000", "00000000", "00100000", "00000000",
    "11110000", "00000000", "00100000", "00000000",
    "01110000", "00000000", "00100000",
};

// "2/4 Country": 4/4, tempo 119; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kN24Country1Tracks = {{
    {100, "Acoustic Bass Drum"}, {94, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kN24Country1Steps[] = {
    "10100000", "00000000", "01100000", "00000000",
    "10100000", "00000000", "01100000", "00000000",
    "10100000", "00000000", "01100000", "00000000",
    "10100000", "00000000", "01100000",
};

// "Waltz": 6/8, tempo 110, default kit; steps 1-5 of 6.
constexpr std::string_view kWaltz1Steps[] = {
    "10100000", "00000000", "01100000",
    "00000000", "01100000",
};

// "Shuffle Waltz": 3/4, tempo 100, default kit; steps 1-9 of 9.
constexpr std::string_view kShuffleWaltz1Steps[] = {
    "10100000", "00000000", "00100000",
    "00100000", "00000000", "00100000",
    "01100000", "00000000", "00100000",
};

// "8th Waltz": 6/8, tempo 100, default kit; steps 1-6 of 6.
constexpr std::string_view kN8thWaltz1Steps[] = {
    "10100000", "00100000", "00100000",
    "00100000", "01100000", "00100000",
};

// "4 Beat Rock": 4/4, tempo 120, default kit; steps 1-13 of 16.
constexpr std::string_view kN4BeatRock1Steps[] = {
    "10100000", "00000000", "00000000", "00000000",
    "01100000", "00000000", "00000000", "00000000",
    "10100000", "00000000", "00000000", "00000000",
    "01100000",
};

// "8th Beat Rock": 4/4, tempo 120, default kit; steps 1-15 of 16.
constexpr std::string_view kN8thBeatRock1Steps[] = {
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "00100000", "00000000",
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "00100000",
};

// "16th Beat Rock": 4/4, tempo 96, default kit; steps 1-16 of 16.
constexpr std::string_view kN16thBeatRock1Steps[] = {
    "10100000", "00100000", "00100000", "00100000",
    "01100000", "00100000", "00100000", "00100000",
    "10100000", "00100000", "00100000", "00100000",
    "01100000", "00100000", "00100000", "00100000",
};

// "12/8 Blues 1": 12/8, tempo 90, default kit; steps 1-12 of 12.
constexpr std::string_view kN128Blues1Steps[] = {
    "10100000", "00100000", "00100000",
    "01100000", "00100000", "00100000",
    "10100000", "00100000", "00100000",
    "01100000", "00100000", "00100000",
};

// "12/8 Blues 2": 12/8, tempo 61; steps 1-12 of 12.
constexpr std::array<PresetTrack, 8> kN128Blues21Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Cowbell"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kN128Blues21Steps[] = {
    "10100000", "00000000", "10000000",
    "11100000", "00000000", "10000000",
    "10100000", "00000000", "10000000",
    "11100000", "00000000", "10000000",
};

// "Surfin": 4/4, tempo 144; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kSurfin1Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {42, "Cowbell"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {82, "Ride Cymbal 1"},
}};
constexpr std::string_view kSurfin1Steps[] = {
    "10000001", "00000000", "00000001", "00000000",
    "01001001", "00000000", "00000001", "00000000",
    "10000001", "00000000", "10000001", "00000000",
    "01001001", "00000000", "01001001",
};

// "Twist": 4/4, tempo 153; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kTwist1Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {85, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kTwist1Steps[] = {
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "01100000", "00000000",
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "00100000",
};

// "4/4 Cowbell": 4/4, tempo 120; steps 1-13 of 16.
constexpr std::array<PresetTrack, 8> kN44Cowbell1Tracks = {{
    {100, "Acoustic Bass Drum"}, {94, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Cowbell"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kN44Cowbell1Steps[] = {
    "00010000", "00000000", "00000000", "00000000",
    "00010000", "00000000", "00000000", "00000000",
    "00010000", "00000000", "00000000", "00000000",
    "00010000",
};

// "Cowbell Shaker": 4/4, tempo 120; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kCowbellShaker1Tracks = {{
    {100, "Acoustic Bass Drum"}, {94, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Cowbell"},
    {100, "High Tom"}, {100, "Low Tom"}, {60, "Shaker"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kCowbellShaker1Steps[] = {
    "00010000", "00000000", "00000010", "00000000",
    "00010000", "00000000", "00000010", "00000000",
    "00010000", "00000000", "00000010", "00000000",
    "00010000", "00000000", "00000010",
};

// "Wood Block": 4/4, tempo 120; steps 1-13 of 16.
constexpr std::array<PresetTrack, 8> kWoodBlock1Tracks = {{
    {100, "Low Wood Block"}, {94, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Cowbell"},
    {100, "High Tom"}, {100, "Low Tom"}, {60, "Shaker"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kWoodBlock1Steps[] = {
    "10000000", "00000000", "00000000", "00000000",
    "10000000", "00000000", "00000000", "00000000",
    "10000000", "00000000", "00000000", "00000000",
    "10000000",
};

// "Afro Cuban": 4/4, tempo 100; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kAfroCuban1Tracks = {{
    {100, "Acoustic Bass Drum"}, {67, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Hi-Mid Tom"},
    {91, "Claves"}, {67, "Long Whistle"}, {82, "Ride Bell"}, {67, "Cowbell"},
}};
constexpr std::string_view kAfroCuban1Steps[] = {
    "10100000", "00000000", "00100000", "00100000",
    "01101000", "00000000", "00101011", "01000000",
    "10100000", "00000000", "00111011", "00000000",
    "00110000", "00000000", "10101011",
};

// "Bongo Funky": 4/4, tempo 90; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kBongoFunky1Tracks = {{
    {100, "Acoustic Bass Drum"}, {67, "Hi Bongo"}, {100, "Close Hi-Hat"}, {100, "Tambourine"},
    {67, "Low Bongo"}, {67, "Electric Snare"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kBongoFunky1Steps[] = {
    "10110000", "00000000", "01100000", "00001000",
    "00111100", "00000000", "01100000", "10011100",
    "00111000", "10000100", "01100100", "10011000",
    "11110100", "01000000", "01100100",
};

// "Bossa Nova": 4/4, tempo 120; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kBossaNova1Tracks = {{
    {82, "Bass Drum 1"}, {100, "Side Stick"}, {70, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kBossaNova1Steps[] = {
    "11100000", "00000000", "00100000", "00000000",
    "00100000", "00000000", "11100000", "00000000",
    "10100000", "00000000", "00100000", "00000000",
    "01100000", "00000000", "10100000",
};

// "Cha Cha": 4/4, tempo 121; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kChaCha2Tracks = {{
    {100, "Acoustic Bass Drum"}, {73, "Cowbell"}, {100, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "High Tom"}, {100, "Low Tom"}, {100, "Crash Cymbal 1"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kChaCha2Steps[] = {
    "11000000", "00000000", "00001000", "00000000",
    "01100000", "00000000", "10001000", "00000000",
    "11000000", "00000000", "00000000", "00000000",
    "01100100", "00000000", "10000100",
};

// "Samba": 4/4, tempo 79; steps 1-15 of 16.
constexpr std::array<PresetTrack, 8> kSamba1Tracks = {{
    {100, "Acoustic Bass Drum"}, {100, "Acoustic Snare"}, {100, "Close Hi-Hat"}, {100, "Open Hi-Hat"},
    {100, "Hi-Mid Tom"}, {100, "Low Tom"}, {100, "Cowbell"}, {100, "Ride Cymbal 1"},
}};
constexpr std::string_view kSamba1Steps[] = {
    "10000010", "00100000", "00000000", "11100000",
    "10000010", "00000000", "00100000", "10000000",
    "10100010", "00000000", "00000000", "10100000",
    "11000010", "00000000", "00100000",
};

constexpr std::array<Preset, 27> kPresets = {{
    {kCountry, "CountryShuffle1", "Shuffle 1", "CountryShuffle1Click",
     Kit, "12/8", 120, kDefaultKit, kCountryShuffle1Steps},
    {kCountry, "Shuffle21", "Shuffle 2", "Shuffle21Click",
     Kit, "12/8", 98, kDefaultKit, kShuffle21Steps, 73},
    {kCountry, "Shuffle31", "Shuffle 3", "Shuffle31Click",
     Full, "12/8", 109, kShuffle31Tracks, kShuffle31Steps},
    {kCountry, "Swing1", "Swing", "Swing1Click",
     Full, "12/8", 131, kSwing1Tracks, kSwing1Steps},
    {kCountry, "TrainBeat1", "Train Beat", "TrainBeat1Click",
     Full, "4/4", 210, kTrainBeat1Tracks, kTrainBeat1Steps},
    {kCountry, "Straight8ths1", "Straight 8ths", "Straight8ths1Click",
     Full, "4/4", 120, kStraight8ths1Tracks, kStraight8ths1Steps},
    {kCountry, "ChaCha1", "Country Cha Cha", "ChaCha1Click",
     Full, "4/4", 111, kChaCha1Tracks, kChaCha1Steps},
    {kCountry, "SideStick1", "Click Stick", "SideStick1Click",
     Full, "4/4", 120, kSideStick1Tracks, kSideStick1Steps},
    {kCountry, "N24Country1", "2/4 Country", "N24Country1Click",
     Full, "4/4", 119, kN24Country1Tracks, kN24Country1Steps},
    {kCountry, "Waltz1", "Waltz", "Waltz1Click",
     Kit, "6/8", 110, kDefaultKit, kWaltz1Steps},
    {kCountry, "ShuffleWaltz1", "Shuffle Waltz", "ShuffleWaltz1Click",
     Kit, "3/4", 100, kDefaultKit, kShuffleWaltz1Steps},
    {kCountry, "N8thWaltz1", "8th Waltz", "N8thWaltz1Click",
     Kit, "6/8", 100, kDefaultKit, kN8thWaltz1Steps},
    {kRock, "N4BeatRock1", "4 Beat Rock", "N4BeatRock1Click",
     Kit, "4/4", 120, kDefaultKit, kN4BeatRock1Steps},
    {kRock, "N8thBeatRock1", "8th Beat Rock", "N8thBeatRock1Click",
     Kit, "4/4", 120, kDefaultKit, kN8thBeatRock1Steps},
    {kRock, "N16thBeatRock1", "16th Beat Rock", "N16thBeatRock1Click",
     Kit, "4/4", 96, kDefaultKit, kN16thBeatRock1Steps},
    {kRock, "N128Blues1", "12/8 Blues 1", "N128Blues1Click",
     Kit, "12/8", 90, kDefaultKit, kN128Blues1Steps},
    {kRock, "N128Blues21", "12/8 Blues 2", "N128Blues21Click",
     Full, "12/8", 61, kN128Blues21Tracks, kN128Blues21Steps},
    {kRock, "Surfin1", "Surfin", "Surfin1Click",
     Full, "4/4", 144, kSurfin1Tracks, kSurfin1Steps},
    {kRock, "Twist1", "Twist", "Twist1Click",
     Full, "4/4", 153, kTwist1Tracks, kTwist1Steps},
    {kClickTrack, "N44Cowbell1", "4/4 Cowbell", "N44Cowbell1Click",
     Full, "4/4", 120, kN44Cowbell1Tracks, kN44Cowbell1Steps},
    {kClickTrack, "CowbellShaker1", "Cowbell Shaker", "CowbellShaker1Click",
     Full, "4/4", 120, kCowbellShaker1Tracks, kCowbellShaker1Steps},
    {kClickTrack, "WoodBlock1", "Wood Block", "WoodBlock1Click",
     Full, "4/4", 120, kWoodBlock1Tracks, kWoodBlock1Steps},
    {kOther, "AfroCuban1", "Afro Cuban", "AfroCuban1Click",
     Full, "4/4", 100, kAfroCuban1Tracks, kAfroCuban1Steps},
    {kOther, "BongoFunky1", "Bongo Funky", "BongoFunky1Click",
     Full, "4/4", 90, kBongoFunky1Tracks, kBongoFunky1Steps},
    {kOther, "BossaNova1", "Bossa Nova", "BossaNova1Click",
     Full, "4/4", 120, kBossaNova1Tracks, kBossaNova1Steps},
    {kOther, "ChaCha2", "Cha Cha", "ChaCha2Click",
     Full, "4/4", 121, kChaCha2Tracks, kChaCha2Steps},
    {kOther, "Samba1", "Samba", "Samba1Click",
     Full, "4/4", 79, kSamba1Tracks, kSamba1Steps},
}};

// clang-format on

constexpr int stepsPerBar(std::string_view timeSignature) {
    if (timeSignature == "4/4")
        return 16;
    if (timeSignature == "12/8")
        return 12;
    if (timeSignature == "3/4")
        return 9;
    if (timeSignature == "6/8")
        return 6;
    return 0;
}

constexpr bool isStepString(std::string_view step) {
    return step.size() == 8 &&
           std::all_of(step.begin(), step.end(), [](char c) { return c == '0' || c == '1'; });
}

// A typo in the tables above should stop the build rather than reach the grid.
constexpr bool wellFormed(const Preset& preset) {
    const int bar = stepsPerBar(preset.timeSignature);
    if (bar == 0 || preset.steps.empty() || static_cast<int>(preset.steps.size()) > bar)
        return false;
    if (!std::all_of(preset.steps.begin(), preset.steps.end(), isStepString))
        return false;
    if (preset.tempo < 30 || preset.tempo > 260)
        return false;
    return std::all_of(preset.tracks.begin(), preset.tracks.end(), [](const PresetTrack& t) {
        return t.velocity >= 0 && t.velocity <= 127 && !t.instrument.empty();
    });
}

static_assert(std::all_of(kPresets.begin(), kPresets.end(), wellFormed));

std::string trackInfoLine(int track, const PresetTrack& settings) {
    return "TR" + std::to_string(track) + "INFO:" + std::to_string(settings.velocity) + "+" +
           std::string(settings.instrument);
}

} // namespace

const std::array<std::string_view, 8> kDefaultKitLines = {
    "TR1INFO:100+Acoustic Bass Drum", "TR2INFO:100+Acoustic Snare", "TR3INFO:100+Close Hi-Hat",
    "TR4INFO:100+Open Hi-Hat",        "TR5INFO:100+High Tom",       "TR6INFO:100+Low Tom",
    "TR7INFO:100+Crash Cymbal 1",     "TR8INFO:100+Ride Cymbal 1",
};

std::span<const Preset> allPresets() {
    return kPresets;
}

std::vector<std::string> presetPatternLines(const Preset& preset) {
    std::vector<std::string> lines;
    lines.reserve(10 + preset.steps.size());
    lines.emplace_back(preset.timeSignature);
    if (preset.form == PresetForm::Full) {
        lines.push_back(std::to_string(preset.tempo));
        for (int t = 0; t < 8; ++t)
            lines.push_back(trackInfoLine(t + 1, preset.tracks[t]));
    }
    for (std::string_view step : preset.steps)
        lines.emplace_back(step);
    return lines;
}

} // namespace tambrel::patterns
