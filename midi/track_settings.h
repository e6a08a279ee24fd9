#pragma once
// Each track's instrument (the text naming it, 8-bit, as the user typed or picked it) and
// volume (0..127). The note trigger holds the key and velocity they give: the velocity is
// the volume, kept in that one place.

#include "engine/note_trigger.h"
#include "engine/time_signature.h"

#include <array>
#include <string>
#include <string_view>

namespace tambrel::midi {

inline constexpr int kVolumeMin = 0;
inline constexpr int kVolumeMax = 127;

class TrackSettings {
public:
    // Gives every track the start kit's instrument, key and volume.
    explicit TrackSettings(engine::NoteTrigger& trigger);

    // Tracks 1..8.
    const std::string& instrumentText(int track) const;
    int volume(int track) const;

    // The user changed the instrument text (a pick or typing): the key follows the whole
    // text. CR, LF and NUL are dropped: they would break a pattern file's lines.
    void instrumentChanged(int track, std::string_view text);
    // The volume moved to `position` (kept within 0..127). Returns whether it changed.
    bool setVolume(int track, long long position) noexcept;
    // A track info line from a pattern file or preset: volume, then text, then the key
    // of the text directly (the text is taken as it stands). Tracks outside 1..8 are
    // left alone. Takes the text over without copying, so it cannot fail.
    void applyTrackInfo(int track, long long volume, std::string&& name) noexcept;

    // Removes the characters an instrument text must not hold.
    static std::string sanitizeInstrumentText(std::string_view text);

private:
    static std::size_t index(int track);
    engine::NoteTrigger& trigger_;
    std::array<std::string, engine::kTracks> instruments_;
};

} // namespace tambrel::midi
