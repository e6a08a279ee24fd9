// libFuzzer target: any bytes as a pattern file. A load must never crash, must either
// apply the whole pattern or change nothing (with the parser's reason), and whatever it
// loads must save and load back to the very same state and bytes.

#include "patterns/pattern_file.h"

#include "tests/patterns/machine_state.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace patterns = tambrel::patterns;
using tambrel::machine::Machine;
using tambrel::testing::stateOf;

[[noreturn]] void broken(const char* invariant) {
    std::fprintf(stderr, "pattern_fuzz: invariant broken: %s\n", invariant);
    std::abort();
}

void check(bool holds, const char* invariant) {
    if (!holds) {
        broken(invariant);
    }
}

// The number rule reads back what it wrote: a value printed in decimal converts to itself.
void checkNumber(std::string_view text) {
    const std::optional<std::int32_t> value = patterns::convertNumber(text);
    if (value) {
        check(patterns::convertNumber(std::to_string(*value)) == value,
              "a converted number reads back from its decimal text");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Framing: lines never hold a break or a NUL, and writing them reads back the same.
    const patterns::PatternLines lines = patterns::ReadPatternText(bytes);
    for (const std::string& line : lines) {
        check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
              "read lines hold no CR, LF or NUL");
    }
    check(patterns::ReadPatternText(patterns::WritePatternText(lines)) == lines,
          "written lines read back unchanged");
    if (!lines.empty()) {
        checkNumber(lines.front());
    }
    if (lines.size() > 1) {
        checkNumber(lines[1]);
    }

    // The load itself: all or nothing, as the parse says, with a reason for a refusal.
    Machine loaded;
    const auto start = stateOf(loaded);
    const patterns::ParsedPattern parsed = patterns::parsePattern(lines);
    std::string reason;
    const bool accepted = patterns::loadPatternBytes(loaded, bytes, &reason);
    check(accepted == parsed.pattern.has_value(), "a load takes exactly the parsed files");
    if (!accepted) {
        check(stateOf(loaded) == start, "a rejected load changes nothing");
        check(reason == parsed.reason && reason.rfind("line ", 0) == 0,
              "a rejected load names the line at fault");
        return 0;
    }

    // What was loaded saves as a full pattern of the bar and loads back identically.
    const std::string saved = patterns::WritePatternText(patterns::BuildPatternLines(loaded));
    check(patterns::ReadPatternText(saved).size() ==
              10 + static_cast<std::size_t>(loaded.engine().stepsPerBar()),
          "a saved pattern has ten lines and one per step");
    // The round trip: the saved file is the pattern the machine now holds. It parses,
    // applies to a fresh machine as the same state, and saves to the same bytes again.
    const patterns::ParsedPattern savedPattern =
        patterns::parsePattern(patterns::ReadPatternText(saved));
    check(savedPattern.pattern.has_value(), "a saved pattern parses");
    Machine reloaded;
    check(patterns::loadPatternBytes(reloaded, saved), "a saved pattern loads");
    check(stateOf(reloaded) == stateOf(loaded), "a saved pattern loads back to the same state");
    check(patterns::WritePatternText(patterns::BuildPatternLines(reloaded)) == saved,
          "a reloaded pattern saves to the same bytes");
    return 0;
}
