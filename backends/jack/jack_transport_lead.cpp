#include "jack_transport_lead.h"

#include "backends/jack/jack_placement.h"
#include "backends/jack/sanitizer_handover.h"

#include <algorithm>
#include <cerrno>
#include <jack/jack.h>

namespace tambrel::backends {

BarPosition barPosition(std::int64_t elapsed, std::uint32_t sampleRate, std::uint32_t beatMs,
                        int beatsPerBar) noexcept {
    BarPosition at;
    if (elapsed <= 0 || sampleRate == 0 || beatMs == 0 || beatsPerBar <= 0) {
        return at;
    }
    // Whole ticks from the frames, in integers: a beat is beatMs x sampleRate / 1000 frames.
    const std::int64_t ticks =
        elapsed * kTicksPerBeat * 1000 / (static_cast<std::int64_t>(beatMs) * sampleRate);
    const std::int64_t beats = ticks / kTicksPerBeat;
    at.bar = static_cast<int>(beats / beatsPerBar) + 1;
    at.beat = static_cast<int>(beats % beatsPerBar) + 1;
    at.tick = static_cast<int>(ticks % kTicksPerBeat);
    at.barStartTick = static_cast<double>(at.bar - 1) * beatsPerBar * kTicksPerBeat;
    return at;
}

std::unique_ptr<JackTransportLead> JackTransportLead::open(std::shared_ptr<JackMidiClient> client,
                                                           std::string& why) {
    if (client == nullptr || !client->alive()) {
        why = "JACK transport lead needs a JACK server (PipeWire's JACK counts), and none is "
              "running";
        return nullptr;
    }
    std::unique_ptr<JackTransportLead> lead(new JackTransportLead(std::move(client)));
    markHandedOver(lead.get()); // to the process thread, through the server
    // Conditionally: a master already there is the user's choice, and keeps its place.
    const int taken = jack_set_timebase_callback(lead->client_->handle(), 1,
                                                 &JackTransportLead::onTimebase, lead.get());
    lead->master_ = taken == 0;
    if (taken == EBUSY) {
        why = "JACK transport already has a timebase master; Tambrel leads start and stop only";
    } else if (taken != 0) {
        why = "JACK transport's bars could not be published; Tambrel leads start and stop only";
    }
    return lead;
}

JackTransportLead::~JackTransportLead() {
    if (master_ && client_->alive()) {
        jack_release_timebase(client_->handle());
        // A timebase callback already under way (it comes after the process callback, in
        // the same period) ends before the next period's process callback does.
        client_->waitForCycle(client_->cycles());
    }
}

std::uint32_t JackTransportLead::heardAt(midiout::Moment moment) const noexcept {
    const auto delay =
        jackDelayFrames(jack_get_buffer_size(client_->handle()), client_->sampleRate());
    return client_->frameTimeAt(moment) + static_cast<std::uint32_t>(delay);
}

void JackTransportLead::started(midiout::Moment firstStep,
                                const midiout::TransportMeter& meter) noexcept {
    if (!client_->alive()) {
        return;
    }
    Bars bars;
    bars.origin = heardAt(firstStep);
    bars.beatMs = static_cast<std::uint16_t>(std::min<std::uint32_t>(meter.beatMs, 0xFFFF));
    bars.beatsPerBar = static_cast<std::uint8_t>(meter.beatsPerBar);
    bars.beatType = static_cast<std::uint8_t>(meter.beatType);
    bars_.store(bars, std::memory_order_release);
    playing_.store(true, std::memory_order_release);
    jack_transport_locate(client_->handle(), 0);
    jack_transport_start(client_->handle());
    leading_ = true;
}

void JackTransportLead::stopped() noexcept {
    if (!leading_) {
        return; // a Stop while stopped, or a transport that another program started
    }
    leading_ = false;
    if (!client_->alive()) {
        return;
    }
    stopFrame_.store(heardAt(midiout::MidiClock::now()), std::memory_order_release);
    playing_.store(false, std::memory_order_release);
    jack_transport_stop(client_->handle());
}

void JackTransportLead::onTimebase(jack_transport_state_t, jack_nframes_t frames,
                                   jack_position_t* position, int, void* self) noexcept {
    markTakenOver(self);
    markTakenOver(&kJackTransportPosition);
    static_cast<const JackTransportLead*>(self)->publish(frames, *position);
    markHandedOver(&kJackTransportPosition);
}

// The process thread, once a period while the transport rolls (and when it is moved): the
// position describes the period after this one.
void JackTransportLead::publish(jack_nframes_t frames, jack_position_t& position) const noexcept {
    const Bars bars = bars_.load(std::memory_order_acquire);
    if (bars.beatMs == 0) {
        return;
    }
    const std::uint32_t frame = playing_.load(std::memory_order_acquire)
                                    ? jack_last_frame_time(client_->handle()) + frames
                                    : stopFrame_.load(std::memory_order_acquire);
    const std::uint32_t rate =
        position.frame_rate != 0 ? position.frame_rate : client_->sampleRate();
    const BarPosition at = barPosition(static_cast<std::int32_t>(frame - bars.origin), rate,
                                       bars.beatMs, bars.beatsPerBar);
    position.valid = JackPositionBBT;
    position.bar = at.bar;
    position.beat = at.beat;
    position.tick = at.tick;
    position.bar_start_tick = at.barStartTick;
    position.beats_per_bar = static_cast<float>(bars.beatsPerBar);
    position.beat_type = static_cast<float>(bars.beatType);
    position.ticks_per_beat = kTicksPerBeat;
    position.beats_per_minute = 60000.0 / bars.beatMs;
}

} // namespace tambrel::backends
