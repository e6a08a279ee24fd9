#pragma once
// The JACK devices of the device list: another program's MIDI input, reached through a
// port of ours connected to it, or our own output port that other programs connect to.
// Each device is a port of the one client that the program's JACK devices and the built-in
// synth share (jack_client.h); what a port does with a message is in jack_midi_ports.h.

#include "backends/jack/jack_client.h"
#include "midiout/backend_devices.h"
#include "midiout/midi_out.h"

#include <atomic>
#include <memory>
#include <string>

namespace tambrel::backends {

// One JACK output device: another program's input port, or our own port that other
// programs connect to.
class JackMidiDevice : public midiout::MidiOutDevice {
public:
    // `destination` empty: our own port, named `portName`, that others connect to.
    JackMidiDevice(std::shared_ptr<JackConnection> connection, std::string name,
                   std::string destination, std::string portName);
    ~JackMidiDevice() override;
    std::string name() const override { return name_; }
    // Reaches the server that runs now, through the connection's client.
    bool open() override;
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;
    std::chrono::nanoseconds latency() const noexcept override;

    // The client of the latest open (nullptr before the first).
    const std::shared_ptr<JackMidiClient>& client() const { return client_; }

private:
    std::shared_ptr<JackConnection> connection_;
    // Set by open on the window's thread while no send can come (the device is closed);
    // read by send afterwards.
    std::shared_ptr<JackMidiClient> client_;
    std::string name_;
    std::string destination_;
    std::string portName_;
    std::atomic<int> slot_{-1};
};

inline constexpr const char* kJackOwnPortDeviceName = "Tambrel JACK out";

// The JACK part of the device list: other programs' MIDI inputs and our own output port,
// all served by the connection's client. Nothing when no JACK server runs.
midiout::BackendDevices discoverJackMidiDevices(const std::shared_ptr<JackConnection>& connection);
// The same through a client of its own, connected now.
midiout::BackendDevices discoverJackMidiDevices();

} // namespace tambrel::backends
