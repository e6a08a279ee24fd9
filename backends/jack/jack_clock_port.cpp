#include "jack_clock_port.h"

namespace tambrel::backends {

std::unique_ptr<JackClockPort> JackClockPort::open(std::shared_ptr<JackMidiClient> client,
                                                   const std::string& destination,
                                                   std::string& why) {
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
    return std::unique_ptr<JackClockPort>(new JackClockPort(std::move(client), slot));
}

JackClockPort::~JackClockPort() {
    client_->closePort(slot_); // on a server that went: only forgotten
}

} // namespace tambrel::backends
