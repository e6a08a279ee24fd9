#include "patterns/preset_data.h"

#include "patterns/pattern.h"

#include "engine/time_signature.h"
#include "midi/start_kit.h"
#include "midi/track_settings.h"

#include <algorithm>
#include <optional>

namespace tambrel::patterns {

namespace {

constexpr PresetForm Full = PresetForm::Full;
constexpr PresetForm Kit = PresetForm::DefaultKit;

constexpr std::string_view kCountry = kPresetGroups[0];
constexpr std::string_view kRock = kPresetGroups[1];
constexpr std::string_view kClickTrack = kPresetGroups[2];
constexpr std::string_view kOther = kPresetGroups[3];

// The default-kit rhythms' tracks are the start kit.
constexpr std::array<PresetTrack, engine::kTracks> kDefaultKit = [] {
    std::array<PresetTrack, engine::kTracks> tracks{};
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        tracks[t] = {midi::kStartKit[t].volume, midi::kStartKit[t].instrument};
    }
    return tracks;
}();

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
constexpr std::array<PresetTrack, engine::kTracks> kShuffle31Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kSwing1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kTrainBeat1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kStraight8ths1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kChaCha1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kSideStick1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kN24Country1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kN128Blues21Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kSurfin1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kTwist1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kN44Cowbell1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kCowbellShaker1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kWoodBlock1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kAfroCuban1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kBongoFunky1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kBossaNova1Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kChaCha2Tracks = {{
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
constexpr std::array<PresetTrack, engine::kTracks> kSamba1Tracks = {{
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
    {kCountry, "Shuffle 1",
     Kit, "12/8", 120, kDefaultKit, kCountryShuffle1Steps},
    {kCountry, "Shuffle 2",
     Kit, "12/8", 98, kDefaultKit, kShuffle21Steps, 73},
    {kCountry, "Shuffle 3",
     Full, "12/8", 109, kShuffle31Tracks, kShuffle31Steps},
    {kCountry, "Swing",
     Full, "12/8", 131, kSwing1Tracks, kSwing1Steps},
    {kCountry, "Train Beat",
     Full, "4/4", 210, kTrainBeat1Tracks, kTrainBeat1Steps},
    {kCountry, "Straight 8ths",
     Full, "4/4", 120, kStraight8ths1Tracks, kStraight8ths1Steps},
    {kCountry, "Country Cha Cha",
     Full, "4/4", 111, kChaCha1Tracks, kChaCha1Steps},
    {kCountry, "Click Stick",
     Full, "4/4", 120, kSideStick1Tracks, kSideStick1Steps},
    {kCountry, "2/4 Country",
     Full, "4/4", 119, kN24Country1Tracks, kN24Country1Steps},
    {kCountry, "Waltz",
     Kit, "6/8", 110, kDefaultKit, kWaltz1Steps},
    {kCountry, "Shuffle Waltz",
     Kit, "3/4", 100, kDefaultKit, kShuffleWaltz1Steps},
    {kCountry, "8th Waltz",
     Kit, "6/8", 100, kDefaultKit, kN8thWaltz1Steps},
    {kRock, "4 Beat Rock",
     Kit, "4/4", 120, kDefaultKit, kN4BeatRock1Steps},
    {kRock, "8th Beat Rock",
     Kit, "4/4", 120, kDefaultKit, kN8thBeatRock1Steps},
    {kRock, "16th Beat Rock",
     Kit, "4/4", 96, kDefaultKit, kN16thBeatRock1Steps},
    {kRock, "12/8 Blues 1",
     Kit, "12/8", 90, kDefaultKit, kN128Blues1Steps},
    {kRock, "12/8 Blues 2",
     Full, "12/8", 61, kN128Blues21Tracks, kN128Blues21Steps},
    {kRock, "Surfin",
     Full, "4/4", 144, kSurfin1Tracks, kSurfin1Steps},
    {kRock, "Twist",
     Full, "4/4", 153, kTwist1Tracks, kTwist1Steps},
    {kClickTrack, "4/4 Cowbell",
     Full, "4/4", 120, kN44Cowbell1Tracks, kN44Cowbell1Steps},
    {kClickTrack, "Cowbell Shaker",
     Full, "4/4", 120, kCowbellShaker1Tracks, kCowbellShaker1Steps},
    {kClickTrack, "Wood Block",
     Full, "4/4", 120, kWoodBlock1Tracks, kWoodBlock1Steps},
    {kOther, "Afro Cuban",
     Full, "4/4", 100, kAfroCuban1Tracks, kAfroCuban1Steps},
    {kOther, "Bongo Funky",
     Full, "4/4", 90, kBongoFunky1Tracks, kBongoFunky1Steps},
    {kOther, "Bossa Nova",
     Full, "4/4", 120, kBossaNova1Tracks, kBossaNova1Steps},
    {kOther, "Cha Cha",
     Full, "4/4", 121, kChaCha2Tracks, kChaCha2Steps},
    {kOther, "Samba",
     Full, "4/4", 79, kSamba1Tracks, kSamba1Steps},
}};

// clang-format on

// One character per track.
constexpr bool isStepString(std::string_view step) {
    return step.size() == static_cast<std::size_t>(engine::kTracks) &&
           std::all_of(step.begin(), step.end(), [](char c) { return c == '0' || c == '1'; });
}

// A typo in the tables above should stop the build rather than reach the grid.
constexpr bool wellFormed(const Preset& preset) {
    const std::optional<engine::TimeSig> sig = engine::timeSignatureFromText(preset.timeSignature);
    if (!sig || preset.steps.empty() ||
        static_cast<int>(preset.steps.size()) > engine::stepsPerBar(*sig))
        return false;
    if (!std::all_of(preset.steps.begin(), preset.steps.end(), isStepString))
        return false;
    if (preset.tempo < engine::kTempoMin || preset.tempo > engine::kTempoMax)
        return false;
    return std::all_of(preset.tracks.begin(), preset.tracks.end(), [](const PresetTrack& t) {
        return t.velocity >= midi::kVolumeMin && t.velocity <= midi::kVolumeMax &&
               !t.instrument.empty();
    });
}

static_assert(std::all_of(kPresets.begin(), kPresets.end(), wellFormed));

} // namespace

std::span<const Preset> allPresets() {
    return kPresets;
}

std::vector<std::string> presetPatternLines(const Preset& preset) {
    std::vector<std::string> lines;
    lines.reserve(kHeaderLines + preset.steps.size());
    lines.emplace_back(preset.timeSignature);
    if (preset.form == PresetForm::Full) {
        lines.push_back(std::to_string(preset.tempo));
        for (std::size_t t = 0; t < preset.tracks.size(); ++t)
            lines.push_back(trackInfoLine(static_cast<int>(t) + 1, preset.tracks[t].velocity,
                                          preset.tracks[t].instrument));
    }
    for (std::string_view step : preset.steps)
        lines.emplace_back(step);
    return lines;
}

} // namespace tambrel::patterns
