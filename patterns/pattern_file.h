#pragma once
// Pattern files on the machine: the current state as pattern lines, a parsed pattern
// applied, and whole loads and saves of files. A load parses first and applies only a
// whole pattern; a save replaces the file whole or leaves it as it was.

#include "patterns/pattern.h"
#include "patterns/pattern_text.h"

#include "machine/machine.h"

#include <string>
#include <string_view>

namespace tambrel::patterns {

inline constexpr const char* kLoadErrorMessage = "  There was an error loading the file.  ";
inline constexpr const char* kSaveErrorMessage = "  Error saving pattern  ";

// The largest file taken for a pattern: a pattern file is well under a kilobyte, and a
// name typed by mistake must not fill the memory.
inline constexpr std::size_t kMaxPatternFileBytes = 1 << 20;

// The current state as pattern lines: 10 + steps per bar.
PatternLines BuildPatternLines(const machine::Machine& machine);

// Replaces the machine's pattern: the grid is cleared, the track info lines applied in
// their order, the steps put into the cells their signature gives them (the first step
// selects the signature, which stops the clock only when it changes), then the tempo.
// Takes the pattern's texts over, so it cannot fail.
void applyPattern(machine::Machine& machine, Pattern&& pattern) noexcept;

// The parts of applyPattern, for the built-in rhythms that apply them in another order.
void applyTrackInfos(machine::Machine& machine,
                     std::array<TrackInfo, engine::kTracks>&& infos) noexcept;
void applySteps(machine::Machine& machine, engine::TimeSig sig,
                const std::vector<engine::StepString>& steps) noexcept;
void applyTempo(machine::Machine& machine, std::int32_t tempo) noexcept;

// A whole load of a file's bytes: parsed, then applied. A rejected file changes nothing;
// `reason` (when given) then says which line is wrong and how.
[[nodiscard]] bool loadPatternBytes(machine::Machine& machine, std::string_view bytes,
                                    std::string* reason = nullptr);
// The same from a file; a file that cannot be read gives the system's reason.
[[nodiscard]] bool loadPatternFile(machine::Machine& machine, const std::string& path,
                                   std::string* reason = nullptr);

// Writes the lines as the file's whole new contents (see platform::replaceFile).
[[nodiscard]] bool savePatternFile(const PatternLines& lines, const std::string& path,
                                   std::string* reason = nullptr);

} // namespace tambrel::patterns
