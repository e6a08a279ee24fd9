#include "jack_clock_in.h"

#include "backends/jack/jack_placement.h"

#include <cmath>
#include <jack/jack.h>
#include <jack/midiport.h>

namespace tambrel::backends {

namespace {

// How far past the period being read a step that could not be foreseen (the one on the clock
// that starts the song) must go to be heard on its frame: the output plays a step a period
// and its 25 ms allowance after its moment (jack_placement.h), and the step clock, which looks
// at the grid every few milliseconds on a thread that a busy machine wakes up late, hands
// it over only while that is still in reach. 35 ms puts its moment 10 ms after this
// period's start: the step clock has that and its whole reach to hand it over.
constexpr double kUnforeseenSeconds = 0.035;
// More clocks than a period can bring (JACK's longest, 8192 frames, at 260 in 12/8): a start
// frame seen again after those is an old one that the frame counter came round to.
constexpr std::int64_t kClocksAStartMaySpan = 64;

} // namespace

std::unique_ptr<JackClockIn> JackClockIn::open(std::shared_ptr<JackMidiClient> client,
                                               const std::string& source, std::string& why) {
    if (client == nullptr || !client->alive()) {
        why = "MIDI clock in needs a JACK server (PipeWire's JACK counts), and none is running";
        return nullptr;
    }
    std::unique_ptr<JackClockIn> in(new JackClockIn(client));
    jack_client_t* handle = client->handle();
    in->periodFrames_.store(jack_get_buffer_size(handle), std::memory_order_relaxed);
    in->port_ =
        jack_port_register(handle, kClockInPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (in->port_ == nullptr) {
        why = "the JACK port for MIDI clock in could not be made";
        return nullptr;
    }
    if (!client->addCycleListener(in.get())) {
        why = "MIDI clock in could not be read in our JACK client's periods";
        return nullptr;
    }
    in->listening_ = true;
    if (!source.empty() && jack_connect(handle, source.c_str(), jack_port_name(in->port_)) != 0) {
        why = "MIDI clock in could not be connected from " + source;
        return nullptr;
    }
    return in;
}

JackClockIn::~JackClockIn() {
    if (listening_ && !client_->removeCycleListener(this)) {
        return; // the process callback may still read the port: it stays
    }
    if (port_ != nullptr && client_->alive()) {
        jack_port_unregister(client_->handle(), port_);
    }
}

std::int64_t JackClockIn::delayFrames() const noexcept {
    return jackDelayFrames(periodFrames_.load(std::memory_order_relaxed), client_->sampleRate());
}

void JackClockIn::setOwnTime(const midiout::OwnTime& own) noexcept {
    own_.publish(own);
}

void JackClockIn::cycle(std::uint32_t cycleStart, std::uint32_t frames) noexcept {
    periodFrames_.store(frames, std::memory_order_relaxed);
    void* buffer = jack_port_get_buffer(port_, frames);
    const std::uint32_t events = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0) {
            follower_.message(event.buffer, event.size, cycleStart + event.time);
        }
    }
    const bool startCame =
        follower_.rolling() && follower_.startFrame() - cycleStart < frames &&
        follower_.latestSongClock() - follower_.startSongClock() < kClocksAStartMaySpan;
    if (startCame) {
        // The start's clock came in this period: its step goes as soon as it can, and stays
        // on that frame in the periods until the next step's clock.
        const auto unforeseen = std::llround(kUnforeseenSeconds * client_->sampleRate());
        earliest_ = cycleStart + frames + static_cast<std::uint32_t>(unforeseen);
    }
    publish(startCame);
}

void JackClockIn::publish(bool startJustCame) noexcept {
    const midiout::OwnTime own = own_.read();
    const std::uint32_t rate = client_->sampleRate();
    // A new start, stop or jump, or a new bar (the song's steps are counted anew), is a new
    // epoch: the step clock starts over from it.
    if (follower_.changes() != changes_ || own.clocksPerStep != ownSeen_.clocksPerStep ||
        own.stepsPerBar != ownSeen_.stepsPerBar) {
        changes_ = follower_.changes();
        ++epoch_;
    }
    ownSeen_ = own;
    midiout::FollowedGrid grid = midiout::clockGrid(follower_, own, rate, earliest_, startJustCame);
    grid.epoch = epoch_;
    grid_.publish(grid);
}

} // namespace tambrel::backends
