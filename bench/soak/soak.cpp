#include "soak.h"

#include "alloc_counter.h"
#include "jack_test_server.h"

#include "backends/jack/jack_midi_device.h"
#include "machine/machine.h"
#include "patterns/pattern_file.h"
#include "patterns/presets.h"
#include "platform/files.h"
#include "platform/periodic_timer.h"
#include "tests/support/memory_midi.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::soak {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr unsigned kMemoryDevice = 0;
constexpr unsigned kJackDevice = 1;
constexpr int kFastestTempo = engine::kTempoMax;

// A bare absolute-deadline loop at the step period, with the timer's priority: what this
// machine allows at that moment, measured beside the step clock.
class FloorLoop {
public:
    explicit FloorLoop(int periodMs)
        : periodNanos_(periodMs * 1000000LL), thread_([this] { run(); }) {}
    ~FloorLoop() {
        stop_.store(true);
        thread_.join();
    }
    double worstLateUs() const { return worstNanos_.load() / 1000.0; }

private:
    void run() {
        platform::raiseTimerThreadPriority();
        timespec base{};
        clock_gettime(CLOCK_MONOTONIC, &base);
        for (long long n = 1; !stop_.load(); ++n) {
            const long long ns = base.tv_nsec + n * periodNanos_;
            const timespec due{base.tv_sec + static_cast<time_t>(ns / 1000000000LL),
                               ns % 1000000000LL};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
            }
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long late =
                (now.tv_sec - due.tv_sec) * 1000000000LL + (now.tv_nsec - due.tv_nsec);
            worstNanos_.store(std::max(worstNanos_.load(), late));
        }
    }
    long long periodNanos_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> worstNanos_{0};
    std::thread thread_;
};

// Other threads at the grid: cells on and off, and Clear, as fast as they can.
class GridEditors {
public:
    GridEditors(engine::PatternGrid& grid, int threads) {
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this, &grid, i] {
                std::minstd_rand random(static_cast<unsigned>(i + 1));
                while (!stop_.load(std::memory_order_relaxed)) {
                    const auto r = random();
                    if (r % 500 == 0) {
                        grid.clear();
                    } else {
                        grid.toggle(1 + static_cast<int>(r % engine::kTracks),
                                    1 + static_cast<int>((r >> 8) % engine::kCells));
                    }
                    std::this_thread::yield();
                }
            });
        }
    }
    ~GridEditors() {
        stop_.store(true);
        for (std::thread& t : threads_) {
            t.join();
        }
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// Good pattern files (the rhythms, as saved) and refused ones, to load.
std::vector<std::string> writePatternFiles(const std::filesystem::path& dir) {
    std::vector<std::string> paths;
    for (const patterns::Preset& preset : patterns::allPresets()) {
        machine::Machine scratch;
        patterns::applyPreset(scratch, preset);
        const std::string path = (dir / (std::to_string(paths.size()) + ".qel")).string();
        if (!patterns::savePatternFile(patterns::BuildPatternLines(scratch), path)) {
            throw std::runtime_error("soak: cannot write " + path);
        }
        paths.push_back(path);
    }
    for (const char* bad : {"4/4\r\n120\r\nTR1INFO:1x+Cowbell\r\n", "", "3/4\r\nfast\r\n"}) {
        const std::string path = (dir / (std::to_string(paths.size()) + ".qel")).string();
        if (const std::optional<std::string> why = platform::replaceFile(path, bad)) {
            throw std::runtime_error("soak: cannot write " + path + ": " + *why);
        }
        paths.push_back(path);
    }
    return paths;
}

// The window's thread: everything a user does through the window, as fast as it can.
class WindowThread {
public:
    WindowThread(machine::Machine& machine, std::vector<std::string> files)
        : m_(machine), files_(std::move(files)) {}

    // Stop if need be, back to "4/4" at the fastest tempo, and Play.
    void playAtFullSpeed() {
        engine::RhythmEngine& engine = m_.engine();
        engine.StopPlayback();
        engine.SelectTimeSignature(engine::TimeSig::FourFour);
        engine.tempoSelector().setPosition(kFastestTempo);
        engine.UpdateStepPeriod();
        engine.StartPlayback();
    }

    // One thing a user does. Edits come as fast as they can; what may stop the clock (a
    // load, a rhythm, a tempo or signature change, Stop and Play, a device switch) comes
    // every kDisruptEvery, so that the clock plays a few steps between them.
    void act() {
        ++actions_;
        const auto r = random_();
        const auto now = Clock::now();
        if (now >= nextDisruption_) {
            nextDisruption_ = now + kDisruptEvery;
            disrupt(r);
        } else if (r & 0x100) {
            static constexpr const char* kNames[] = {"Cowbell", "Claves", "Bass Drum 1", ""};
            m_.tracks().instrumentChanged(1 + static_cast<int>(r % engine::kTracks),
                                          kNames[(r >> 12) % 4]);
        } else {
            m_.tracks().setVolume(1 + static_cast<int>(r % engine::kTracks),
                                  static_cast<long long>((r >> 12) % 128));
        }
        if (m_.engine().playState() != engine::PlayState::Playing) {
            playAtFullSpeed();
        }
    }

    std::uint64_t disruptions() const { return disruptions_; }

    std::uint64_t actions() const { return actions_; }

private:
    static constexpr auto kDisruptEvery = std::chrono::milliseconds(300);

    void disrupt(std::uint_fast32_t r) {
        ++disruptions_;
        switch (disruptions_ % 6) {
        case 0: // a load, good or refused: either answer is part of the mix
            static_cast<void>(patterns::loadPatternFile(m_, files_[(r >> 12) % files_.size()]));
            break;
        case 1: // a rhythm (one in another signature stops the clock)
            patterns::applyPreset(m_, patterns::allPresets()[(r >> 12) % 27]);
            break;
        case 2: // a tempo, heard from the next Play
            m_.engine().tempoSelector().setPosition(engine::kTempoMin + (r >> 12) % 231);
            m_.engine().UpdateStepPeriod();
            break;
        case 3: // the time-signature spinner
            m_.engine().selectTimeSignatureFromSelector();
            m_.engine().timeSignatureSelector().step(true);
            break;
        case 4: // Stop, then Play
            playAtFullSpeed();
            break;
        default: // the other device
            m_.device().selector().setPosition(
                m_.device().deviceNumber() == static_cast<int>(kJackDevice) ? kMemoryDevice
                                                                            : kJackDevice);
            m_.device().switchToSelectedDevice();
            break;
        }
    }

    machine::Machine& m_;
    std::vector<std::string> files_;
    std::minstd_rand random_{2026};
    Clock::time_point nextDisruption_ = Clock::now() + kDisruptEvery;
    std::uint64_t actions_ = 0;
    std::uint64_t disruptions_ = 0;
};

} // namespace

