#include "track_settings.h"

#include "drum_catalogue.h"

#include <algorithm>
#include <stdexcept>

namespace tambrel::midi {

TrackSettings::TrackSettings(engine::NoteTrigger& trigger) : trigger_(trigger) {
    for (int t = 1; t <= 8; ++t) {
        instruments_[index(t)] = std::string(kStartInstruments[index(t)]);
        volumes_[index(t)] = engine::kStartVelocity;
    }
}

std::size_t TrackSettings::index(int track) {
    if (track < 1 || track > 8) {
        throw std::out_of_range("track");
    }
    return static_cast<std::size_t>(track - 1);
}

const std::string& TrackSettings::instrumentText(int track) const {
    return instruments_[index(track)];
}

int TrackSettings::volume(int track) const {
    return volumes_[index(track)];
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

bool TrackSettings::setVolume(int track, long long position) {
    const int clamped = static_cast<int>(std::clamp<long long>(position, kVolumeMin, kVolumeMax));
    int& stored = volumes_[index(track)];
    if (clamped == stored) {
        return false;
    }
    stored = clamped;
    trigger_.setVelocity(track, clamped);
    return true;
}

void TrackSettings::applyTrackInfo(int track, long long volume, std::string_view name) {
    setVolume(track, volume);
    instruments_[index(track)] = std::string(name);
    trigger_.setKey(track, drumKey(name));
}

} // namespace tambrel::midi
