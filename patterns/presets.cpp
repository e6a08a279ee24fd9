#include "presets.h"

#include "patterns/pattern_file.h"

namespace tambrel::patterns {

namespace {

constexpr int kShuffleTrack = 2;

} // namespace

void ApplyDefaultKit(midi::Machine& machine, int tempo) noexcept {
    try {
        machine.engine().ClearPattern();
        for (const std::string_view line : kDefaultKitLines) {
            ApplyTrackInfoLine(machine, line);
        }
        engine::RhythmEngine& engine = machine.engine();
        engine.tempoSpinner().setPosition(tempo);
        engine.UpdateStepPeriod();
    } catch (...) {
        // The kit is the preset's background: the preset's own steps still follow.
    }
}

void applyPreset(midi::Machine& machine, const Preset& preset) {
    machine.engine().ClearPattern();
    if (preset.form == PresetForm::Full) {
        // A full preset is a built-in pattern file: the same path as a load.
        ApplyPatternLines(machine, presetPatternLines(preset));
        return;
    }

    // Default kit: tracks and tempo first, so the first step line's signature switch
    // recomputes the step period from the preset's tempo.
    ApplyDefaultKit(machine, preset.tempo);
    const PatternLines lines = presetPatternLines(preset);
    if (preset.track2Volume != 0) {
        machine.tracks().setVolume(kShuffleTrack, preset.track2Volume);
    }
    if (lines.empty()) {
        throw PatternError("preset without a time signature");
    }
    for (std::size_t k = 1; k < lines.size(); ++k) {
        ApplyStepLine(machine, lines[0], lines[k], static_cast<int>(k));
    }
}

const Preset* findPreset(std::string_view caption) noexcept {
    for (const Preset& preset : allPresets()) {
        if (preset.caption == caption) {
            return &preset;
        }
    }
    return nullptr;
}

} // namespace tambrel::patterns
