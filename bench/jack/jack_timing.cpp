// How evenly the steps reach another JACK program: the same steps, fired by the step
// clock's timer, go once through our JACK back end and once through RtMidi's JACK output
// to a receiver on a private dummy server, then once more through ours with a timer that
// wakes every step a random 0 to 20 ms late on purpose. For each, the receiver-side
// spacing error |frames between consecutive notes in microseconds - the step period| is
// printed.
//
//   jack_timing [--steps N] [--period-ms P]

#include "backends/device_list.h"
#include "jack_test_server.h"

#include "bench_stats.h"

#include "backends/jack/jack_midi_device.h"
#include "midiout/midi_out.h"
#include "platform/periodic_timer.h"
#include "tests/support/late_wakeups.h"

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tambrel;
using Clock = std::chrono::steady_clock;

// Each step's note carries its number (key 35..74, velocity 1..127), so that a note the
// server lost under load does not shift every later interval.
constexpr int kKeys = 40;
constexpr int kMaxSteps = kKeys * 127;

std::uint32_t numberedNote(int step) {
    return 0x99 | static_cast<std::uint32_t>(35 + step % kKeys) << 8 |
           static_cast<std::uint32_t>(1 + step / kKeys) << 16;
}

int stepOf(const testing::ReceivedEvent& e) {
    return e.size == 3 ? (e.bytes[2] - 1) * kKeys + (e.bytes[1] - 35) : -1;
}

using Figures = bench::Percentiles;

Figures figuresOf(std::vector<double> errors) {
    return bench::percentilesOf(std::move(errors));
}

void print(const char* what, const Figures& f, std::size_t count) {
    std::printf("%-34s p50 %7.1f us  p99 %7.1f us  max %7.1f us  (%zu intervals)\n", what, f.p50,
                f.p99, f.max, count);
}

// The step clock's side: one note per expiry, the send's moment kept for comparison.
struct Player {
    virtual ~Player() = default;
    virtual void sendNote(int step, Clock::time_point due) noexcept = 0;

    static void tick(void* self, Clock::time_point due) noexcept {
        auto* player = static_cast<Player*>(self);
        const int n = player->sent.load(std::memory_order_relaxed);
        if (n >= player->steps) {
            return;
        }
        player->sentAt[static_cast<std::size_t>(n)] = Clock::now();
        player->sendNote(n, due);
        player->sent.store(n + 1, std::memory_order_release);
    }

    int steps = 0;
    std::vector<Clock::time_point> sentAt;
    std::atomic<int> sent{0};
};

struct OursPlayer : Player {
    midiout::MidiOut* out = nullptr;
    midiout::MidiOutHandle handle = 0;
    void sendNote(int step, Clock::time_point due) noexcept override {
        out->send(handle, numberedNote(step), due);
    }
};

struct RtMidiPlayer : Player {
    RtMidiOut* out = nullptr;
    // RtMidi sends at once: the moment is the one it is sent at.
    void sendNote(int step, Clock::time_point /*due*/) noexcept override {
        const std::uint32_t note = numberedNote(step);
        const unsigned char bytes[3] = {static_cast<unsigned char>(note & 0xFF),
                                        static_cast<unsigned char>((note >> 8) & 0xFF),
                                        static_cast<unsigned char>(note >> 16)};
        try {
            out->sendMessage(bytes, 3);
        } catch (...) {
        }
    }
};

// The late-waking timer's wake-ups: 0 to 20 ms after each slot, the same every run.
constexpr testing::LateWakeups kLateWakeups{20000, 20};

