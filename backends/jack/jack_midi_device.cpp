#include "jack_midi_device.h"

namespace tambrel::backends {

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

std::chrono::nanoseconds JackMidiDevice::latency() const noexcept {
    const int slot = slot_.load(std::memory_order_acquire);
    return slot >= 0 ? client_->latency(slot) : std::chrono::nanoseconds{};
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
