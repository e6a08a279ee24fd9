#pragma once
// tambrel-pattern render: a loop through the built-in synth into a WAV file. The synth is
// part of the Linux build only; elsewhere the command says so.

#include "export/loop.h"

#include <optional>
#include <string>

namespace tambrel::tools {

inline constexpr int kRenderRates[] = {44100, 48000};
inline constexpr int kDefaultRenderRate = 48000;

struct RenderSettings {
    int rate = kDefaultRenderRate;
    std::string soundfont; // empty: the first General MIDI soundfont found
    bool floatSamples = false;
};

// Nothing when the file is written, else a one-line message naming the file at fault.
[[nodiscard]] std::optional<std::string> renderLoopToWav(const exporting::Loop& loop,
                                                         const RenderSettings& settings,
                                                         const std::string& output);

} // namespace tambrel::tools
