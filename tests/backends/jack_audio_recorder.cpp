#include "jack_audio_recorder.h"

#include "jack_test_server.h"

#include "backends/jack/sanitizer_handover.h"

#include <algorithm>
#include <cmath>
#include <jack/jack.h>

namespace tambrel::testing {

JackAudioRecorder::JackAudioRecorder(std::size_t capacityFrames, const std::string& clientName)
    : client_(openJackClient(clientName)) {
    level_ = std::make_unique<RecordingBuffer>(
        capacityFrames, client_ != nullptr ? jack_get_sample_rate(client_)
                                           : double(PrivateJackServer::kSampleRate));
    if (client_ == nullptr) {
        return;
    }
    for (int i = 0; i < 2; ++i) {
        ports_[i] = jack_port_register(client_, i == 0 ? "in_1" : "in_2", JACK_DEFAULT_AUDIO_TYPE,
                                       JackPortIsInput, 0);
    }
    jack_set_process_callback(client_, &JackAudioRecorder::onProcess, this);
    if (ports_[0] == nullptr || ports_[1] == nullptr || jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackAudioRecorder::~JackAudioRecorder() {
    if (client_ != nullptr) {
        jack_client_close(client_);
    }
}

int JackAudioRecorder::listenTo(const std::string& pattern) {
    const char** ports =
        jack_get_ports(client_, pattern.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    int connected = 0;
    for (int n = 0; ports != nullptr && ports[n] != nullptr && n < 2; ++n) {
        connected += jack_connect(client_, ports[n], jack_port_name(ports_[n])) == 0 ? 1 : 0;
    }
    if (ports != nullptr) {
        jack_free(ports);
    }
    return connected;
}

double JackAudioRecorder::playbackLatency() const {
    jack_port_t* out = jack_port_by_name(client_, "system:playback_1");
    if (out == nullptr) {
        return 0.0;
    }
    jack_latency_range_t range{};
    jack_port_get_latency_range(out, JackPlaybackLatency, &range);
    return range.max / double(jack_get_sample_rate(client_));
}

void JackAudioRecorder::startRecording() {
    recording_.store(true, std::memory_order_release);
}

int JackAudioRecorder::onProcess(std::uint32_t frames, void* self) noexcept {
    auto* recorder = static_cast<JackAudioRecorder*>(self);
    const auto* left = static_cast<const float*>(jack_port_get_buffer(recorder->ports_[0], frames));
    const auto* right =
        static_cast<const float*>(jack_port_get_buffer(recorder->ports_[1], frames));
    backends::markTakenOver(left);
    backends::markTakenOver(right);
    float peak = recorder->peak_.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < frames; ++i) {
        peak = std::max(peak, std::max(std::fabs(left[i]), std::fabs(right[i])));
    }
    recorder->peak_.store(peak, std::memory_order_relaxed);
    if (recorder->recording_.load(std::memory_order_acquire)) {
        // The period is rendered now: its last frame is as late as it gets.
        RecordingBuffer& level = *recorder->level_;
        const double stamp = soundClock() + frames / level.sampleRate();
        const jack_nframes_t start = jack_last_frame_time(recorder->client_);
        if (!recorder->started_) {
            recorder->started_ = true;
            recorder->firstFrame_ = start;
        }
        level.write(start - recorder->firstFrame_, left, right, frames, 1, stamp);
    }
    backends::markHandedOver(left);
    backends::markHandedOver(right);
    return 0;
}

} // namespace tambrel::testing
