#pragma once
// JACK transport lead: Play locates the server's transport to its start and starts it,
// Stop (and a device switch that halts the clock, and quitting while playing) stops it, and
// while Tambrel is the timebase master it publishes its bars as bar, beat and tick, so that
// a sequencer following the transport plays in Tambrel's bars.
//
// Tambrel takes the timebase only when nobody has it: a master that is already there (a
// DAW) keeps it, and Tambrel then leads start and stop alone (open() says so in `why`).
//
// Where bar 1 falls. A transport that is asked to start begins rolling a period or two
// later, when every client is ready, and its frame 0 is wherever that happens; Tambrel's
// first step is heard at a frame fixed at Play: the frame of the step's due moment by our
// client's frame line, plus the delay with which every message of ours is placed
// (jack_placement.h). Bar 1, beat 1, tick 0 is that frame, on the server's own frame
// counter, not on the transport's frames: the timebase callback counts the position from
// it, and reports bar 1 beat 1 tick 0 until it comes. A follower that places bar 1 where the
// transport's bars say then hears it with Tambrel's first notes, however late the transport
// began to roll. For the same reason a transport repositioned by another program while
// Tambrel leads keeps being told Tambrel's bars, from the frames; once stopped, it is told
// the position where Tambrel's sound stopped. The count runs on the server's 32-bit frame
// counter: a single Play that lasts beyond 12 hours at 48 kHz starts again from bar 1.
//
// The beat and its tempo are Tambrel's (engine/transport_meter.h): a bar is the step clock's
// bar to the frame, its steps paced by the client's frames while Tambrel leads.

#include "backends/jack/jack_client.h"
#include "midiout/transport_lead.h"

#include <jack/transport.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace tambrel::backends {

inline constexpr int kTicksPerBeat = 1920;

// The bar, beat and tick `elapsed` frames after bar 1 began (none before), in a meter whose
// beat lasts `beatMs` at `sampleRate`.
struct BarPosition {
    int bar = 1;
    int beat = 1;
    int tick = 0;
    double barStartTick = 0;
};
BarPosition barPosition(std::int64_t elapsed, std::uint32_t sampleRate, std::uint32_t beatMs,
                        int beatsPerBar) noexcept;

class JackTransportLead final : public midiout::TransportLead {
public:
    // Window's thread. Leads the transport of `client`'s server and becomes its timebase
    // master when it has none. Nothing, with the reason in `why`, without a server; with an
    // existing master, the lead and a note of it in `why`.
    static std::unique_ptr<JackTransportLead> open(std::shared_ptr<JackMidiClient> client,
                                                   std::string& why);
    // Gives the timebase back; the engine has stopped the transport before.
    ~JackTransportLead() override;
    JackTransportLead(const JackTransportLead&) = delete;
    JackTransportLead& operator=(const JackTransportLead&) = delete;

    void started(midiout::Moment firstStep, const midiout::TransportMeter& meter) noexcept override;
    void stopped() noexcept override;
    const midiout::FrameClock* frameClock() const noexcept override { return client_.get(); }
    bool timebaseMaster() const noexcept { return master_; }

private:
    // What the process thread publishes from, in one atomic word: bar 1's frame and the meter.
    struct Bars {
        std::uint32_t origin = 0;
        std::uint16_t beatMs = 0; // 0: no Play yet, no bars to tell
        std::uint8_t beatsPerBar = 0;
        std::uint8_t beatType = 0;
    };
    static_assert(std::atomic<Bars>::is_always_lock_free);

    explicit JackTransportLead(std::shared_ptr<JackMidiClient> client)
        : client_(std::move(client)) {}
    static void onTimebase(jack_transport_state_t state, jack_nframes_t frames,
                           jack_position_t* position, int newPosition, void* self) noexcept;
    void publish(jack_nframes_t frames, jack_position_t& position) const noexcept;
    // The frame at which a message due at `moment` is heard.
    std::uint32_t heardAt(midiout::Moment moment) const noexcept;

    std::shared_ptr<JackMidiClient> client_;
    bool master_ = false;
    bool leading_ = false; // window's thread: the transport was started by Play, not stopped
    std::atomic<Bars> bars_{};
    std::atomic<bool> playing_{false};
    std::atomic<std::uint32_t> stopFrame_{0};
};

} // namespace tambrel::backends
