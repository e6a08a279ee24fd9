#include "backends/device_list.h"
#include "backends/alsa/alsa_midi_device.h"
#include "backends/jack/jack_clock_in.h"
#include "backends/jack/jack_clock_port.h"
#include "backends/jack/jack_midi_device.h"
#include "backends/jack/jack_transport_follow.h"
#include "backends/jack/jack_transport_lead.h"
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

} // namespace

midiout::MidiOutDeviceList discoverMidiOutDevices() {
    return listDevices(connectJack());
}

Outputs discoverOutputs(const std::optional<std::string>& clockDestination, bool leadTransport,
                        const std::optional<std::string>& clockSource, bool followTransport) {
    Outputs outputs;
    const std::shared_ptr<JackConnection> jack = connectJack();
    outputs.devices = listDevices(jack);
    if (clockDestination) {
        outputs.clockPort = JackClockPort::open(jack ? jack->client() : nullptr, *clockDestination,
                                                outputs.clockWhy);
    }
    if (leadTransport) {
        outputs.transportLead =
            JackTransportLead::open(jack ? jack->client() : nullptr, outputs.transportWhy);
    } else if (followTransport) {
        outputs.followed =
            JackTransportFollow::open(jack ? jack->client() : nullptr, outputs.followWhy);
    }
    if (clockSource) {
        outputs.followed =
            JackClockIn::open(jack ? jack->client() : nullptr, *clockSource, outputs.followWhy);
    }
    return outputs;
}

} // namespace tambrel::backends
