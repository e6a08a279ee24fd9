#include "jack_clock_port.h"

namespace tambrel::backends {

std::unique_ptr<JackClockPort> JackClockPort::open(std::shared_ptr<JackConnection> connection,
                                                   const std::string& destination,
                                                   std::string& why) {
    std::shared_ptr<JackMidiClient> client = connection != nullptr ? connection->client() : nullptr;
    if (client == nullptr || !client->alive()) {
        why = "MIDI clock out needs a JACK server (PipeWire's JACK counts), and none is running";
        return nullptr;
    }
    const int slot = client->openPort(kClockOutPortName, destination, kMostAhead);
    if (slot < 0) {
        why = destination.empty()
                  ? std::string("the JACK port for MIDI clock out could not be made")
                  : "MIDI clock out could not be connected to " + destination;
        return nullptr;
    }
    return std::unique_ptr<JackClockPort>(
        new JackClockPort(std::move(connection), destination, std::move(client), slot));
}

JackClockPort::~JackClockPort() {
    client_->closePort(slot_);
}

bool JackClockPort::reconnect() noexcept {
    if (!lost()) {
        return false;
    }
    try {
        std::shared_ptr<JackMidiClient> client = connection_->client();
        if (client == nullptr || client == client_) {
            return false;
        }
        // Connected to the same destination when it is there again; else the port is made
        // for the user to connect, as when it was first given none.
        int slot = client->openPort(kClockOutPortName, destination_, kMostAhead);
        if (slot < 0 && !destination_.empty()) {
            slot = client->openPort(kClockOutPortName, std::string{}, kMostAhead);
        }
        if (slot < 0) {
            return false;
        }
        client_->closePort(slot_); // the dead server's: only forgotten
        client_ = std::move(client);
        slot_ = slot;
        return true;
    } catch (...) {
        return false; // out of memory making the client: the clock stays off
    }
}

} // namespace tambrel::backends