// Plays `steps` notes every `periodMs`, on a timer that wakes late on purpose when `late`;
// returns once they are sent and had time to arrive.
bool play(Player& player, int steps, std::uint32_t periodMs, bool late = false) {
    player.steps = steps;
    player.sentAt.assign(static_cast<std::size_t>(steps), Clock::time_point{});
    platform::TimerService timers;
    testing::TestTimer timer(timers, late ? std::optional(kLateWakeups) : std::nullopt);
    if (timer.start(periodMs, &Player::tick, &player) == 0) {
        return false;
    }
    while (player.sent.load(std::memory_order_acquire) < steps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timer.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
}

// The frame at which each step's note arrived (by its number), and how many were lost.
struct Arrivals {
    std::vector<std::int64_t> frame; // -1: never arrived
    int lost = 0;
    int extra = 0; // duplicates or strangers
};

Arrivals arrivalsOf(const std::vector<testing::ReceivedEvent>& events, std::size_t from,
                    std::size_t to, int steps) {
    Arrivals a;
    a.frame.assign(static_cast<std::size_t>(steps), -1);
    for (std::size_t i = from; i < to; ++i) {
        const int step = stepOf(events[i]);
        if (step < 0 || step >= steps || a.frame[static_cast<std::size_t>(step)] >= 0) {
            ++a.extra;
            continue;
        }
        a.frame[static_cast<std::size_t>(step)] = events[i].frame;
    }
    a.lost = static_cast<int>(std::count(a.frame.begin(), a.frame.end(), -1));
    return a;
}

double frameUs(std::int64_t earlier, std::int64_t later) {
    const auto frames = static_cast<std::int32_t>(static_cast<std::uint32_t>(later) -
                                                  static_cast<std::uint32_t>(earlier));
    return frames * 1e6 / testing::PrivateJackServer::kSampleRate;
}

// |received spacing - the step period| for every pair of consecutive steps that arrived.
std::vector<double> receiverErrors(const Arrivals& a, double periodUs) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < a.frame.size(); ++i) {
        if (a.frame[i - 1] >= 0 && a.frame[i] >= 0) {
            errors.push_back(std::fabs(frameUs(a.frame[i - 1], a.frame[i]) - periodUs));
        }
    }
    return errors;
}

// |received spacing - the spacing at which the two notes were really sent|: what the
// back end adds on top of the timer's own jitter (ours, stamped at the steps' due times,
// takes that jitter out instead).
std::vector<double> addedErrors(const Arrivals& a, const Player& player) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < a.frame.size(); ++i) {
        if (a.frame[i - 1] >= 0 && a.frame[i] >= 0) {
            const double sent =
                std::chrono::duration<double, std::micro>(player.sentAt[i] - player.sentAt[i - 1])
                    .count();
            errors.push_back(std::fabs(frameUs(a.frame[i - 1], a.frame[i]) - sent));
        }
    }
    return errors;
}

// The dummy driver's own clock: how far each period's start strays from the nominal
// 256 frames, in wall-clock time. Our placement cannot be steadier than this.
struct CycleWatcher {
    explicit CycleWatcher(std::size_t capacity) : starts(capacity) {
        jack_status_t status{};
        client = jack_client_open("cycle watcher", JackNoStartServer, &status);
        if (client != nullptr) {
            jack_set_process_callback(client, &CycleWatcher::onProcess, this);
            jack_activate(client);
        }
    }
    ~CycleWatcher() {
        if (client != nullptr) {
            jack_client_close(client);
        }
    }
    static int onProcess(jack_nframes_t, void* self) noexcept {
        auto* w = static_cast<CycleWatcher*>(self);
        const std::size_t n = w->count.load(std::memory_order_relaxed);
        if (w->recording.load(std::memory_order_acquire) && n < w->starts.size()) {
            w->starts[n] = jack_get_time();
            w->count.store(n + 1, std::memory_order_release);
        }
        return 0;
    }
    std::vector<double> errors() const {
        const double periodUs = 1e6 * testing::PrivateJackServer::kPeriodFrames /
                                testing::PrivateJackServer::kSampleRate;
        std::vector<double> e;
        const std::size_t n = count.load(std::memory_order_acquire);
        for (std::size_t i = 1; i < n; ++i) {
            e.push_back(std::fabs(static_cast<double>(starts[i] - starts[i - 1]) - periodUs));
        }
        return e;
    }
    jack_client_t* client = nullptr;
    std::vector<jack_time_t> starts;
    std::atomic<std::size_t> count{0};
    std::atomic<bool> recording{false};
};

