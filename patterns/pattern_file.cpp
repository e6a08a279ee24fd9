#include "patterns/pattern_file.h"

#include "platform/files.h"

namespace tambrel::patterns {

namespace {

void setReason(std::string* reason, std::string text) {
    if (reason != nullptr) {
        *reason = std::move(text);
    }
}

} // namespace

PatternLines BuildPatternLines(const machine::Machine& machine) {
    const engine::RhythmEngine& engine = machine.engine();
    const midi::TrackSettings& tracks = machine.tracks();
    PatternLines lines;
    const int steps = engine.stepsPerBar();
    lines.reserve(kHeaderLines + static_cast<std::size_t>(steps));
    lines.emplace_back(engine.timeSignatureText());
    // The selector's own position: it can be a click ahead of the tempo in force.
    lines.push_back(std::to_string(engine.tempoSelector().position()));
    for (int t = 1; t <= engine::kTracks; ++t) {
        lines.push_back(trackInfoLine(t, tracks.volume(t), tracks.instrumentText(t)));
    }
    for (int k = 1; k <= steps; ++k) {
        lines.push_back(engine.BuildStepString(k).str());
    }
    return lines;
}

void applyTrackInfos(machine::Machine& machine,
                     std::array<TrackInfo, engine::kTracks>&& infos) noexcept {
    for (TrackInfo& info : infos) {
        machine.tracks().applyTrackInfo(info.track, info.volume, std::move(info.instrument));
    }
}

void applySteps(machine::Machine& machine, engine::TimeSig sig,
                const std::vector<engine::StepString>& steps) noexcept {
    engine::RhythmEngine& engine = machine.engine();
    if (!steps.empty()) {
        engine.SelectTimeSignature(sig);
    }
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const int cell = engine::cellForStep(sig, static_cast<int>(k) + 1);
        for (int t = 1; t <= engine::kTracks; ++t) {
            if (steps[k].chars[static_cast<std::size_t>(t - 1)] == '1') {
                engine.grid().set(t, cell, true);
            }
        }
    }
}

void applyTempo(machine::Machine& machine, std::int32_t tempo) noexcept {
    machine.engine().tempoSelector().setPosition(tempo);
    machine.engine().UpdateStepPeriod();
}

void applyPattern(machine::Machine& machine, Pattern&& pattern) noexcept {
    machine.engine().ClearPattern();
    applyTrackInfos(machine, std::move(pattern.trackInfos));
    applySteps(machine, pattern.timeSignature, pattern.steps);
    // Tempo last: the signature switch above computed a period from the old tempo.
    applyTempo(machine, pattern.tempo);
}

bool loadPatternBytes(machine::Machine& machine, std::string_view bytes, std::string* reason) {
    ParsedPattern parsed = parsePattern(ReadPatternText(bytes));
    if (!parsed.pattern) {
        setReason(reason, std::move(parsed.reason));
        return false;
    }
    applyPattern(machine, std::move(*parsed.pattern));
    return true;
}

bool loadPatternFile(machine::Machine& machine, const std::string& path, std::string* reason) {
    platform::FileRead read = platform::readRegularFile(path, kMaxPatternFileBytes);
    if (!read.bytes) {
        setReason(reason, std::move(read.error));
        return false;
    }
    return loadPatternBytes(machine, *read.bytes, reason);
}

bool savePatternFile(const PatternLines& lines, const std::string& path, std::string* reason) {
    std::string bytes;
    try {
        bytes = WritePatternText(lines);
    } catch (const PatternError& error) {
        setReason(reason, error.what());
        return false;
    }
    if (std::optional<std::string> failed = platform::replaceFile(path, bytes)) {
        setReason(reason, std::move(*failed));
        return false;
    }
    return true;
}

} // namespace tambrel::patterns
