#pragma once
// The sample rates a loop is rendered at: the desktop's, which the built-in synth plays at
// and a render gets unless told otherwise, and the CD's.

#include <algorithm>

namespace tambrel::exporting {

inline constexpr int kDefaultRenderRate = 48000;
inline constexpr int kRenderRates[] = {44100, kDefaultRenderRate};
inline constexpr int kHighestRenderRate = std::max({kRenderRates[0], kRenderRates[1]});

} // namespace tambrel::exporting
