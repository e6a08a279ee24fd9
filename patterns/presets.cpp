#include "presets.h"

#include "patterns/pattern_file.h"

#include "midi/start_kit.h"

namespace tambrel::patterns {

namespace {

constexpr int kShuffleTrack = 2;

// The start kit as the track info lines that put it back.
std::array<TrackInfo, engine::kTracks> startKitInfos() {
    std::array<TrackInfo, engine::kTracks> infos;
    for (std::size_t t = 0; t < infos.size(); ++t) {
        infos[t] = {static_cast<int>(t) + 1, midi::kStartKit[t].volume,
                    std::string(midi::kStartKit[t].instrument)};
    }
    return infos;
}

// The preset as a pattern: a full one read from its lines as a file is, a default-kit
// one from the start kit, its tempo and its steps.
Pattern presetPattern(const Preset& preset) {
    if (preset.form == PresetForm::Full) {
        ParsedPattern parsed = parsePattern(presetPatternLines(preset));
        if (!parsed.pattern) {
            throw PatternError(std::string(preset.caption) + ": " + parsed.reason);
        }
        return std::move(*parsed.pattern);
    }
    Pattern pattern;
    pattern.timeSignature =
        engine::timeSignatureFromText(preset.timeSignature).value_or(engine::TimeSig::FourFour);
    pattern.tempo = preset.tempo;
    pattern.trackInfos = startKitInfos();
    for (const std::string_view step : preset.steps) {
        pattern.steps.push_back(engine::StepString::of(step));
    }
    return pattern;
}

} // namespace

void ApplyDefaultKit(machine::Machine& machine, int tempo) noexcept {
    try {
        std::array<TrackInfo, engine::kTracks> kit = startKitInfos();
        machine.engine().ClearPattern();
        applyTrackInfos(machine, std::move(kit));
        applyTempo(machine, tempo);
    } catch (...) {
        // Only memory can run out, before anything changed; the rhythm's steps still follow.
    }
}

void applyPreset(machine::Machine& machine, const Preset& preset) {
    Pattern pattern = presetPattern(preset);
    // Nothing below can fail.
    if (preset.form == PresetForm::Full) {
        applyPattern(machine, std::move(pattern));
        return;
    }
    // The kit and the tempo first, so that the first step's signature switch computes the
    // step period from the rhythm's own tempo; then the steps.
    machine.engine().ClearPattern();
    applyTrackInfos(machine, std::move(pattern.trackInfos));
    applyTempo(machine, pattern.tempo);
    if (preset.track2Volume != 0) {
        machine.tracks().setVolume(kShuffleTrack, preset.track2Volume);
    }
    applySteps(machine, pattern.timeSignature, pattern.steps);
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
