#include "jack_clock_port.h"

#include <chrono>
#include <cmath>

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

void JackClockPort::sendClock(const midiout::TimedMessage& message) noexcept {
    // A moment that has come (a step's own: its first clock, Start, Song Position) is read
    // off the server's clock; one still to come is counted from the last that was.
    if (anchor_ == midiout::Moment{} ||
        (message.due != anchor_ && message.due <= midiout::MidiClock::now())) {
        anchor_ = message.due;
        anchorFrame_ = client_->frameTimeAt(message.due);
    }
    const double seconds = std::chrono::duration<double>(message.due - anchor_).count();
    const auto frames = std::llround(seconds * client_->sampleRate());
    client_->sendAt(slot_, message, anchorFrame_ + static_cast<std::uint32_t>(frames));
}

JackClockPort::~JackClockPort() {
    client_->closePort(slot_);
}

} // namespace tambrel::backends
