#include "backends/device_list.h"
#include "backends/alsa/alsa_midi_device.h"
#include "backends/jack/jack_clock_in.h"
#include "backends/jack/jack_clock_port.h"
#include "backends/jack/jack_midi_device.h"
#include "backends/jack/jack_remade.h"
#include "backends/jack/jack_transport_follow.h"
#include "backends/jack/jack_transport_lead.h"
#include "backends/link/link_source.h"
#include "backends/synth/fluid_synth_device.h"

namespace tambrel::backends {

namespace {

// A back end that fails on this machine is simply missing from the list.
template <typename Discover> midiout::BackendDevices tryDiscover(Discover discover) noexcept {
    try {
        return discover();
    } catch (...) {
        return {};
    }
}

// One client of ours on a running JACK server serves the JACK devices, the clock's port and,
// when the synth plays through JACK, the synth's audio.
std::shared_ptr<JackConnection> connectJack() noexcept {
    try {
        return std::make_shared<JackConnection>(JackMidiClient::connect());
    } catch (...) {
        return nullptr;
    }
}

midiout::MidiOutDeviceList listDevices(const std::shared_ptr<JackConnection>& jack) {
    midiout::MidiOutDeviceList devices;
    try {
        if (const auto soundfont = findGmSoundfont()) {
            devices.push_back(std::make_unique<FluidSynthDevice>(*soundfont, jack));
        }
    } catch (...) {
    }
    midiout::BackendDevices jackDevices =
        tryDiscover([&] { return discoverJackMidiDevices(jack); });
    midiout::BackendDevices alsa = tryDiscover(discoverAlsaMidiDevices);
    try {
        for (midiout::BackendDevices* found : {&jackDevices, &alsa}) {
            for (auto& device : found->others) {
                devices.push_back(std::move(device));
            }
        }
        for (midiout::BackendDevices* found : {&jackDevices, &alsa}) {
            if (found->own) {
                devices.push_back(std::move(found->own));
            }
        }
    } catch (...) {
        // Out of memory while listing: what was listed so far still works.
    }
    return devices;
}

// The session's steps on the JACK server's frames where one runs (the notes through JACK keep
// them to the frame), else on the steady clock's. The window says the open output's latency
// at its first look, before any Play.
std::unique_ptr<midiout::FollowedSource> joinLink(const std::shared_ptr<JackMidiClient>& client,
                                                  const SyncRequest& request) {
    std::shared_ptr<const midiout::FrameClock> frames =
        client != nullptr ? std::shared_ptr<const midiout::FrameClock>(client)
                          : std::make_shared<midiout::SteadyFrames>();
    return joinLinkSession(std::move(frames), 0, request.linkTempo, request.linkStartStop);
}

// What is made on our JACK client as `open` makes it, the first time and after a restart.
template <class Made, class Open> JackOpener<Made> opening(Open open) {
    return [open](std::shared_ptr<JackMidiClient> on, std::string& why,
                  bool) -> std::unique_ptr<Made> { return open(std::move(on), why); };
}

// What is made connected to another program's port `other` (none when empty). After a
// restart, when that port is not there (yet), it is made all the same, for the user to
// connect, as when it was first given none.
template <class Made, class Open> JackOpener<Made> connectingTo(std::string other, Open open) {
    return [other = std::move(other), open](std::shared_ptr<JackMidiClient> on, std::string& why,
                                            bool again) -> std::unique_ptr<Made> {
        std::unique_ptr<Made> made = open(on, other, why);
        if (made == nullptr && again && !other.empty()) {
            made = open(std::move(on), std::string{}, why);
        }
        return made;
    };
}

} // namespace

midiout::MidiOutDeviceList discoverMidiOutDevices() {
    return listDevices(connectJack());
}

Outputs discoverOutputs(const std::optional<std::string>& clockDestination, bool leadTransport,
                        const std::optional<std::string>& clockSource, bool followTransport) {
    return discoverOutputs(
        SyncRequest{clockDestination, leadTransport, clockSource, followTransport});
}

Outputs discoverOutputs(const SyncRequest& request) {
    Outputs outputs;
    const std::shared_ptr<JackConnection> jack = connectJack();
    const std::shared_ptr<JackMidiClient> client = jack ? jack->client() : nullptr;
    outputs.devices = listDevices(jack);
    if (request.clockDestination) {
        outputs.clockPort = RemadeClockSink::open(
            jack, connectingTo<midiout::ClockSink>(*request.clockDestination, &JackClockPort::open),
            outputs.clockWhy);
    }
    if (request.leadTransport) {
        outputs.transportLead = RemadeTransportLead::open(
            jack, opening<midiout::TransportLead>(&JackTransportLead::open), outputs.transportWhy);
    } else if (request.followTransport) {
        outputs.followed = RemadeFollowedSource::open(
            jack, opening<midiout::FollowedSource>(&JackTransportFollow::open), outputs.followWhy);
    }
    if (request.clockSource) {
        outputs.followed = RemadeFollowedSource::open(
            jack, connectingTo<midiout::FollowedSource>(*request.clockSource, &JackClockIn::open),
            outputs.followWhy);
    }
    if (request.link) {
        outputs.followed = joinLink(client, request);
    }
    return outputs;
}

} // namespace tambrel::backends
