#pragma once
// link_timing's figures, each measured on a rig of its own (link_rig.h) inside the
// private network: nothing here may run outside it.

#include <optional>
#include <string>
#include <vector>

namespace tambrel::bench {

// Tambrel's beats against LinkHut's clicks, in microseconds: positive when Tambrel is late.
struct Alignment {
    std::vector<double> offsetsUs;
    double p99Us = 0;    // of |offset|
    double medianUs = 0; // signed: a constant lead or lag
    double maxUs = 0;    // of |offset|
    double latencyMs = 0;
    // Beats only: which side wobbles. |spacing - a beat|, p99, of each side's sounds, and
    // Tambrel's beats against the straight line through LinkHut's clicks.
    double ourSpacingP99Us = 0;
    double theirSpacingP99Us = 0;
    double lineP99Us = 0;
    double lineMedianUs = 0;
    // Starts only: from each press of LinkHut's key to its first click, in ms; and the
    // starts whose bar came too soon after the key to be heard on it (the output's latency
    // and the still step clock's look): Tambrel's first claves against LinkHut's click
    // nearest it, which says whether it joined the bar in phase.
    std::vector<double> pressToClickMs;
    std::vector<double> nearBarOffsetsUs;
    double stallMs = 0;    // the longest the JACK server stood still meanwhile
    double playbackMs = 0; // the JACK server's playback latency, after the recordings' ears // the
                           // synth's latency, as the engine hands it to the source
};

// `seconds` of 120 bpm, Tambrel started by Play (at the session's next bar). With
// `compensate` off the source never hears the output's latency. With a `tracePath`, every
// sound and stall of the run is written there.
std::optional<Alignment> measureBeats(double seconds, bool compensate, const std::string& tracePath,
                                      std::string& why);

struct TempoFigures {
    double followMaxMs = 0;  // LinkHut's + pressed to Tambrel's grid and tempo label
    double linkHutMaxMs = 0; // the same press to LinkHut's own screen
    int changes = 0;
    bool toPeer = false;     // Tambrel's spinner reached LinkHut's screen
    bool joinedKept = false; // joining at another tempo left the session's as it was
    std::string notes;       // what went wrong, for stderr
};
std::optional<TempoFigures> measureTempo(int changes, std::string& why);

// LinkHut started `starts` times with start-stop sync: Tambrel's first note of each start
// against LinkHut's first click.
std::optional<Alignment> measureStarts(int starts, std::string& why);

// `seconds` of beats from two Tambrels, one on the synth through JACK, the other (this
// program again, runPulsePeer) through PulseAudio: the second's beats against the first's,
// positive when the one on PulseAudio is late.
std::optional<Alignment> measurePulseBeats(double seconds, std::string& why);
// The Tambrel on PulseAudio: joins, plays `seconds`, says its synth's latency; the exit
// status.
int runPulsePeer(double seconds);

struct WindowSetup {
    bool link = true;    // --link
    bool onPulse = true; // the synth on a private PulseAudio server's null sink, else JACK
};

// The window (`program`) stopped beside two LinkHuts with Link on (on a private JACK
// server), its processor over `seconds` (after it settled) as a percentage of one core;
// `peers` is what the first LinkHut counted meanwhile, `threads` the window's threads that
// took any of it ("name=clock ticks", busiest first).
std::optional<double> measureStoppedCpu(const std::string& program, const WindowSetup& setup,
                                        int seconds, int& peers, std::string& threads,
                                        std::string& why);

} // namespace tambrel::bench
