#pragma once
// tambrel-pattern render: a loop through the built-in synth into a WAV file. The synth is
// part of the Linux build only; elsewhere the command says so.

#include "export/loop.h"
#include "export/render_rates.h"

#include <optional>
#include <string>

namespace tambrel::tools {

struct RenderSettings {
    int rate = exporting::kDefaultRenderRate;
    std::string soundfont; // empty: the first General MIDI soundfont found
    bool floatSamples = false;
};

// Nothing when the file is written, else a one-line message naming the file at fault.
[[nodiscard]] std::optional<std::string> renderLoopToWav(const exporting::Loop& loop,
                                                         const RenderSettings& settings,
                                                         const std::string& output);

} // namespace tambrel::tools