std::string SoakResult::summary() const {
    char line[256];
    std::snprintf(
        line, sizeof line,
        "soak: ticks=%llu received=%llu expected=%llu missed=%llu duplicated=%llu "
        "tick_allocs=%lld worst_late_vs_floor=%.2f seconds=%.0f",
        static_cast<unsigned long long>(ticks), static_cast<unsigned long long>(received),
        static_cast<unsigned long long>(expected), static_cast<unsigned long long>(missed),
        static_cast<unsigned long long>(duplicated), tickAllocations, worstLateVsFloor(), seconds);
    return line;
}

SoakResult runSoak(double seconds) {
    SoakResult result;
    // Synchronous: the server waits for the receiver every period. An asynchronous one
    // skips a receiver that a loaded machine holds back, and the receiver then loses what
    // that period carried, which is not what the soak is after.
    testing::PrivateJackServer server;
    server.makeSynchronous();
    if (!server.start()) {
        result.failure = "jackd did not start";
        return result;
    }
    testing::JackMidiReceiver receiver("soak-receiver", 1 << 20);
    midiout::BackendDevices jack = backends::discoverJackMidiDevices();
    if (!receiver.ok() || jack.others.size() != 1) {
        result.failure = "no JACK receiver to play to";
        return result;
    }
    tambrel::testing::MidiRecorder recorder(1 << 20);
    midiout::MidiOutDeviceList devices = tambrel::testing::makeMemoryMidiDevices(1, recorder);
    devices.push_back(std::move(jack.others.front()));

    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tambrel-soak-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        machine::Machine machine(std::move(devices), [](int) {});
        machine.device().startup();
        WindowThread window(machine, writePatternFiles(dir));
        const FloorLoop floor(engine::stepPeriodMs(engine::TimeSig::FourFour, kFastestTempo));
        const auto start = Clock::now();
        testing::armTimerThreadAllocationCount();
        {
            const GridEditors editors(machine.engine().grid(), 2);
            window.playAtFullSpeed();
            while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
                window.act();
            }
        }
        machine.engine().StopPlayback();
        result.tickAllocations = testing::disarmTimerThreadAllocationCount();
        result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // Closing lets what was sent to the JACK port go out first.
        if (!machine.device().closeAtExit()) {
            std::fprintf(stderr, "soak: the device did not close cleanly\n");
        }
        result.ticks = machine.timers().stats().expiries.load();
        result.worstLateUs = machine.timers().stats().worstLateNanos.load() / 1000.0;
        result.floorWorstLateUs = floor.worstLateUs();
        result.expected = machine.midiOut().sentCount(kJackDevice);
        result.userActions = window.actions();
    }
    receiver.waitForCount(result.expected, 2s);
    std::this_thread::sleep_for(100ms); // anything doubled would have come by now
    result.received = receiver.count();
    result.missed = result.expected > result.received ? result.expected - result.received : 0;
    result.duplicated = result.received > result.expected ? result.received - result.expected : 0;
    std::filesystem::remove_all(dir);
    return result;
}

} // namespace tambrel::soak
