// The tick's contract, kept: while the step clock ticks through the real timer and
// another thread edits the pattern the whole time, nothing is allocated on the timer's
// thread, whichever back end the notes go to. Every operator new of this program is
// counted when it runs on a timer's thread (tests/support/alloc_counter).

#include "alloc_counter.h"
#include "jack_test_server.h"
#include "tests/support/needs.h"

#include "backends/jack/jack_midi_device.h"
#include "backends/synth/offline_synth.h"
#include "machine/machine.h"
#include "platform/periodic_timer.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace tambrel {
namespace {

using namespace std::chrono_literals;

constexpr int kTicks = 200;
constexpr std::uint32_t kPeriodMs = 5;

// The engine's own tick, counted.
struct CountedTick {
    engine::RhythmEngine* engine = nullptr;
    std::atomic<int> ticks{0};
    static void run(void* self, platform::TimerClock::time_point due) noexcept {
        auto* counted = static_cast<CountedTick*>(self);
        engine::RhythmEngine::TimerCallback(counted->engine, engine::TimelineStep{due});
        counted->ticks.fetch_add(1, std::memory_order_relaxed);
    }
};

// What a user does while the pattern plays: cells, instruments, volumes, Clear.
void editUntil(machine::Machine& m, const std::atomic<bool>& stop) {
    static constexpr const char* kNames[] = {"Cowbell", "Acoustic Snare", "Claves", ""};
    for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const int track = 1 + i % engine::kTracks;
        m.engine().grid().toggle(track, 1 + i % engine::kCells);
        m.tracks().instrumentChanged(track, kNames[i % 4]);
        m.tracks().setVolume(track, 40 + i % 80);
        if (i % 97 == 0) {
            m.engine().ClearPattern();
        }
        std::this_thread::sleep_for(200us);
    }
}

// Plays kTicks ticks at kPeriodMs through the real timer to the machine's open device,
// with edits from another thread; `pump` runs on this thread meanwhile (an offline synth
// renders there). Returns the allocations counted on the timer's thread.
long long timerAllocationsWhilePlaying(machine::Machine& m, const std::function<void()>& pump) {
    for (int t = 1; t <= engine::kTracks; ++t) {
        for (int c = 1; c <= engine::kCells; ++c) {
            m.engine().grid().set(t, c, true);
        }
    }
    std::atomic<bool> stop{false};
    std::thread editor([&] { editUntil(m, stop); });
    CountedTick tick{&m.engine()};
    testing::armTimerThreadAllocationCount();
    const std::uint32_t id = m.timers().start(kPeriodMs, &CountedTick::run, &tick);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (tick.ticks.load() < kTicks && std::chrono::steady_clock::now() < end) {
        if (pump) {
            pump();
        }
        std::this_thread::sleep_for(2ms);
    }
    m.timers().kill(id);
    const long long allocations = testing::disarmTimerThreadAllocationCount();
    stop.store(true);
    editor.join();
    EXPECT_GE(tick.ticks.load(), kTicks);
    return allocations;
}

midiout::MidiOutDeviceList oneDevice(std::unique_ptr<midiout::MidiOutDevice> device) {
    midiout::MidiOutDeviceList list;
    list.push_back(std::move(device));
    return list;
}

TEST(TickContract, AnAllocationOnATimerThreadIsCounted) {
    platform::TimerService timers;
    static std::atomic<int> calls{0};
    testing::armTimerThreadAllocationCount();
    const std::uint32_t id = timers.start(
        1,
        [](void*, platform::TimerClock::time_point) noexcept {
            // A call, not a new-expression: the compiler may not leave it out.
            ::operator delete(::operator new(sizeof(int) + calls.fetch_add(1) % 2));
        },
        nullptr);
    while (calls.load() < 3) {
        std::this_thread::sleep_for(1ms);
    }
    timers.kill(id);
    EXPECT_GE(testing::disarmTimerThreadAllocationCount(), 3);
}

TEST(TickContract, NoAllocationWhilePlayingToTheInMemoryDevice) {
    tambrel::testing::MidiRecorder recorder;
    machine::Machine m(tambrel::testing::makeMemoryMidiDevices(1, recorder), [](int) {});
    m.device().startup();
    EXPECT_EQ(timerAllocationsWhilePlaying(m, {}), 0);
    EXPECT_GT(recorder.size(), 0u);
}

TEST(TickContract, NoAllocationWhilePlayingToTheBuiltInSynth) {
    const auto soundfont = backends::findGmSoundfont();
    if (!soundfont) {
        TAMBREL_MISSING_NEED("no General MIDI soundfont installed");
    }
    auto synth = std::make_unique<backends::OfflineSynth>(*soundfont);
    backends::OfflineSynth* device = synth.get();
    machine::Machine m(oneDevice(std::move(synth)), [](int) {});
    m.device().startup();
    ASSERT_TRUE(m.device().isOpen());
    std::vector<float> left(256);
    std::vector<float> right(256);
    float peak = 0.0f;
    const long long allocations = timerAllocationsWhilePlaying(m, [&] {
        device->render(left.data(), right.data(), static_cast<int>(left.size()));
        for (float v : left) {
            peak = std::max(peak, std::abs(v));
        }
    });
    EXPECT_EQ(allocations, 0);
    EXPECT_GT(peak, 0.0f) << "the synth heard nothing";
}

TEST(TickContract, NoAllocationWhilePlayingThroughJack) {
    testing::PrivateJackServer server;
    ASSERT_TRUE(server.start());
    testing::JackMidiReceiver receiver("receiver");
    ASSERT_TRUE(receiver.ok());
    midiout::BackendDevices jack = backends::discoverJackMidiDevices();
    ASSERT_EQ(jack.others.size(), 1u);
    machine::Machine m(oneDevice(std::move(jack.others.front())), [](int) {});
    m.device().startup();
    ASSERT_TRUE(m.device().isOpen());
    EXPECT_EQ(timerAllocationsWhilePlaying(m, {}), 0);
    EXPECT_TRUE(receiver.waitForCount(1, 2s));
}

} // namespace
} // namespace tambrel
