#include "link_figures.h"

#include "bench_stats.h"
#include "ear_offsets.h"
#include "link_rig.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <thread>
#include <tuple>

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;
using Key = testing::LinkHutProgram::Key;

Alignment alignmentOf(std::vector<double> offsets, const LinkRig& rig) {
    Alignment a;
    a.medianUs = percentilesOf(offsets).p50;
    const Percentiles p = percentilesOf(magnitudes(offsets));
    a.p99Us = p.p99;
    a.maxUs = p.max;
    a.offsetsUs = std::move(offsets);
    a.latencyMs = std::chrono::duration<double, std::milli>(rig.outputLatency()).count();
    a.stallMs = rig.longestStallMs();
    return a;
}

double linkHutTempo(const testing::LinkHutProgram& linkHut) {
    const auto state = linkHut.state();
    return state ? state->tempo : 0;
}

bool linkHutPlays(const testing::LinkHutProgram& linkHut) {
    const auto state = linkHut.state();
    return state && state->playing;
}

bool near(double a, double b) {
    return std::fabs(a - b) < 0.01;
}

// Joining at 100 beside LinkHut's 121: the session, LinkHut and Tambrel all at 121.
bool joinedKeptTempo(LinkRig& rig, std::string& notes) {
    rig.tickFor(1500ms);
    const double grid = rig.link().grid().tempo;
    const bool kept =
        near(linkHutTempo(rig.linkHut()), 121) && near(grid, 121) && rig.engine().tempo() == 121;
    if (!kept) {
        notes += "joining at 100 left LinkHut at " + std::to_string(linkHutTempo(rig.linkHut())) +
                 ", Tambrel's grid at " + std::to_string(grid) + " and its label at " +
                 std::to_string(rig.engine().tempo()) + "; ";
    }
    return kept;
}

// The tempo spinner moved to `tempo` as the window does (the selector, then the step period,
// which offers it to the session): whether LinkHut's screen shows it within 2 s.
bool spinnerReachesPeer(LinkRig& rig, int tempo, std::string& notes) {
    rig.engine().tempoSelector().setPosition(tempo);
    rig.engine().UpdateStepPeriod();
    const bool shown =
        rig.tickUntil([&] { return near(linkHutTempo(rig.linkHut()), tempo); }, 2s).has_value();
    if (!shown) {
        notes += "the spinner's " + std::to_string(tempo) + " did not reach LinkHut (" +
                 std::to_string(linkHutTempo(rig.linkHut())) + "); ";
    }
    return shown;
}

// One press of LinkHut's +: how long until Tambrel's grid and label show it, and LinkHut's
// own screen; nothing when Tambrel did not within 2 s.
std::optional<std::pair<double, double>> oneTempoUp(LinkRig& rig) {
    const int target = rig.engine().tempo() + 1;
    std::optional<double> linkHutMs;
    const auto from = std::chrono::steady_clock::now();
    rig.linkHut().press(Key::TempoUp);
    const auto took = rig.tickUntil(
        [&] {
            if (!linkHutMs && near(linkHutTempo(rig.linkHut()), target)) {
                linkHutMs = std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - from)
                                .count();
            }
            return near(rig.link().grid().tempo, target) && rig.engine().tempo() == target &&
                   linkHutMs.has_value();
        },
        2s);
    if (!took) {
        return std::nullopt;
    }
    // Both ends known when the loop ended: Tambrel's moment is the later of its two.
    return std::pair{std::chrono::duration<double, std::milli>(*took).count(), *linkHutMs};
}

// |spacing of consecutive sounds - a beat at 120|, 99th percentile, microseconds.
double spacingP99Us(const std::vector<double>& onsets) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        errors.push_back(std::fabs(onsets[i] - onsets[i - 1] - 0.5) * 1e6);
    }
    return percentilesOf(errors).p99;
}

// The straight line through LinkHut's clicks (least squares against the beat number),
// which a click that comes a few milliseconds early or late hardly moves.
struct BeatLine {
    double first = 0; // seconds, on the recordings' clock
    double beat = 0.5;
    // How far `t` lies from the nearest beat of the line, microseconds (positive: after it).
    double offsetUs(double t) const {
        return (t - first - beat * std::round((t - first) / beat)) * 1e6;
    }
};

