#pragma once
// The note trigger as the machine starts it: the track settings give it the start kit's
// keys and velocities, which the engine alone does not know.

#include "engine/note_trigger.h"
#include "midi/start_kit.h"

namespace tambrel::testing {

inline void giveStartKit(engine::NoteTrigger& trigger) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        const midi::KitTrack& kit = midi::kStartKit[static_cast<std::size_t>(t - 1)];
        trigger.setKey(t, midi::drumKey(kit.instrument));
        trigger.setVelocity(t, kit.volume);
    }
}

} // namespace tambrel::testing
