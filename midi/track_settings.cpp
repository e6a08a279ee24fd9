#include "track_settings.h"

#include "drum_catalogue.h"
#include "start_kit.h"

#include <algorithm>
#include <stdexcept>

namespace tambrel::midi {

namespace {
bool isTrack(int track) noexcept {
    return track >= 1 && track <= engine::kTracks;
}
} // namespace

TrackSettings::TrackSettings(engine::NoteTrigger& trigger) : trigger_(trigger) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        const KitTrack& kit = kStartKit[index(t)];
        applyTrackInfo(t, kit.volume, std::string(kit.instrument));
    }
}

std::size_t TrackSettings::index(int track) {
    if (!isTrack(track)) {
        throw std::out_of_range("track");
    }
    return static_cast<std::size_t>(track - 1);
}

const std::string& TrackSettings::instrumentText(int track) const {
    return instruments_[index(track)];
}

int TrackSettings::volume(int track) const {
    index(track); // a track that does not exist has no volume
    return trigger_.velocity(track);
}

std::string TrackSettings::sanitizeInstrumentText(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') {
            clean.push_back(c);
        }
    }
    return clean;
}

void TrackSettings::instrumentChanged(int track, std::string_view text) {
    std::string& stored = instruments_[index(track)];
    stored = sanitizeInstrumentText(text);
    trigger_.setKey(track, drumKey(stored));
}

bool TrackSettings::setVolume(int track, long long position) noexcept {
    const int clamped = static_cast<int>(std::clamp<long long>(position, kVolumeMin, kVolumeMax));
    if (!isTrack(track) || clamped == trigger_.velocity(track)) {
        return false;
    }
    trigger_.setVelocity(track, clamped);
    return true;
}

void TrackSettings::applyTrackInfo(int track, long long volume, std::string&& name) noexcept {
    if (!isTrack(track)) {
        return;
    }
    setVolume(track, volume);
    std::string& stored = instruments_[static_cast<std::size_t>(track - 1)];
    stored = std::move(name);
    trigger_.setKey(track, drumKey(stored));
}

} // namespace tambrel::midi
