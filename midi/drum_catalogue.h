#pragma once
// The 48 drum instruments a track can sound, in menu order, with their General MIDI
// percussion keys (35..82). A name becomes a key only through drumKey().

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tambrel::midi {

struct DrumInstrument {
    std::string_view name;
    std::int32_t key;
};

extern const std::array<DrumInstrument, 48> kDrumCatalogue;

// Exact, case-sensitive match of the whole text; 0 for anything else, the empty text
// included.
std::int32_t drumKey(std::string_view name) noexcept;

// The instrument combo boxes' items: the 48 names in order, then one empty item.
std::vector<std::string> instrumentItems();

} // namespace tambrel::midi
