#include "jack_audio_ports.h"

#include "backends/jack/jack_client.h"
#include "backends/jack/sanitizer_handover.h"

#include <jack/jack.h>

namespace tambrel::backends {

bool JackAudioPorts::open(const std::string& name, JackAudioSource* source) {
    std::lock_guard lock(mutex_);
    if (!client_.alive() || source == nullptr || retired_ || source_.load() != nullptr) {
        return false;
    }
    if (!registerPorts(name)) {
        return false;
    }
    // The source fills the ports before anyone hears them: connected only after this.
    source_.store(source, std::memory_order_seq_cst);
    // Heard nowhere, the synth would look open and play nothing: the open fails instead.
    if (connectToPlayback() == 0) {
        release();
        return false;
    }
    return true;
}

bool JackAudioPorts::registerPorts(const std::string& name) {
    jack_client_t* client = client_.handle();
    for (int channel = 0; channel < 2; ++channel) {
        const std::string portName = name + (channel == 0 ? " left" : " right");
        ports_[channel] = jack_port_register(client, portName.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                             JackPortIsOutput, 0);
    }
    if (ports_[0] != nullptr && ports_[1] != nullptr) {
        return true;
    }
    for (jack_port_t*& port : ports_) {
        if (port != nullptr) {
            jack_port_unregister(client, port);
            port = nullptr;
        }
    }
    return false;
}

int JackAudioPorts::connectToPlayback() noexcept {
    // Where the sound card is, as FluidSynth's own JACK output did: left to the first
    // playback port, right to the second (or the first again on a mono card).
    jack_client_t* client = client_.handle();
    const char** playback = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsPhysical | JackPortIsInput);
    int connected = 0;
    if (playback != nullptr && playback[0] != nullptr) {
        connected += jack_connect(client, jack_port_name(ports_[0]), playback[0]) == 0;
        connected += jack_connect(client, jack_port_name(ports_[1]),
                                  playback[1] != nullptr ? playback[1] : playback[0]) == 0;
    }
    if (playback != nullptr) {
        jack_free(playback);
    }
    return connected;
}

std::uint32_t JackAudioPorts::playbackLatencyFrames() const noexcept {
    const std::lock_guard lock(mutex_);
    return source_.load(std::memory_order_relaxed) != nullptr ? jackPlaybackLatency(ports_[0]) : 0;
}

bool JackAudioPorts::close() noexcept {
    std::lock_guard lock(mutex_);
    return release();
}

bool JackAudioPorts::release() noexcept {
    if (source_.load() == nullptr) {
        return true;
    }
    jack_client_t* client = client_.handle();
    if (client_.alive()) {
        // Disconnected while still filled, so that nobody hears what an unfilled port holds.
        for (jack_port_t* port : ports_) {
            jack_port_disconnect(client, port);
        }
    }
    source_.store(nullptr, std::memory_order_seq_cst);
    const bool outside = client_.waitUntilOutsideProcess();
    if (!client_.alive() || !outside) {
        // The server is gone (the ports go with the client), or a process callback hangs
        // on to them: they are left alone.
        retired_ = true;
        return outside;
    }
    for (jack_port_t*& port : ports_) {
        jack_port_unregister(client, port);
        port = nullptr;
    }
    return true;
}

void JackAudioPorts::writePeriod(std::uint32_t cycleStart, std::uint32_t frames) noexcept {
    // The source is taken after the client marked itself inside the period: close, which
    // clears the source and then waits for the client to be outside one, knows that no
    // later period will use it.
    JackAudioSource* source = source_.load(std::memory_order_seq_cst);
    if (source == nullptr) {
        return;
    }
    auto* left = static_cast<float*>(jack_port_get_buffer(ports_[0], frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(ports_[1], frames));
    markTakenOver(left);
    markTakenOver(right);
    source->renderPeriod(cycleStart, frames, left, right);
    markHandedOver(left);
    markHandedOver(right);
}

} // namespace tambrel::backends
