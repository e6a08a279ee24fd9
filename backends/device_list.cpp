#include "backends/device_list.h"
#include "backends/alsa/alsa_midi_device.h"
#include "backends/jack/jack_midi_device.h"
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

} // namespace

midiout::MidiOutDeviceList discoverMidiOutDevices() {
    midiout::MidiOutDeviceList devices;
    // One client of ours on a running JACK server serves the JACK devices and, when the
    // synth plays through JACK, the synth's audio.
    std::shared_ptr<JackConnection> jack;
    try {
        jack = std::make_shared<JackConnection>(JackMidiClient::connect());
    } catch (...) {
    }
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

} // namespace tambrel::backends
