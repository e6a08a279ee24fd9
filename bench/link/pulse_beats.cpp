// Two Tambrels in one Link session, one with its synth on JACK and one on PulseAudio, both
// heard in one JACK recording: the private PulseAudio server plays into the private JACK
// server through its own JACK sink (pulseaudio-module-jack). The one on PulseAudio is this
// program again (--pulse-peer), started where it finds no JACK server.
#include "link_figures.h"

#include "bench_stats.h"
#include "ear_offsets.h"
#include "link_rig.h"
#include "pulse_test_server.h"

#include "tests/support/child_process.h"

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

std::chrono::milliseconds millisecondsOf(double seconds) {
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

bool pactl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = testing::waitChild(testing::spawnChild(argv));
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// PulseAudio's default sink made one that plays into the JACK server `jack`, as
// "PulseOut:front-left" and "front-right", connected to the server's playback ports as a
// desktop's bridge into JACK is: the latency the sink reports then counts theirs, as the
// Tambrel on JACK counts them for its own ports.
bool pulseIntoJack(const std::string& jack, std::string& why) {
    if (!pactl({"load-module", "module-jack-sink", "sink_name=jack_out", "server_name=" + jack,
                "client_name=PulseOut", "connect=yes", "channels=2"}) ||
        !pactl({"set-default-sink", "jack_out"})) {
        why = "PulseAudio's JACK sink did not load (pulseaudio-module-jack: scripts/install-deps)";
        return false;
    }
    return true;
}

// Our environment, where the JACK server cannot be found: the synth plays to PulseAudio.
std::vector<std::string> withoutJack() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("JACK_DEFAULT_SERVER=", 0) != 0) {
            env.emplace_back(*e);
        }
    }
    env.emplace_back("JACK_DEFAULT_SERVER=tambrel-link-pulse-nobody");
    return env;
}

} // namespace

int runPulsePeer(double seconds) {
    TambrelPeer peer;
    std::string why;
    if (!peer.join(RigSetup{}, why)) {
        std::fprintf(stderr, "link_timing: the Tambrel on PulseAudio: %s\n", why.c_str());
        return 1;
    }
    peer.tickFor(1s); // the window hands the synth's latency over at its first looks
    peer.engine().StartPlayback();
    peer.tickFor(millisecondsOf(seconds));
    peer.engine().StopPlayback();
    peer.tickFor(300ms);
    std::printf("link_timing: pulse peer synth_latency_ms=%.2f\n",
                std::chrono::duration<double, std::milli>(peer.outputLatency()).count());
    return 0;
}

std::optional<Alignment> measurePulseBeats(double seconds, std::string& why) {
    LinkRig rig;
    RigSetup setup;
    setup.recordSeconds = seconds + 8;
    testing::PrivatePulseServer pulse;
    if (!rig.start(setup, why)) {
        return std::nullopt;
    }
    if (!pulse.start()) {
        why = "pulseaudio did not start: " + pulse.failure();
        return std::nullopt;
    }
    if (!pulseIntoJack(rig.jackServer(), why)) {
        return std::nullopt;
    }
    testing::JackAudioRecorder ear(static_cast<std::size_t>(setup.recordSeconds * 48000),
                                   "ear-pulse");
    if (ear.listenTo("^PulseOut:") != 2) {
        why = "PulseAudio's JACK sink has no outputs on the JACK server";
        return std::nullopt;
    }
    rig.startRecording();
    ear.startRecording();
    const std::vector<std::string> env = withoutJack();
    const pid_t peer =
        testing::spawnChild({std::filesystem::read_symlink("/proc/self/exe").string(),
                             "--pulse-peer", std::to_string(seconds)},
                            testing::ChildStreams::inherited(), &env);
    rig.engine().StartPlayback();
    rig.tickFor(millisecondsOf(seconds + 4));
    const int status = peer > 0 ? testing::reapChild(peer, 10s) : -1;
    rig.engine().StopPlayback();
    std::vector<double> offsets = offsetsUs(onsetTimes(ear.recording(), true), rig.ourOnsets());
    if (status != 0 || offsets.size() < std::max(8.0, seconds)) {
        why = "the Tambrel on PulseAudio ended with " + std::to_string(status) + ", heard " +
              std::to_string(offsets.size()) + " of its claves beside the other's";
        return std::nullopt;
    }
    Alignment a;
    a.medianUs = percentilesOf(offsets).p50;
    a.p99Us = percentilesOf(magnitudes(offsets)).p99;
    a.maxUs = percentilesOf(magnitudes(offsets)).max;
    a.offsetsUs = std::move(offsets);
    a.stallMs = rig.longestStallMs();
    a.playbackMs = rig.playbackLatencyMs();
    return a;
}

} // namespace tambrel::bench