BeatLine lineThrough(const std::vector<double>& clicks) {
    double sk = 0, st = 0, skk = 0, skt = 0;
    const double n = static_cast<double>(clicks.size());
    for (const double t : clicks) {
        const double k = std::round((t - clicks.front()) / 0.5);
        sk += k;
        st += t - clicks.front();
        skk += k * k;
        skt += k * (t - clicks.front());
    }
    BeatLine line;
    line.beat = (n * skt - sk * st) / (n * skk - sk * sk);
    line.first = clicks.front() + (st - line.beat * sk) / n;
    return line;
}

// Which side wobbles: each one's beat spacing, and Tambrel's beats against LinkHut's line.
void steadiness(const std::vector<double>& ours, const std::vector<double>& theirs, Alignment& a) {
    a.ourSpacingP99Us = spacingP99Us(ours);
    a.theirSpacingP99Us = spacingP99Us(theirs);
    if (theirs.size() < 3) {
        return;
    }
    const BeatLine line = lineThrough(theirs);
    std::vector<double> offsets;
    for (const double t : ours) {
        offsets.push_back(line.offsetUs(t));
    }
    a.lineMedianUs = percentilesOf(offsets).p50;
    a.lineP99Us = percentilesOf(magnitudes(offsets)).p99;
}

// Every sound of both and every stall of the server, in time order, for a plot: "time_s
// who offset_us" with each sound's offset from LinkHut's line and a stall's length.
void writeTrace(const std::string& path, const LinkRig& rig) {
    const std::vector<double> ours = rig.ourOnsets();
    const std::vector<double> theirs = rig.theirOnsets();
    if (theirs.size() < 3) {
        return;
    }
    const BeatLine line = lineThrough(theirs);
    std::vector<std::tuple<double, const char*, double>> rows;
    for (const double t : ours) {
        rows.emplace_back(t, "tambrel", line.offsetUs(t));
    }
    for (const double t : theirs) {
        rows.emplace_back(t, "linkhut", line.offsetUs(t));
    }
    for (const auto& [at, seconds] : rig.stalls()) {
        rows.emplace_back(at, "stall", seconds * 1e6);
    }
    std::sort(rows.begin(), rows.end());
    std::ofstream out(path);
    for (const auto& [t, who, value] : rows) {
        out << std::fixed << std::setprecision(4) << t - line.first << ' ' << who << ' '
            << std::setprecision(0) << value << '\n';
    }
}

// The first sound of `onsets` at or after `from`, within `window` seconds; NaN when none.
double firstFrom(const std::vector<double>& onsets, double from, double window) {
    const auto it = std::lower_bound(onsets.begin(), onsets.end(), from);
    return it != onsets.end() && *it < from + window ? *it : NAN;
}

// The sound of `onsets` nearest to `at`.
double nearest(const std::vector<double>& onsets, double at) {
    const auto it = std::lower_bound(onsets.begin(), onsets.end(), at);
    if (it == onsets.begin()) {
        return *it;
    }
    return it == onsets.end() || at - *(it - 1) < *it - at ? *(it - 1) : *it;
}

// Each start's first claves against LinkHut's first click after the same press. A bar that
// LinkHut's click came on sooner after its key than Tambrel's output latency and one still
// look (20 ms) could not be heard on by Tambrel through that output: those starts are kept
// apart, with the first claves against the click nearest it.
std::optional<Alignment> startOffsets(const LinkRig& rig, const std::vector<double>& pressed,
                                      std::string& why) {
    const std::vector<double> ours = rig.ourOnsets();
    const std::vector<double> theirs = rig.theirOnsets();
    const double reachMs =
        std::chrono::duration<double, std::milli>(rig.outputLatency() + 20ms).count();
    std::vector<double> offsets, pressToClick, nearBar;
    for (const double at : pressed) {
        const double our = firstFrom(ours, at, 3.0);
        const double their = firstFrom(theirs, at, 3.0);
        if (std::isfinite(our) && std::isfinite(their)) {
            pressToClick.push_back((their - at) * 1e3);
            if (pressToClick.back() < reachMs) {
                nearBar.push_back((our - nearest(theirs, our)) * 1e6);
            } else {
                offsets.push_back((our - their) * 1e6);
            }
        }
    }
    if ((offsets.size() + nearBar.size()) * 2 < pressed.size() || offsets.empty()) {
        why = "heard both start within 3 s of " + std::to_string(offsets.size() + nearBar.size()) +
              " of " + std::to_string(pressed.size()) + " presses, " +
              std::to_string(nearBar.size()) + " of them too near their bar to count";
        return std::nullopt;
    }
    Alignment a = alignmentOf(std::move(offsets), rig);
    a.pressToClickMs = std::move(pressToClick);
    a.nearBarOffsetsUs = std::move(nearBar);
    return a;
}

} // namespace

