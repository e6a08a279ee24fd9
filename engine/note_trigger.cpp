#include "note_trigger.h"

namespace tambrel::engine {

NoteTrigger::NoteTrigger(midiout::MidiOut* out) noexcept : out_(out) {}

void NoteTrigger::SendStepNotes(std::string_view step, midiout::Moment due) const noexcept {
    midiout::MidiOut* out = out_.load(std::memory_order_acquire);
    const std::size_t n = step.size() < kTracks ? step.size() : kTracks;
    for (std::size_t t = 0; t < n; ++t) {
        if (step[t] != '1') {
            continue;
        }
        const std::uint32_t message = noteOnMessage(keys_[t].load(std::memory_order_relaxed),
                                                    velocities_[t].load(std::memory_order_relaxed));
        // Without an open device the send is refused and the note is simply not heard.
        if (out != nullptr) {
            out->send(handle_.load(std::memory_order_acquire), message, due);
        }
    }
}

void NoteTrigger::PrepareOutput() const noexcept {
    if (midiout::MidiOut* out = out_.load(std::memory_order_acquire)) {
        out->prepare(handle_.load(std::memory_order_acquire));
    }
}

std::int32_t NoteTrigger::key(int track) const noexcept {
    return track >= 1 && track <= kTracks ? keys_[static_cast<std::size_t>(track - 1)].load() : 0;
}

std::int32_t NoteTrigger::velocity(int track) const noexcept {
    return track >= 1 && track <= kTracks ? velocities_[static_cast<std::size_t>(track - 1)].load()
                                          : 0;
}

void NoteTrigger::setKey(int track, std::int32_t key) noexcept {
    if (track >= 1 && track <= kTracks) {
        keys_[static_cast<std::size_t>(track - 1)].store(key);
    }
}

void NoteTrigger::setVelocity(int track, std::int32_t velocity) noexcept {
    if (track >= 1 && track <= kTracks) {
        velocities_[static_cast<std::size_t>(track - 1)].store(velocity);
    }
}

} // namespace tambrel::engine
