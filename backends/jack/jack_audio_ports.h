#pragma once
// The built-in synth's audio outputs on our JACK client (jack_client.h): two ports that a
// JackAudioSource fills in the client's process callback, so that the synth's notes are
// placed on the same frame clock as the MIDI, and that are heard where the sound card is.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct _jack_port;

namespace tambrel::backends {

class JackMidiClient;

// What fills the audio outputs of our client: called in its process callback, on JACK's
// real-time thread, so it must not block, lock or allocate.
class JackAudioSource {
public:
    // `frames` frames into each channel (what the buffers held before is garbage).
    // `cycleStart` is the period's first frame on the server's frame clock.
    virtual void renderPeriod(std::uint32_t cycleStart, std::uint32_t frames, float* left,
                              float* right) noexcept = 0;

protected:
    ~JackAudioSource() = default;
};

class JackAudioPorts {
public:
    explicit JackAudioPorts(JackMidiClient& client) : client_(client) {}
    JackAudioPorts(const JackAudioPorts&) = delete;
    JackAudioPorts& operator=(const JackAudioPorts&) = delete;

    // Window's thread. Registers the audio outputs "<name> left" and "<name> right", fed
    // by `source` from the next period on, and connects them to the system's playback
    // ports. One source at a time; false when one is already there, the ports could not
    // be made or neither reaches a playback port.
    [[nodiscard]] bool open(const std::string& name, JackAudioSource* source);
    // Window's thread. Disconnects and unregisters them; returns once the process callback
    // no longer calls the source. False when that could not be made sure of (a process
    // callback that hangs): the source must then stay as it is.
    [[nodiscard]] bool close() noexcept;
    // Window's thread: the most frames the server reports between the ports and the sound
    // card (0 while closed).
    std::uint32_t playbackLatencyFrames() const noexcept;
    // The client's process callback, once a period, while it is marked as inside one.
    void writePeriod(std::uint32_t cycleStart, std::uint32_t frames) noexcept;

private:
    bool registerPorts(const std::string& name); // under mutex_
    int connectToPlayback() noexcept;            // under mutex_; how many are connected
    bool release() noexcept;                     // under mutex_; as close

    JackMidiClient& client_;
    // The ports are written before the source is published, on the window's thread under
    // mutex_; the process callback reads them only behind the source.
    std::atomic<JackAudioSource*> source_{nullptr};
    _jack_port* ports_[2] = {nullptr, nullptr};
    bool retired_ = false;     // its ports could not be released safely: never reused
    mutable std::mutex mutex_; // window's thread only; the process callback never takes it
};

} // namespace tambrel::backends