int fail(const char* why) {
    std::fflush(stdout);
    std::fprintf(stderr, "jack_timing: %s\n", why);
    return 1;
}

// Plays through our JACK back end, found in the device list as the program finds it.
// Returns false with `why` set when it could not.
bool playOurs(OursPlayer& ours, const std::string& receiverPort, int steps, std::uint32_t periodMs,
              bool lateTimer, std::uint64_t& late, const char*& why) {
    midiout::MidiOut out(backends::discoverMidiOutDevices());
    int index = -1;
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == receiverPort) {
            index = static_cast<int>(i);
        }
    }
    ours.out = &out;
    if (index < 0 || out.open(static_cast<unsigned>(index), &ours.handle) != midiout::kMidiOk) {
        why = "receiver not reachable through our JACK back end";
        return false;
    }
    if (!play(ours, steps, periodMs, lateTimer)) {
        why = "no timer";
        return false;
    }
    const auto* device =
        static_cast<backends::JackMidiDevice*>(out.device(static_cast<unsigned>(index)));
    late = device->client()->lateCount();
    out.close(ours.handle);
    return true;
}

// Plays the same steps through RtMidi's JACK output to the same receiver.
bool playRtMidi(RtMidiPlayer& rtmidi, const std::string& receiverPort, int steps,
                std::uint32_t periodMs, const char*& why) {
    try {
        RtMidiOut rt(RtMidi::UNIX_JACK, "RtMidi bench");
        rt.setErrorCallback([](RtMidiError::Type, const std::string&, void*) {}, nullptr);
        unsigned port = rt.getPortCount();
        for (unsigned i = 0; i < rt.getPortCount(); ++i) {
            if (rt.getPortName(i) == receiverPort) {
                port = i;
            }
        }
        if (port == rt.getPortCount()) {
            why = "RtMidi does not list the receiver";
            return false;
        }
        rt.openPort(port, "out");
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the connection settles
        rtmidi.out = &rt;
        if (!play(rtmidi, steps, periodMs)) {
            why = "no timer";
            return false;
        }
        rt.closePort();
    } catch (const RtMidiError&) {
        why = "RtMidi's JACK output failed";
        return false;
    }
    return true;
}

struct Results {
    Arrivals oursArrived;
    Arrivals rtArrived;
    Arrivals lateTimerArrived; // ours again, on the late-waking timer
    std::vector<double> cycleErrors;
    std::uint64_t oursLate = 0;
    std::uint64_t lateTimerLate = 0;
};

void report(const Results& r, const OursPlayer& ours, const RtMidiPlayer& rtmidi,
            const OursPlayer& lateTimer, double periodUs) {
    const std::vector<double> oursErrors = receiverErrors(r.oursArrived, periodUs);
    const std::vector<double> rtErrors = receiverErrors(r.rtArrived, periodUs);
    const std::vector<double> lateErrors = receiverErrors(r.lateTimerArrived, periodUs);
    const Figures oursFigures = figuresOf(oursErrors);
    const Figures rtFigures = figuresOf(rtErrors);
    const Figures lateFigures = figuresOf(lateErrors);
    const std::vector<double> oursAdded = addedErrors(r.oursArrived, ours);
    const std::vector<double> rtAdded = addedErrors(r.rtArrived, rtmidi);

    std::printf("-- the clocks underneath\n");
    print("step clock sends vs. the period", figuresOf(bench::sendErrorsUs(ours.sentAt, periodUs)),
          ours.sentAt.size() - 1);
    print("jackd dummy period starts", figuresOf(r.cycleErrors), r.cycleErrors.size());
    // Ours stamps each note with its step's due time, so the timer's lateness shows up
    // here as a difference from the sends and is gone from the spacing that is heard.
    std::printf("-- received spacing vs. the sends' own spacing (what the back end adds or, "
                "for ours, takes out)\n");
    print("ours", figuresOf(oursAdded), oursAdded.size());
    print("rtmidi", figuresOf(rtAdded), rtAdded.size());
    std::printf("-- received spacing vs. the step period\n");
    print("ours (libjack, stamped)", oursFigures, oursErrors.size());
    print("rtmidi (UNIX_JACK)", rtFigures, rtErrors.size());
    print("ours, timer 0-20 ms late", lateFigures, lateErrors.size());
    print("  its sends vs. the period", figuresOf(bench::sendErrorsUs(lateTimer.sentAt, periodUs)),
          lateTimer.sentAt.size() - 1);
    std::printf("lost by the server: ours %d, rtmidi %d, ours on the late timer %d; duplicates: "
                "ours %d, rtmidi %d, late timer %d; late for their period: ours %llu, on the "
                "late timer %llu\n",
                r.oursArrived.lost, r.rtArrived.lost, r.lateTimerArrived.lost, r.oursArrived.extra,
                r.rtArrived.extra, r.lateTimerArrived.extra,
                static_cast<unsigned long long>(r.oursLate),
                static_cast<unsigned long long>(r.lateTimerLate));
    std::printf("summary: ours_p99_us=%.1f rtmidi_p99_us=%.1f ratio=%.3f late_p99_us=%.1f\n",
                oursFigures.p99, rtFigures.p99,
                rtFigures.p99 > 0 ? oursFigures.p99 / rtFigures.p99 : 0.0, lateFigures.p99);
}

