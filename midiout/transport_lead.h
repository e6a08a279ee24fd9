#pragma once
// Where Play and Stop go when Tambrel leads another program's transport (JACK transport
// lead: backends/jack/jack_transport_lead.h): the transport starts with Play, stops with
// Stop, and hears Tambrel's bars as the bar, beat and tick it publishes.

#include "midiout/frame_clock.h"
#include "midiout/timed_message.h"

#include <cstdint>

namespace tambrel::midiout {

// A bar as a transport counts it: `beatsPerBar` beats of note value `beatType` (4: quarter
// notes, 8: eighth notes), each `beatMs` whole milliseconds long, so that a bar lasts
// exactly as long as the step clock's bar (its steps times the whole-millisecond period).
struct TransportMeter {
    int beatsPerBar = 4;
    int beatType = 4;
    std::uint32_t beatMs = 0;

    // Beats a minute, as a transport shows the tempo.
    constexpr double beatsPerMinute() const noexcept {
        return beatMs != 0 ? 60000.0 / static_cast<double>(beatMs) : 0.0;
    }
    bool operator==(const TransportMeter&) const = default;
};

// Called on the window's thread only, never from a step: Play and Stop may wait on the
// server a little, which a step must never do.
class TransportLead {
public:
    virtual ~TransportLead() = default;
    // At Play, once the step clock runs: its first step is due at `firstStep`, and its bars
    // have this meter.
    virtual void started(Moment firstStep, const TransportMeter& meter) noexcept = 0;
    // At Stop, at a device switch that halts the clock, and at quit; whether or not the
    // clock ran.
    virtual void stopped() noexcept = 0;
    // The frame clock the transport counts in, when it has one: the step clock is paced by
    // it while Tambrel leads, so that the steps never drift from the bars it publishes.
    virtual const FrameClock* frameClock() const noexcept { return nullptr; }
    // Whether the lead went with its server (a JACK server stopped or restarted).
    virtual bool lost() const noexcept { return false; }
    // While stopped: a lost lead made again on the server that runs now. True when it was;
    // frameClock() may then be another.
    virtual bool reconnect() noexcept { return false; }
};

} // namespace tambrel::midiout
