#pragma once
// Turns one step into sound: a General MIDI percussion note-on (channel 10) for every
// track that sounds on the step, with the track's key and velocity, on the open output.
// No note-off is ever sent: drums end by themselves.

#include "time_signature.h"

#include "midiout/midi_out.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tambrel::engine {

// One step: character t is '1' when track t sounds. Fixed size, so a tick never allocates.
struct StepString {
    std::array<char, kTracks> chars{'0', '0', '0', '0', '0', '0', '0', '0'};
    std::string_view view() const noexcept { return {chars.data(), chars.size()}; }
    std::string str() const { return std::string(view()); }
    bool operator==(std::string_view other) const noexcept { return view() == other; }
    bool operator==(const StepString&) const = default;

    // A step line's step: track t sounds where the line's character t is "1"; any other
    // character, a short line, and everything after the 8th character are silent.
    static constexpr StepString of(std::string_view line) noexcept {
        StepString step;
        for (std::size_t t = 0; t < step.chars.size() && t < line.size(); ++t) {
            if (line[t] == '1') {
                step.chars[t] = '1';
            }
        }
        return step;
    }
};

inline constexpr std::uint32_t kNoteOnChannel10 = 0x99;

// The packed short message: status lowest, then key, then velocity. Key and velocity are
// kept within their bytes by their ranges (0..82, 0..127).
constexpr std::uint32_t noteOnMessage(std::int32_t key, std::int32_t velocity) noexcept {
    return (static_cast<std::uint32_t>(key) << 8) | kNoteOnChannel10 |
           (static_cast<std::uint32_t>(velocity) << 16);
}

class NoteTrigger {
public:
    explicit NoteTrigger(midiout::MidiOut* out = nullptr) noexcept;

    // Timer thread: one note-on per '1' among the first 8 characters, track 1 first, each
    // due at the step's moment.
    void SendStepNotes(std::string_view step, midiout::Moment due) const noexcept;
    // Window's thread, at Play: the output gets ready for the notes to come.
    void PrepareOutput() const noexcept;

    void setOutput(midiout::MidiOut* out) noexcept { out_.store(out); }
    midiout::MidiOut* output() const noexcept { return out_.load(); }

    // Each track's key and velocity are what its next note carries. They start at 0 until
    // the track settings give them the start kit's.
    std::int32_t key(int track) const noexcept;
    std::int32_t velocity(int track) const noexcept;
    void setKey(int track, std::int32_t key) noexcept;
    void setVelocity(int track, std::int32_t velocity) noexcept;

    midiout::MidiOutHandle handle() const noexcept { return handle_.load(); }
    void setHandle(midiout::MidiOutHandle handle) noexcept { handle_.store(handle); }

private:
    std::atomic<midiout::MidiOut*> out_;
    std::array<std::atomic<std::int32_t>, kTracks> keys_{};
    std::array<std::atomic<std::int32_t>, kTracks> velocities_{};
    std::atomic<midiout::MidiOutHandle> handle_{0};
};

} // namespace tambrel::engine
