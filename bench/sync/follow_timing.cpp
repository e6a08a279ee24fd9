#include "follow_timing.h"

#include "bench_stats.h"
#include "ear_offsets.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "jack_transport_watcher.h"
#include "synth_timing_kit.h"

#include "backends/device_list.h"
#include "backends/jack/jack_remade.h"
#include "backends/jack/jack_transport_follow.h"
#include "engine/rhythm_engine.h"
#include "platform/periodic_timer.h"
#include "tests/support/child_process.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <map>
#include <thread>
#include <vector>

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;
using testing::TransportSample;

// 4/4 at 120: a bar of 96000 frames; the second start is from bar 3.
constexpr std::uint32_t kSecondStart = 2 * 96000;

struct Run {
    std::uint32_t roll = 0;
    std::uint32_t stop = 0;          // the first frame after its last rolling period
    std::map<int, double> barStarts; // by the master's bar number
};

// Where each bar that the master told began. Each rolling period gives it to within a tick;
// the periods of the bar together narrow it down to a frame or two. A master whose ticks
// drift from its own tempo (jack_transport's) gives windows that exclude each other: then
// the bar began where its first period says.
std::vector<Run> runsOf(const std::vector<TransportSample>& seen) {
    std::vector<Run> runs;
    std::map<int, std::pair<double, double>> windows;
    std::map<int, double> first;
    bool rolling = false;
    const auto close = [&] {
        for (const auto& [bar, w] : windows) {
            runs.back().barStarts[bar] =
                w.first <= w.second ? (w.first + w.second) / 2 : first[bar];
        }
        windows.clear();
        first.clear();
    };
    for (const TransportSample& s : seen) {
        const bool now = s.state == JackTransportRolling;
        if (now && !rolling) {
            runs.push_back({s.cycleFrame, 0, {}});
        } else if (!now && rolling) {
            close();
        }
        rolling = now;
        if (now) {
            runs.back().stop = s.cycleFrame + testing::PrivateJackServer::kPeriodFrames;
        }
        const backends::TransportBars bars =
            backends::transportBars(s.position, {16, 6, 125, 15000});
        if (!now || !bars.fromMaster) {
            continue;
        }
        const double latest = s.cycleFrame - bars.sinceBar;
        const int bar = s.position.bar;
        first.try_emplace(bar, latest);
        auto [it, fresh] = windows.try_emplace(bar, latest - bars.uncertainty, latest);
        it->second.first = std::max(it->second.first, latest - bars.uncertainty);
        it->second.second = std::min(it->second.second, latest);
    }
    if (rolling) {
        close();
    }
    return runs;
}

FollowFigures compare(const std::vector<Run>& runs,
                      const std::vector<testing::ReceivedEvent>& notes) {
    FollowFigures f;
    std::vector<double> errors;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::int64_t from = runs[r].roll;
        const std::int64_t to = r + 1 < runs.size() ? runs[r + 1].roll : INT64_MAX;
        bool firstNote = true;
        for (const testing::ReceivedEvent& note : notes) {
            if (note.bytes[0] != 0x99 || note.frame < from || note.frame >= to) {
                continue;
            }
            if (note.frame >= runs[r].stop) {
                ++f.afterStop; // handed to the output before the stop was known
                continue;
            }
            if (firstNote) {
                f.firstNoteFrames =
                    std::max(f.firstNoteFrames, std::fabs(double(note.frame) - from));
                ++f.starts;
                firstNote = false;
            }
            double nearest = INFINITY;
            for (const auto& [bar, start] : runs[r].barStarts) {
                nearest = std::fabs(note.frame - start) < std::fabs(nearest) ? note.frame - start
                                                                             : nearest;
            }
            if (std::isfinite(nearest)) {
                errors.push_back(std::fabs(nearest));
            }
        }
    }
    const Percentiles p = percentilesOf(errors);
    f.barP99Frames = p.p99;
    f.barMaxFrames = p.max;
    f.bars = static_cast<int>(errors.size());
    return f;
}

// Plays a kick on step 1 of every bar to the receiver while the transport, driven by
// `transport`, starts from bar 1 and then from bar 3.
bool playFollowing(backends::Outputs& outputs, testing::JackMidiReceiver& receiver,
                   testing::JackTransportProgram& transport, std::string& why) {
    midiout::MidiOut out(std::move(outputs.devices));
    midiout::MidiOutHandle handle = 0;
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == receiver.portName() && out.open(i, &handle) != midiout::kMidiOk) {
            why = "the receiver's input did not open";
            return false;
        }
    }
    if (handle == 0) {
        why = "the receiver's input is not in the device list";
        return false;
    }
    {
        platform::TimerService timers;
        engine::RhythmEngine engine(timers, &out);
        engine.trigger().setHandle(handle);
        engine.trigger().setKey(1, 36);
        engine.trigger().setVelocity(1, 100);
        engine.grid().set(1, 1, true);
        engine.setFollowedSource(outputs.followed.get());
        for (const std::uint32_t at : {0U, kSecondStart}) {
            transport.command("locate " + std::to_string(at));
            std::this_thread::sleep_for(300ms);
            transport.command("play");
            std::this_thread::sleep_for(at == 0 ? 8500ms : 6500ms);
            transport.command("stop");
            std::this_thread::sleep_for(1s);
        }
        engine.setFollowedSource(nullptr);
    }
    (void)out.close(handle);
    return true;
}

} // namespace

