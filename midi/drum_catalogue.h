#pragma once
// The 48 drum instruments a track can sound, in menu order, with their General MIDI
// percussion keys (35..82). A name becomes a key only through drumKey().

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::midi {

struct DrumInstrument {
    std::string_view name;
    std::int32_t key;
};

// These spellings are the ones pattern files carry; other published lists differ in
// places ("Close Hi-Hat", "Hi Bongo"), and only these match.
inline constexpr std::array<DrumInstrument, 48> kDrumCatalogue = {{
    {"Acoustic Bass Drum", 35},
    {"Bass Drum 1", 36},
    {"Side Stick", 37},
    {"Acoustic Snare", 38},
    {"Hand Clap", 39},
    {"Electric Snare", 40},
    {"Low Floor Tom", 41},
    {"Close Hi-Hat", 42},
    {"High Floor Tom", 43},
    {"Pedal Hi-Hat", 44},
    {"Low Tom", 45},
    {"Open Hi-Hat", 46},
    {"Low-Mid Tom", 47},
    {"Hi-Mid Tom", 48},
    {"Crash Cymbal 1", 49},
    {"High Tom", 50},
    {"Ride Cymbal 1", 51},
    {"China Type Cymbal", 52},
    {"Ride Bell", 53},
    {"Tambourine", 54},
    {"Splash Cymbal", 55},
    {"Cowbell", 56},
    {"Crash Cymbal 2", 57},
    {"Vibraslap", 58},
    {"Ride Cymbal 2", 59},
    {"Hi Bongo", 60},
    {"Low Bongo", 61},
    {"Mute High Conga", 62},
    {"Open High Conga", 63},
    {"Low Conga", 64},
    {"High Timbale", 65},
    {"Low Timbale", 66},
    {"High Agogo", 67},
    {"Low Agogo", 68},
    {"Cabasa", 69},
    {"Maracas", 70},
    {"Short Whistle", 71},
    {"Long Whistle", 72},
    {"Short Guiro", 73},
    {"Long Guiro", 74},
    {"Claves", 75},
    {"Hi Wood Block", 76},
    {"Low Wood Block", 77},
    {"Mute Cuica", 78},
    {"Open Cuica", 79},
    {"Mute Triangle", 80},
    {"Open Triangle", 81},
    {"Shaker", 82},
}};

// Exact, case-sensitive match of the whole text; 0 for anything else, the empty text
// included.
constexpr std::int32_t drumKey(std::string_view name) noexcept {
    for (const DrumInstrument& instrument : kDrumCatalogue) {
        if (instrument.name == name) {
            return instrument.key;
        }
    }
    return 0;
}

// The instrument combo boxes' items: the 48 names in order, then one empty item.
std::vector<std::string> instrumentItems();

} // namespace tambrel::midi
