#include "jack_midi_device.h"

#include "backends/jack/jack_placement.h"
#include "backends/jack/sanitizer_handover.h"
#include "midiout/midi_bytes.h"
#include "platform/periodic_timer.h"

#include <chrono>
#include <cmath>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <thread>

namespace tambrel::backends {

namespace {

void ignoreJackText(const char*) {}

// How long closing a port waits for the process callback to let go of it. A running
// server answers within a period or two; a stalled one is not waited for.
constexpr auto kCycleWait = std::chrono::milliseconds(500);

} // namespace

void silenceJack() noexcept {
    jack_set_error_function(ignoreJackText);
    jack_set_info_function(ignoreJackText);
}

std::shared_ptr<JackMidiClient> JackMidiClient::connect(const std::string& clientName) {
    silenceJack();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
    if (client == nullptr) {
        return nullptr;
    }
    std::shared_ptr<JackMidiClient> self(new JackMidiClient(client));
    if (jack_set_process_callback(client, &JackMidiClient::onProcess, self.get()) != 0) {
        return nullptr; // never called back, the client would send nothing
    }
    jack_on_shutdown(client, &JackMidiClient::onShutdown, self.get());
    if (jack_activate(client) != 0) {
        return nullptr; // the destructor closes the client
    }
    return self;
}

JackMidiClient::JackMidiClient(jack_client_t* client) : client_(client) {}

JackMidiClient::~JackMidiClient() {
    // jack_client_close deactivates first, so the process callback is over when it returns.
    // A client whose server has died is left as it is: libjack crashes closing it once a
    // new server of the same name has started, and its threads ended with the server.
    if (alive()) {
        jack_client_close(client_);
    }
}

std::vector<std::string> JackMidiClient::otherProgramsInputs() const {
    std::vector<std::string> names;
    if (!alive()) {
        return names;
    }
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (ports == nullptr) {
        return names;
    }
    for (const char** p = ports; *p != nullptr; ++p) {
        jack_port_t* port = jack_port_by_name(client_, *p);
        if (port != nullptr && !jack_port_is_mine(client_, port)) {
            names.emplace_back(*p);
        }
    }
    jack_free(ports);
    return names;
}

std::string JackMidiClient::name() const {
    return jack_get_client_name(client_);
}

int JackMidiClient::openPort(const std::string& shortName, const std::string& destination) {
    std::lock_guard lock(portsMutex_);
    if (!alive()) {
        return -1;
    }
    int index = -1;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].used && !slots_[i].retired) {
            index = static_cast<int>(i);
            break;
        }
    }
    if (index < 0) {
        return -1;
    }
    jack_port_t* port =
        jack_port_register(client_, shortName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (port == nullptr) {
        return -1;
    }
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    // Nothing reads the queue while the slot has no port: leftovers of an earlier
    // opening are dropped here so that they never reach the new destination.
    slot.queue.discard();
    slot.used = true;
    // The process callback takes the port over (and clears its buffer every period)
    // before it is connected: a fresh port's buffer may still hold the events of the
    // port that had its memory before.
    slot.port.store(port, std::memory_order_seq_cst);
    if (!destination.empty()) {
        if (jack_connect(client_, jack_port_name(port), destination.c_str()) != 0) {
            releaseSlot(slot);
            return -1;
        }
        // The server puts a new connection into effect at the start of a period: once a
        // whole period has run since, the destination hears everything sent from now on.
        waitForCycle(cycles_.load(std::memory_order_seq_cst) + 1);
    }
    return index;
}

bool JackMidiClient::waitForCycle(std::uint64_t after) const noexcept {
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    while (cycles_.load(std::memory_order_seq_cst) <= after) {
        if (!alive() || std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void JackMidiClient::closePort(int index) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size()) {
        return;
    }
    std::lock_guard lock(portsMutex_);
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.used) {
        releaseSlot(slot);
    }
}