std::optional<Alignment> measureBeats(double seconds, bool compensate, const std::string& tracePath,
                                      std::string& why) {
    LinkRig rig;
    RigSetup setup;
    setup.compensate = compensate;
    setup.recordSeconds = seconds + 4;
    if (!rig.start(setup, why)) {
        return std::nullopt;
    }
    rig.tickFor(500ms);
    rig.startRecording();
    if (!rig.linkHut().setPlaying(true)) {
        why = "LinkHut did not start";
        return std::nullopt;
    }
    rig.engine().StartPlayback();
    rig.tickFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 2000));
    rig.engine().StopPlayback();
    rig.tickFor(500ms);
    (void)rig.linkHut().setPlaying(false);
    std::vector<double> offsets = offsetsUs(rig.ourOnsets(), rig.theirOnsets());
    if (offsets.size() < std::max(8.0, seconds)) {
        why = "heard " + std::to_string(offsets.size()) + " claves beside LinkHut's clicks in " +
              std::to_string(seconds) + " s";
        return std::nullopt;
    }
    Alignment a = alignmentOf(std::move(offsets), rig);
    steadiness(rig.ourOnsets(), rig.theirOnsets(), a);
    if (!tracePath.empty()) {
        writeTrace(tracePath, rig);
    }
    return a;
}

std::optional<TempoFigures> measureTempo(int changes, std::string& why) {
    LinkRig rig;
    RigSetup setup;
    setup.linkHutTempo = 121;
    setup.ourTempo = 100;
    if (!rig.start(setup, why)) {
        return std::nullopt;
    }
    TempoFigures f;
    f.joinedKept = joinedKeptTempo(rig, f.notes);
    f.toPeer = spinnerReachesPeer(rig, 125, f.notes) && spinnerReachesPeer(rig, 110, f.notes);
    rig.tickFor(300ms);
    for (int i = 0; i < changes; ++i) {
        const auto took = oneTempoUp(rig);
        if (!took) {
            why = "Tambrel did not show LinkHut's tempo " +
                  std::to_string(rig.engine().tempo() + 1) + " within 2 s (it shows " +
                  std::to_string(rig.engine().tempo()) + ", LinkHut " +
                  std::to_string(linkHutTempo(rig.linkHut())) + ")";
            return std::nullopt;
        }
        f.followMaxMs = std::max(f.followMaxMs, took->first);
        f.linkHutMaxMs = std::max(f.linkHutMaxMs, took->second);
        ++f.changes;
        rig.tickFor(300ms);
    }
    return f;
}

std::optional<Alignment> measureStarts(int starts, std::string& why) {
    LinkRig rig;
    RigSetup setup;
    setup.startStopSync = true;
    setup.recordSeconds = starts * 5.5 + 2;
    if (!rig.start(setup, why)) {
        return std::nullopt;
    }
    rig.tickFor(500ms);
    rig.startRecording();
    rig.tickFor(300ms);
    std::vector<double> pressed;
    for (int i = 0; i < starts; ++i) {
        pressed.push_back(testing::soundClock());
        rig.linkHut().press(Key::PlayStop);
        if (!rig.tickUntil([&] { return linkHutPlays(rig.linkHut()); }, 2s)) {
            why = "LinkHut did not start on its space key";
            return std::nullopt;
        }
        rig.tickFor(3500ms); // the session's next bar is at most 2 s away at 120
        rig.linkHut().press(Key::PlayStop);
        if (!rig.tickUntil([&] { return !linkHutPlays(rig.linkHut()); }, 2s)) {
            why = "LinkHut did not stop on its space key";
            return std::nullopt;
        }
        rig.tickFor(1000ms);
    }
    return startOffsets(rig, pressed, why);
}

} // namespace tambrel::bench