namespace {

// Tambrel with a claves on every beat on its built-in synth through JACK, and klick beside
// it, each recorded where it is heard, while `play` runs the engine: |claves - click|.
template <typename Play>
std::optional<double> earBesideKlick(const std::vector<std::string>& klickArgs, bool lead,
                                     Play play, std::string& why) {
    testing::PrivateJackServer server;
    if (!server.start()) {
        why = "jackd did not start";
        return std::nullopt;
    }
    const pid_t klick = testing::spawnChild(klickArgs);
    testing::JackAudioRecorder ours(12 * 48000, "ear-tambrel");
    testing::JackAudioRecorder theirs(12 * 48000, "ear-klick");
    std::this_thread::sleep_for(500ms);
    backends::Outputs outputs = backends::discoverOutputs(std::nullopt, lead, std::nullopt, !lead);
    midiout::MidiOut out(std::move(outputs.devices));
    const midiout::MidiOutHandle synth = openSynth(out);
    if (klick <= 0 || synth == 0 ||
        (lead ? outputs.transportLead == nullptr : outputs.followed == nullptr) ||
        ours.listenTo("^Tambrel:") != 2 || theirs.listenTo("^klick:") < 1) {
        why = "klick, the built-in synth (a soundfont) or the transport did not start";
        return std::nullopt;
    }
    ours.startRecording();
    theirs.startRecording();
    {
        platform::TimerService timers;
        engine::RhythmEngine engine(timers, &out);
        engine.trigger().setHandle(synth);
        engine.trigger().setKey(1, 75); // claves, as the synth timing kit's
        engine.trigger().setVelocity(1, 100);
        for (const int beat : {1, 5, 9, 13}) {
            engine.grid().set(1, beat, true);
        }
        play(engine, outputs);
    }
    std::this_thread::sleep_for(300ms);
    testing::killChild(klick);
    (void)out.close(synth);
    const std::vector<double> errors = magnitudes(
        offsetsUs(onsetTimes(ours.recording(), true), onsetTimes(theirs.recording(), false)));
    if (errors.size() < 8) {
        why = "heard " + std::to_string(errors.size()) + " claves beside klick's clicks";
        return std::nullopt;
    }
    return percentilesOf(errors).p99;
}

} // namespace

std::optional<double> measureLeadEar(std::string& why) {
    return earBesideKlick(
        {"klick", "-j", "-n", "klick"}, true,
        [](engine::RhythmEngine& engine, backends::Outputs& outputs) {
            engine.setTransportLead(outputs.transportLead.get());
            engine.StartPlayback();
            std::this_thread::sleep_for(8s);
            engine.StopPlayback();
            engine.setTransportLead(nullptr);
        },
        why);
}

std::optional<double> measureFollowEar(std::string& why) {
    return earBesideKlick(
        {"klick", "-T", "-n", "klick", "4/4", "120"}, false,
        [](engine::RhythmEngine& engine, backends::Outputs& outputs) {
            engine.setFollowedSource(outputs.followed.get());
            testing::JackTransportProgram transport;
            transport.command("locate 0");
            std::this_thread::sleep_for(300ms);
            transport.command("play");
            std::this_thread::sleep_for(8s);
            transport.command("stop");
            std::this_thread::sleep_for(500ms);
            engine.setFollowedSource(nullptr);
        },
        why);
}

std::optional<FollowFigures> measureFollow(FollowMaster master, bool slowSync, std::string& why) {
    testing::PrivateJackServer server;
    server.makeSynchronous();
    if (!server.start()) {
        why = "jackd did not start";
        return std::nullopt;
    }
    testing::JackTransportWatcher watcher("bars", false, 8192);
    testing::JackMidiReceiver receiver;
    testing::JackTransportProgram transport;
    pid_t klick = -1;
    if (master == FollowMaster::Klick) {
        klick = testing::spawnChild({"klick", "-T", "-n", "klick", "4/4", "120"});
    } else {
        transport.command("master");
    }
    if (!watcher.ok() || !receiver.ok() || !transport.ok() ||
        (master == FollowMaster::Klick && klick <= 0)) {
        why = "the watcher, the receiver, jack_transport or klick did not start";
        return std::nullopt;
    }
    std::this_thread::sleep_for(500ms);
    backends::Outputs outputs = backends::discoverOutputs(std::nullopt, false, std::nullopt, true);
    auto* remade = dynamic_cast<backends::RemadeFollowedSource*>(outputs.followed.get());
    auto* follow =
        remade != nullptr ? dynamic_cast<backends::JackTransportFollow*>(&remade->made()) : nullptr;
    if (follow == nullptr) {
        why = outputs.followWhy;
        return std::nullopt;
    }
    follow->setSlowSync(slowSync);
    const bool played = playFollowing(outputs, receiver, transport, why);
    if (klick > 0) {
        testing::killChild(klick);
    }
    if (!played) {
        return std::nullopt;
    }
    return compare(runsOf(watcher.samples()), receiver.events());
}

} // namespace tambrel::bench