void JackMidiClient::releaseSlot(Slot& slot) noexcept {
    slot.used = false;
    if (!alive()) {
        // The server is gone: nothing to disconnect, and the port goes with the client.
        slot.port.store(nullptr, std::memory_order_seq_cst);
        slot.retired = true;
        return;
    }
    // What was sent before the close still goes out: the messages are held for the
    // period after their stamp, and the port stays connected until they have left.
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    while (!slot.queue.drained() && alive() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waitForCycle(cycles_.load(std::memory_order_seq_cst));
    // Disconnected next, while the process callback still clears the port's buffer
    // every period: a connected port that nobody clears repeats its last events.
    jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
    jack_port_disconnect(client_, port);
    slot.port.store(nullptr, std::memory_order_seq_cst);
    // A process callback that picked up the port before it was cleared ends before the
    // cycle counter moves on; only then may the port go away under it.
    if (!waitForCycle(cycles_.load(std::memory_order_seq_cst))) {
        slot.retired = true;
        return;
    }
    jack_port_unregister(client_, port);
}

bool JackMidiClient::openAudio(const std::string& name, JackAudioSource* source) {
    std::lock_guard lock(portsMutex_);
    if (!alive() || source == nullptr || audioRetired_ || audioSource_.load() != nullptr) {
        return false;
    }
    for (int channel = 0; channel < 2; ++channel) {
        const std::string portName = name + (channel == 0 ? " left" : " right");
        audioPorts_[channel] = jack_port_register(client_, portName.c_str(),
                                                  JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    }
    if (audioPorts_[0] == nullptr || audioPorts_[1] == nullptr) {
        for (jack_port_t*& port : audioPorts_) {
            if (port != nullptr) {
                jack_port_unregister(client_, port);
                port = nullptr;
            }
        }
        return false;
    }
    // The source fills the ports before anyone hears them: connected only after this.
    audioSource_.store(source, std::memory_order_seq_cst);
    // Where the sound card is, as FluidSynth's own JACK output did: left to the first
    // playback port, right to the second (or the first again on a mono card).
    const char** playback = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsPhysical | JackPortIsInput);
    int connected = 0;
    if (playback != nullptr && playback[0] != nullptr) {
        connected += jack_connect(client_, jack_port_name(audioPorts_[0]), playback[0]) == 0;
        connected += jack_connect(client_, jack_port_name(audioPorts_[1]),
                                  playback[1] != nullptr ? playback[1] : playback[0]) == 0;
    }
    if (playback != nullptr) {
        jack_free(playback);
    }
    // Heard nowhere, the synth would look open and play nothing: the open fails instead.
    if (connected == 0) {
        releaseAudio();
        return false;
    }
    return true;
}

bool JackMidiClient::closeAudio() noexcept {
    std::lock_guard lock(portsMutex_);
    return releaseAudio();
}

bool JackMidiClient::releaseAudio() noexcept {
    if (audioSource_.load() == nullptr) {
        return true;
    }
    if (alive()) {
        // Disconnected while still filled, so that nobody hears what an unfilled port holds.
        for (jack_port_t* port : audioPorts_) {
            jack_port_disconnect(client_, port);
        }
    }
    audioSource_.store(nullptr, std::memory_order_seq_cst);
    const bool outside = waitUntilOutsideProcess();
    if (!alive() || !outside) {
        // The server is gone (the ports go with the client), or a process callback hangs
        // on to them: they are left alone.
        audioRetired_ = true;
        return outside;
    }
    for (jack_port_t*& port : audioPorts_) {
        jack_port_unregister(client_, port);
        port = nullptr;
    }
    return true;
}

bool JackMidiClient::waitUntilOutsideProcess() const noexcept {
    const auto deadline = std::chrono::steady_clock::now() + kCycleWait;
    while (inProcess_.load(std::memory_order_seq_cst)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

std::uint32_t
JackMidiClient::frameTimeAt(std::chrono::steady_clock::time_point when) const noexcept {
    const jack_nframes_t now = jack_frame_time(client_);
    const auto since = std::chrono::steady_clock::now() - when;
    if (since <= std::chrono::steady_clock::duration::zero()) {
        return now;
    }
    const double frames = std::chrono::duration<double>(since).count() * sampleRate();
    return now - static_cast<jack_nframes_t>(std::lround(frames));
}

std::uint32_t JackMidiClient::sampleRate() const noexcept {
    return jack_get_sample_rate(client_);
}

void JackMidiClient::send(int index, const midiout::TimedMessage& message) noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= slots_.size() || !alive() ||
        message.empty()) {
        return;
    }
    const Stamped stamped{frameTimeAt(message.due), message.bytes, message.size};
    if (!slots_[static_cast<std::size_t>(index)].queue.push(stamped)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
}

int JackMidiClient::onProcess(std::uint32_t frames, void* self) noexcept {
    static_cast<JackMidiClient*>(self)->process(frames);
    return 0;
}

void JackMidiClient::onShutdown(void* self) noexcept {
    static_cast<JackMidiClient*>(self)->alive_.store(false, std::memory_order_release);
}

void JackMidiClient::process(std::uint32_t frames) noexcept {
    // The period that starts at `cycleStart` covers frames [cycleStart, cycleStart + frames).
    // A message stamped at frame s goes out at s + its delay (jackDelayFrames): the same
    // for every message alike, which is what keeps their spacing.
    const jack_nframes_t cycleStart = jack_last_frame_time(client_);
    const std::int64_t delay = jackDelayFrames(frames, sampleRate());
    inProcess_.store(true, std::memory_order_seq_cst);
    processAudio(cycleStart, frames);
    for (Slot& slot : slots_) {
        jack_port_t* port = slot.port.load(std::memory_order_seq_cst);
        if (port == nullptr) {
            continue;
        }
        void* buffer = jack_port_get_buffer(port, frames);
        jack_midi_clear_buffer(buffer);
        std::int64_t lastOffset = 0;
        while (const Stamped* event = slot.queue.front()) {
            const JackPlacement placed =
                placeInPeriod(event->frame, cycleStart, frames, delay, lastOffset);
            if (placed.hold) {
                break;
            }
            if (placed.late) {
                late_.fetch_add(1, std::memory_order_relaxed);
            }
            const std::int64_t offset = placed.offset;
            if (jack_midi_event_write(buffer, static_cast<jack_nframes_t>(offset),
                                      event->bytes.data(), event->size) == 0) {
                lastOffset = offset;
            } else {
                dropped_.fetch_add(1, std::memory_order_relaxed);
            }
            slot.queue.pop();
        }
    }
    cycles_.fetch_add(1, std::memory_order_seq_cst);
    inProcess_.store(false, std::memory_order_seq_cst);
}

void JackMidiClient::processAudio(std::uint32_t cycleStart, std::uint32_t frames) noexcept {
    // The source is taken after inProcess_ is set: closeAudio, which clears the source
    // and then waits for inProcess_ to drop, knows that no later period will use it.
    JackAudioSource* source = audioSource_.load(std::memory_order_seq_cst);
    if (source == nullptr) {
        return;
    }
    auto* left = static_cast<float*>(jack_port_get_buffer(audioPorts_[0], frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(audioPorts_[1], frames));
    markTakenOver(left);
    markTakenOver(right);
    source->renderPeriod(cycleStart, frames, left, right);
    markHandedOver(left);
    markHandedOver(right);
}

std::shared_ptr<JackMidiClient> JackConnection::client() {
    if (client_ == nullptr || !client_->alive()) {
        // The old client goes once no device holds it any more.
        client_ = JackMidiClient::connect();
    }
    return client_;
}

JackMidiDevice::JackMidiDevice(std::shared_ptr<JackConnection> connection, std::string name,
                               std::string destination, std::string portName)
    : connection_(std::move(connection)), name_(std::move(name)),
      destination_(std::move(destination)), portName_(std::move(portName)) {}

JackMidiDevice::~JackMidiDevice() {
    close();
}

bool JackMidiDevice::open() {
    if (slot_.load() >= 0) {
        return true;
    }
    client_ = connection_->client();
    if (client_ == nullptr) {
        return false;
    }
    const int slot = client_->openPort(portName_, destination_);
    slot_.store(slot, std::memory_order_release);
    return slot >= 0;
}

void JackMidiDevice::send(const midiout::TimedMessage& message) noexcept {
    const int slot = slot_.load(std::memory_order_acquire);
    if (slot >= 0) {
        client_->send(slot, message);
    }
}

void JackMidiDevice::close() noexcept {
    const int slot = slot_.exchange(-1);
    if (slot >= 0) {
        client_->closePort(slot);
    }
}

midiout::BackendDevices discoverJackMidiDevices(const std::shared_ptr<JackConnection>& connection) {
    midiout::BackendDevices devices;
    const std::shared_ptr<JackMidiClient> client =
        connection != nullptr ? connection->client() : nullptr;
    if (client == nullptr) {
        return devices;
    }
    unsigned number = 1;
    for (const std::string& input : client->otherProgramsInputs()) {
        std::string portName = "out " + std::to_string(number++);
        devices.others.push_back(
            std::make_unique<JackMidiDevice>(connection, input, input, std::move(portName)));
    }
    devices.own =
        std::make_unique<JackMidiDevice>(connection, kJackOwnPortDeviceName, std::string{}, "out");
    return devices;
}

midiout::BackendDevices discoverJackMidiDevices() {
    return discoverJackMidiDevices(std::make_shared<JackConnection>(JackMidiClient::connect()));
}

} // namespace tambrel::backends
