#pragma once
// JACK transport follow: Tambrel plays in the bars of the server's transport. It rolls when
// the transport rolls, stops when it stops, jumps where it is moved, and puts step 1 of its
// bar on every bar start of the transport's timebase master (bar, beat and tick); without a
// master, bars start at the transport's frame 0 and last Tambrel's own bar at its tempo.
//
// Once a period, before the outputs write theirs, the follower reads the transport and
// publishes the grid the step clock plays on (engine/followed_time.h). It is a slow-sync
// client: a start (or a move while rolling) waits until the step clock has prepared the
// first step of it, so that the step is heard on the very frame the transport rolls from,
// or for a second at most, so that a stalled Tambrel never holds up the user's transport.
// The outputs hold that step until the roll and place it from there (jack_placement.h).
//
// Play and Stop pressed in the window start and stop the transport itself rather than
// Tambrel alone: the transport is the one clock everybody follows, and Tambrel playing
// while it stands still would play in nobody's bars.

#include "backends/jack/jack_client.h"
#include "midiout/followed_time.h"
#include "midiout/published_grid.h"

#include <jack/transport.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tambrel::backends {

// Tambrel's own time, by which the follower counts a bar in steps and, without a master,
// times it.
using midiout::OwnTime;

// Where the transport's bars fall at one position.
struct TransportBars {
    std::int64_t bar = 0;    // bars before the position's bar (0: bar 1)
    double sinceBar = 0;     // frames from that bar's start to the position
    double uncertainty = 0;  // how much later the bar may have started (a whole tick)
    double framesPerBar = 0; // 0: no bars to follow
    double tempo = 0;        // in Tambrel's units; 0 without a timebase master
    bool fromMaster = false; // the master's bars, not Tambrel's own from frame 0
};
// `position` as the transport reports it; without a master, its bars are Tambrel's own.
TransportBars transportBars(const jack_position_t& position, const OwnTime& own) noexcept;

// Narrows down, period after period, the frame on which a bar started from positions that
// each give it to within a tick: a master that counts whole ticks is still followed to the
// frame, and one whose ticks drift is followed as it drifts.
class BarStartEstimate {
public:
    // A reading at transport frame `frame`; returns the estimated start of `bar()`.
    double update(std::uint32_t frame, const TransportBars& bars) noexcept;
    void reset() noexcept { known_ = false; }
    std::int64_t bar() const noexcept { return bar_; }

private:
    bool known_ = false;
    std::int64_t bar_ = 0;
    double framesPerBar_ = 0;
    double earliest_ = 0; // transport frames
    double latest_ = 0;
};

class JackTransportFollow final : public midiout::FollowedSource, private JackCycleListener {
public:
    // Window's thread. Follows the transport of `client`'s server; nothing, with the
    // reason in `why`, without a server.
    static std::unique_ptr<JackTransportFollow> open(std::shared_ptr<JackMidiClient> client,
                                                     std::string& why);
    // Leaves the client with no listener and no sync callback of ours, and drops any start
    // still held in the outputs.
    ~JackTransportFollow() override;
    JackTransportFollow(const JackTransportFollow&) = delete;
    JackTransportFollow& operator=(const JackTransportFollow&) = delete;

    midiout::FollowedGrid grid() const noexcept override;
    const midiout::FrameClock& frames() const noexcept override { return *client_; }
    std::int64_t delayFrames() const noexcept override;
    void setOwnTime(const OwnTime& own) noexcept override;
    void playPressed() noexcept override;
    void stopPressed() noexcept override;
    void prepared(std::uint32_t epoch) noexcept override {
        prepared_.store(epoch, std::memory_order_release);
    }

    // Window's thread: whether a start waits for the step clock (on from the start). Off, a
    // start rolls at once and its first step is heard as late as the step clock learns of
    // it: the fault that the benchmark shows the wait's worth by.
    void setSlowSync(bool on) noexcept { slowSync_.store(on, std::memory_order_release); }

    // How long a start waits for the step clock at most, in seconds.
    static constexpr double kSyncTimeoutSeconds = 1.0;

private:
    explicit JackTransportFollow(std::shared_ptr<JackMidiClient> client);
    void cycle(std::uint32_t cycleStart, std::uint32_t frames) noexcept override;
    static int onSync(jack_transport_state_t state, jack_position_t* position, void* self) noexcept;
    int sync(jack_transport_state_t state, const jack_position_t& position) noexcept;
    std::optional<midiout::FollowedGrid> startGrid(const jack_position_t& position) const noexcept;
    void release(std::uint32_t cycleStart) noexcept;
    void follow(std::uint32_t cycleStart, jack_transport_state_t state,
                const jack_position_t& position) noexcept;
    void publish(const midiout::FollowedGrid& grid) noexcept;
    // Where the transport stood in this period, to tell a move from the periods going on.
    void expect(std::uint32_t cycleStart, std::uint32_t frame, bool rolling) noexcept;
    OwnTime ownTime() const noexcept;

    std::shared_ptr<JackMidiClient> client_;
    bool syncing_ = false;
    bool listening_ = false;

    midiout::PublishedGrid grid_;
    midiout::PublishedOwnTime own_;
    std::atomic<std::uint32_t> prepared_{0};
    std::atomic<std::uint32_t> periodFrames_{0};
    std::atomic<bool> slowSync_{true};

    // The process thread's own (the sync callback runs there too, before the period).
    struct Following {
        std::uint32_t epoch = 0;
        OwnTime own;
        bool seen = false;
        bool rolling = false;
        // The transport's frame in the period that began at `expectedCycle`: where it is in
        // a later period if nobody moved it (a period that we were not called for, as a
        // loaded server may skip us, moves it on too).
        std::uint32_t expectedFrame = 0;
        std::uint32_t expectedCycle = 0;
        bool expectRolling = false;
        BarStartEstimate estimate;
        // A start that waits for its release: from where, its first step and that step's
        // frames after the roll, and the server frame at which the wait began.
        bool awaiting = false;
        std::uint32_t startFrame = 0;
        midiout::FollowedGrid startGrid;
        std::uint8_t start = 0; // counted for the outputs (JackRelease)
        std::uint32_t waitingSince = 0;
    };
    Following now_;
};

} // namespace tambrel::backends
