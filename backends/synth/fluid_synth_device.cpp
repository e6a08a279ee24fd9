#include "fluid_synth_device.h"

namespace tambrel::backends {

FluidSynthDevice::FluidSynthDevice(std::string soundfont, std::shared_ptr<JackConnection> jack,
                                   PlacedSynth::Placement placement)
    : soundfont_(std::move(soundfont)), jackConnection_(std::move(jack)), synth_(placement) {}

FluidSynthDevice::~FluidSynthDevice() {
    teardown();
}

bool FluidSynthDevice::open() {
    silenceFluidSynth();
    teardown(); // a device is opened once at a time; this only guards against a double open
    const SynthOutputPlace place{synth_, soundfont_, jackConnection_};
    for (const SynthOutputEntry& entry : synthOutputs()) {
        output_ = entry.open(place, entry.name);
        if (output_ != nullptr) {
            driver_ = entry.name;
            return true;
        }
    }
    teardown();
    return false;
}

void FluidSynthDevice::send(const midiout::TimedMessage& message) noexcept {
    if (output_ != nullptr) {
        output_->send(message);
    }
}

void FluidSynthDevice::prepare() noexcept {
    if (output_ != nullptr) {
        output_->wake();
    }
}

void FluidSynthDevice::close() noexcept {
    teardown();
}

void FluidSynthDevice::teardown() noexcept {
    // The audio goes first: once it is stopped nothing renders the synth any more.
    if (output_ != nullptr && !output_->stop()) {
        // A callback may still be inside the output and the synth: both are left to it.
        (void)output_.release();
        synth_.abandon();
    }
    output_.reset();
    synth_.stop();
    driver_.clear();
}

} // namespace tambrel::backends
