#pragma once
// The numbered list of MIDI output devices that the window, tambrel-pattern and the
// benchmarks open: every back end that works on this machine, in one order.

#include "midiout/clock_sink.h"
#include "midiout/followed_time.h"
#include "midiout/midi_out.h"
#include "midiout/transport_lead.h"

#include <memory>
#include <optional>
#include <string>

namespace tambrel::backends {

// The device list of this machine, built from every back end that works here. On Linux:
// the built-in synth first (when a soundfont is found), then other programs' JACK
// inputs, ALSA sequencer ports, and our own virtual ports. On Windows: the system's
// multimedia MIDI outputs in its own order. Prints nothing.
midiout::MidiOutDeviceList discoverMidiOutDevices();

// The device list, and beside it the port of MIDI clock out when one is asked for.
struct Outputs {
    midiout::MidiOutDeviceList devices;
    // On the JACK client that the list's JACK devices share; nullptr when not asked for
    // or when it could not open, then with the reason in `clockWhy`.
    std::unique_ptr<midiout::ClockSink> clockPort;
    std::string clockWhy;
    // The lead of the JACK server's transport, on the same client, when asked for: nullptr
    // without a server, then with the reason in `transportWhy`; that also notes a timebase
    // master already in place, which keeps its place.
    std::unique_ptr<midiout::TransportLead> transportLead;
    std::string transportWhy;
    // The source of time followed instead of Tambrel's own clock (a JACK transport, an
    // incoming MIDI clock), on the same client, when asked for: nullptr without a server,
    // then with the reason in `followWhy`.
    std::unique_ptr<midiout::FollowedSource> followed;
    std::string followWhy;
};
// `clockDestination`: no clock out when empty; otherwise the port to connect the clock to
// (an empty string: none, other programs connect to it). `leadTransport`: Play and Stop
// start and stop the JACK transport and Tambrel publishes its bars. `clockSource`: no MIDI
// clock in when empty; otherwise the port to connect the followed clock from (an empty
// string: none, the user connects it). `followTransport`: Tambrel plays in the JACK
// transport's bars. One source of time at a time: clock in or the transport followed.
Outputs discoverOutputs(const std::optional<std::string>& clockDestination,
                        bool leadTransport = false,
                        const std::optional<std::string>& clockSource = std::nullopt,
                        bool followTransport = false);

// Everything that discoverOutputs is asked for, Link among it.
struct SyncRequest {
    std::optional<std::string> clockDestination;
    bool leadTransport = false;
    std::optional<std::string> clockSource;
    bool followTransport = false;
    // Tambrel joins the Link session on the local network (the only request that opens a
    // socket), with `linkTempo` as the session's tempo when it finds no peer. Its frames
    // are the JACK server's when one runs, else the machine's steady clock's.
    bool link = false;
    bool linkStartStop = false;
    double linkTempo = 120;
};
Outputs discoverOutputs(const SyncRequest& request);

} // namespace tambrel::backends
