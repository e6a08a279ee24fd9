#pragma once

// The 27 built-in rhythms of the Presets menu, as constant data. Each preset is a
// built-in pattern: applying it runs the same track info and step line operations
// that loading a pattern file runs, so the data keep the pattern file's own forms.

#include "engine/time_signature.h"

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::patterns {

// A full preset carries its own eight track settings and tempo as pattern lines; a
// default-kit preset resets the tracks to the window's start kit and carries only its
// time signature and steps as lines, with the tempo beside them.
enum class PresetForm { Full, DefaultKit };

struct PresetTrack {
    int velocity;
    std::string_view instrument;
};

struct Preset {
    std::string_view group;   // submenu caption, e.g. "Country Rhythms"
    std::string_view caption; // menu item caption, e.g. "Shuffle 1"
    PresetForm form;
    std::string_view timeSignature; // "4/4", "12/8", "3/4" or "6/8"
    int tempo;
    // Full: the preset's own track settings; DefaultKit: the start kit.
    std::array<PresetTrack, engine::kTracks> tracks;
    // One step string per held step, step 1 first. A preset holds steps up to the
    // last one it needs; the steps of the bar after those stay off.
    std::span<const std::string_view> steps;
    // Volume that track 2 takes after the default kit is applied; 0 for none.
    // Only "Shuffle 2" uses it (73).
    int track2Volume = 0;
};

// The 27 presets in menu order: the groups in kPresetGroups' order, each group's
// items in the order the submenu shows them.
std::span<const Preset> allPresets();

inline constexpr std::array<std::string_view, 4> kPresetGroups = {"Country Rhythms", "Rock Rhythms",
                                                                  "Click Track", "Other"};

// The preset's lines as the pattern reader takes them. Full: time signature, tempo,
// the eight "TR<n>INFO:<velocity>+<instrument>" lines, then the held step strings.
// DefaultKit: time signature, then the held step strings.
std::vector<std::string> presetPatternLines(const Preset& preset);

} // namespace tambrel::patterns
