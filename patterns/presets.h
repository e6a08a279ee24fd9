#pragma once
// Applying the built-in rhythms to the machine. A full rhythm is a built-in pattern file:
// its lines are parsed and applied as a load's are. A default-kit rhythm puts back the
// start kit and its own tempo first, then its steps.

#include "machine/machine.h"
#include "patterns/preset_data.h"

namespace tambrel::patterns {

inline constexpr const char* kPresetErrorMessage =
    "   There was an error creating the preset pattern.   ";

// Replaces the whole pattern with the preset. Everything it needs is made before the
// first change, so it either throws (PatternError, or for want of memory) having
// changed nothing, or applies the whole preset.
void applyPreset(machine::Machine& machine, const Preset& preset);
// Clears the grid, puts back the start kit on all eight tracks, and sets the tempo.
void ApplyDefaultKit(machine::Machine& machine, int tempo) noexcept;

// The preset with this caption, or nullptr.
const Preset* findPreset(std::string_view caption) noexcept;

} // namespace tambrel::patterns
