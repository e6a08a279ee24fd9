#pragma once
// A JACK client that records what another client plays: the synth's outputs, heard where
// the sound card would be. Use it on a PrivateJackServer.

#include "sound_recording.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct _jack_client;
struct _jack_port;

namespace tambrel::testing {

// A client with two audio inputs, "<client>:in_1" and "in_2", that keeps the louder of the
// two channels of every frame it hears, placed by the server's frame clock, each period
// stamped when its callback runs; and the loudest sample so far.
class JackAudioRecorder {
public:
    explicit JackAudioRecorder(std::size_t capacityFrames = 0,
                               const std::string& clientName = "recorder");
    ~JackAudioRecorder();
    JackAudioRecorder(const JackAudioRecorder&) = delete;
    JackAudioRecorder& operator=(const JackAudioRecorder&) = delete;

    bool ok() const { return client_ != nullptr; }
    // Connects the first two audio outputs whose full names match the regular expression
    // `pattern` to our inputs; returns how many connections it made.
    int listenTo(const std::string& pattern);

    // Keeps frames from the next period on, until the capacity is full. A period that the
    // recorder missed stays silent in the recording, so that frames keep their places.
    void startRecording();
    Recording recording() const { return level_->recording(); }

    float peak() const { return peak_.load(); }
    void resetPeak() { peak_.store(0.0f); }
    // How long after it is rendered a sample leaves the server's playback ports, seconds.
    double playbackLatency() const;

private:
    static int onProcess(std::uint32_t frames, void* self) noexcept;
    _jack_client* client_ = nullptr;
    _jack_port* ports_[2] = {nullptr, nullptr};
    std::unique_ptr<RecordingBuffer> level_;
    std::atomic<bool> recording_{false};
    bool started_ = false;         // process thread only
    std::uint32_t firstFrame_ = 0; // process thread only
    std::atomic<float> peak_{0.0f};
};

} // namespace tambrel::testing
