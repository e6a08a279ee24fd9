#include "export/loop.h"

#include "patterns/pattern_file.h"
#include "patterns/presets.h"

#include <exception>
#include <filesystem>

namespace tambrel::exporting {

Loop playedLoop(const machine::Machine& machine, int bars) {
    const engine::RhythmEngine& engine = machine.engine();
    Loop loop;
    loop.timeSignature = engine.timeSignature();
    loop.stepPeriodMs = engine.stepPeriod();
    loop.stepsPerBar = engine.stepsPerBar();
    loop.bars = bars;
    // Every bar is the same: the pattern does not change while the loop plays.
    std::vector<std::uint32_t> bar[engine::kCells];
    for (int step = 1; step <= loop.stepsPerBar; ++step) {
        const engine::StepString sounding = engine.BuildStepString(step);
        for (int track = 1; track <= engine::kTracks; ++track) {
            if (sounding.chars[static_cast<std::size_t>(track - 1)] == '1') {
                bar[step - 1].push_back(engine::noteOnMessage(engine.trigger().key(track),
                                                              engine.trigger().velocity(track)));
            }
        }
    }
    std::int64_t index = 0;
    for (int b = 0; b < bars; ++b) {
        for (int step = 0; step < loop.stepsPerBar; ++step, ++index) {
            for (const std::uint32_t message : bar[step]) {
                loop.notes.push_back({index, message});
            }
        }
    }
    return loop;
}

std::string LoopSource::title() const {
    if (kind == Kind::Preset) {
        return name;
    }
    return std::filesystem::path(name).stem().string();
}

std::string LoopSource::shown() const {
    return kind == Kind::Preset ? "\"" + name + "\"" : name;
}

std::optional<std::string> loadSource(machine::Machine& machine, const LoopSource& source) {
    try {
        if (source.kind == LoopSource::Kind::File) {
            std::string reason;
            if (!patterns::loadPatternFile(machine, source.name, &reason)) {
                return reason;
            }
            return std::nullopt;
        }
        const patterns::Preset* preset = patterns::findPreset(source.name);
        if (preset == nullptr) {
            return "no built-in rhythm has this caption";
        }
        patterns::applyPreset(machine, *preset);
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

} // namespace tambrel::exporting
