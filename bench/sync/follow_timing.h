#pragma once
// sync_timing's JACK transport follow figures: Tambrel following the transport of a private
// JACK server whose timebase master is another program (klick -T, or jack_transport's own
// master), its notes read by a receiver on the same server.

#include <optional>
#include <string>

namespace tambrel::bench {

enum class FollowMaster { Klick, JackTransport };

struct FollowFigures {
    double barP99Frames = 0; // |step-1 note - the master's bar start|, 99th percentile
    double barMaxFrames = 0;
    int bars = 0;               // bar starts compared
    double firstNoteFrames = 0; // the worst |first note of a start - the frame it rolled from|
    int starts = 0;
    int afterStop = 0; // notes on frames after the transport stopped
};

// Tambrel leading the transport (--jack-transport=lead) with a claves on every beat on its
// built-in synth through JACK, and `klick -j` following it, each recorded where it is heard:
// |claves - click| in microseconds at the 99th percentile, or why there is none.
std::optional<double> measureLeadEar(std::string& why);
// The other way round: Tambrel following the transport whose master is `klick -T`, claves
// on its beats against klick's clicks.
std::optional<double> measureFollowEar(std::string& why);

// Runs two starts (from bar 1 and from bar 3) of some seconds each with the master, the
// second from a locate while stopped. `slowSync` off is the fault: starts do not wait for
// Tambrel. The figures, or why there are none in `why`.
std::optional<FollowFigures> measureFollow(FollowMaster master, bool slowSync, std::string& why);

} // namespace tambrel::bench
