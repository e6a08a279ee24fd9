#pragma once
// Each track's instrument (the combo box's text, 8-bit) and volume (the track bar's
// position, 0..127), and the key and velocity they give the note trigger.

#include "engine/note_trigger.h"

#include <array>
#include <string>
#include <string_view>

namespace tambrel::midi {

inline constexpr std::array<std::string_view, 8> kStartInstruments = {
    "Acoustic Bass Drum", "Acoustic Snare", "Close Hi-Hat",   "Open Hi-Hat",
    "High Tom",           "Low Tom",        "Crash Cymbal 1", "Ride Cymbal 1"};
inline constexpr int kVolumeMin = 0;
inline constexpr int kVolumeMax = 127;

class TrackSettings {
public:
    explicit TrackSettings(engine::NoteTrigger& trigger);

    // Tracks 1..8.
    const std::string& instrumentText(int track) const;
    int volume(int track) const;

    // The user changed the instrument text (a pick or typing): the key follows the whole
    // text. CR, LF and NUL are dropped: they would break a pattern file's lines.
    void instrumentChanged(int track, std::string_view text);
    // The volume bar moved to `position` (kept within 0..127). The label and velocity
    // follow only when the position really changes; returns whether it did.
    bool setVolume(int track, long long position);
    // A track info line from a pattern file or preset: volume, then text, then the key
    // of the text directly (the text is taken as it stands).
    void applyTrackInfo(int track, long long volume, std::string_view name);

    // Removes the characters an instrument text must not hold.
    static std::string sanitizeInstrumentText(std::string_view text);

private:
    static std::size_t index(int track);
    engine::NoteTrigger& trigger_;
    std::array<std::string, 8> instruments_;
    std::array<int, 8> volumes_{};
};

} // namespace tambrel::midi