bool parse(int argc, char** argv, int& steps, std::uint32_t& periodMs) {
    return bench::parseStepsAndPeriod(argc, argv, steps, periodMs) && steps >= 3 &&
           steps <= kMaxSteps && periodMs != 0;
}

} // namespace

int main(int argc, char** argv) {
    int steps = 400;
    std::uint32_t periodMs = 20;
    if (!parse(argc, argv, steps, periodMs)) {
        std::fprintf(stderr,
                     "usage: jack_timing [--steps N] [--period-ms P] (3 to %d steps, a "
                     "period of 1 ms or more)\n",
                     kMaxSteps);
        return 2;
    }
    testing::PrivateJackServer server;
    if (!server.start()) {
        return fail("jackd did not start");
    }
    testing::JackMidiReceiver receiver("receiver", static_cast<std::size_t>(3 * steps + 64));
    if (!receiver.ok()) {
        return fail("no receiver client");
    }
    // Every period of the run, and some to spare.
    CycleWatcher watcher(static_cast<std::size_t>(steps) * periodMs *
                             testing::PrivateJackServer::kSampleRate /
                             testing::PrivateJackServer::kPeriodFrames / 1000 +
                         1000);
    std::printf("jack_timing: %d steps every %u ms, private jackd -d dummy -r %u -p %u "
                "(period %.0f us)\n",
                steps, periodMs, testing::PrivateJackServer::kSampleRate,
                testing::PrivateJackServer::kPeriodFrames,
                1e6 * testing::PrivateJackServer::kPeriodFrames /
                    testing::PrivateJackServer::kSampleRate);

    Results results;
    OursPlayer ours;
    RtMidiPlayer rtmidi;
    const char* why = "";
    watcher.recording.store(true);
    const bool oursPlayed =
        playOurs(ours, receiver.portName(), steps, periodMs, false, results.oursLate, why);
    watcher.recording.store(false);
    if (!oursPlayed) {
        return fail(why);
    }
    const std::size_t oursEnd = receiver.count();
    if (!playRtMidi(rtmidi, receiver.portName(), steps, periodMs, why)) {
        return fail(why);
    }
    const std::size_t rtEnd = receiver.count();
    OursPlayer lateTimer;
    if (!playOurs(lateTimer, receiver.portName(), steps, periodMs, true, results.lateTimerLate,
                  why)) {
        return fail(why);
    }
    const auto events = receiver.events();
    results.oursArrived = arrivalsOf(events, 0, oursEnd, steps);
    results.rtArrived = arrivalsOf(events, oursEnd, rtEnd, steps);
    results.lateTimerArrived = arrivalsOf(events, rtEnd, events.size(), steps);
    results.cycleErrors = watcher.errors();
    report(results, ours, rtmidi, lateTimer, periodMs * 1000.0);
    return 0;
}
