#pragma once
// The kit the window starts with, and that the default-kit rhythms put back: one
// instrument per track, every track at volume 100. The keys follow from the names.

#include "drum_catalogue.h"

#include "engine/time_signature.h"

#include <array>
#include <string_view>

namespace tambrel::midi {

struct KitTrack {
    std::string_view instrument;
    int volume;
};

inline constexpr std::array<KitTrack, engine::kTracks> kStartKit = {{
    {"Acoustic Bass Drum", 100},
    {"Acoustic Snare", 100},
    {"Close Hi-Hat", 100},
    {"Open Hi-Hat", 100},
    {"High Tom", 100},
    {"Low Tom", 100},
    {"Crash Cymbal 1", 100},
    {"Ride Cymbal 1", 100},
}};

// Every instrument of the kit is one the catalogue knows: the start sends real drums.
static_assert([] {
    for (const KitTrack& track : kStartKit) {
        if (drumKey(track.instrument) == 0) {
            return false;
        }
    }
    return true;
}());

} // namespace tambrel::midi
