#pragma once
// Applying the built-in rhythms to the machine, through the same operations as pattern
// files.

#include "midi/machine.h"
#include "patterns/preset_data.h"

namespace tambrel::patterns {

inline constexpr const char* kPresetErrorMessage =
    "   There was an error creating the preset pattern.   ";

// Replaces the whole pattern with the preset. Throws (PatternError or anything else) only
// if its lines cannot be applied; what was applied before stays.
void applyPreset(midi::Machine& machine, const Preset& preset);
// The start kit's eight track info lines and the tempo; absorbs its own failures.
void ApplyDefaultKit(midi::Machine& machine, int tempo) noexcept;

// The preset with this caption, or nullptr.
const Preset* findPreset(std::string_view caption) noexcept;

} // namespace tambrel::patterns
