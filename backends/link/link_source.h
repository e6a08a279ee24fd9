#pragma once
// Playing in time with an Ableton Link session (--link): the session's tempo and bar are the
// source of time that the step clock follows (midiout/followed_time.h).
//
// Joining never changes the session: Tambrel takes its tempo, and starts at the session's
// next bar when Play is pressed, in phase with every peer; Stop stops Tambrel alone. With
// start and stop shared (Link's start/stop sync), Play and Stop start and stop the session,
// and a peer's start starts Tambrel at the session's next bar. The session's tempo may be
// proposed from Tambrel's own (the tempo spinner).
//
// Where the session is read. Link's audio-thread side (a lock-free capture of the session)
// runs on the step clock's thread, at each of its looks at the grid: that thread runs
// whatever the output (JACK, PipeWire, PulseAudio, another program's MIDI input), so Link
// needs no JACK server, and the grid it reads is never older than that look. The window's
// thread reads the published grid (a sequence-counted copy) and proposes tempos through
// Link's application side.

#include "midiout/followed_time.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tambrel::backends {

class LinkSource : public midiout::FollowedSource {
public:
    // Window's thread: proposes to the session the tempo that gives Tambrel's tempo `tempo`
    // (its spinner's units) in the time signature in force (the tempo spinner does, through
    // tempoChosen).
    virtual void proposeTempo(double tempo) noexcept = 0;
    // Any thread: the other peers of the session.
    virtual std::size_t peers() const noexcept = 0;
};

// Joins the session on the network, with `bpm` as the session's tempo when no peer is there
// yet (sessionTempoFor gives it from Tambrel's tempo). Opens Link's sockets: made only when
// --link asks. The grid's frames are on `frames`, which must outlive the source; an output
// plays a message `delayFrames` after its moment.
std::unique_ptr<LinkSource> joinLinkSession(const midiout::FrameClock& frames,
                                            std::int64_t delayFrames, double bpm);
// The same on frames that the source keeps alive; with `startStopSync`, Play and Stop are
// shared with every peer that shares them (--link-start-stop).
std::unique_ptr<LinkSource> joinLinkSession(std::shared_ptr<const midiout::FrameClock> frames,
                                            std::int64_t delayFrames, double bpm,
                                            bool startStopSync);

} // namespace tambrel::backends
