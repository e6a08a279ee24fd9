// The whole way from the pattern grid to another program: the real step clock plays a
// pattern through the JACK back end to a receiver client on a private JACK server.

#include "backends/device_list.h"
#include "jack_test_server.h"

#include "engine/rhythm_engine.h"
#include "midiout/midi_out.h"

#include <gtest/gtest.h>

#include <thread>

namespace tambrel::engine {
namespace {

using namespace std::chrono_literals;

struct Hit {
    int track;
    int cell;
};

// The note-on messages of the pattern's first `steps` steps, in the order they are sent.
std::vector<std::vector<std::uint8_t>> notesOf(RhythmEngine& engine, int steps) {
    std::vector<std::vector<std::uint8_t>> notes;
    for (int step = 0; step < steps; ++step) {
        const int cell = step % 16 + 1;
        for (int track = 1; track <= kTracks; ++track) {
            if (engine.grid().isOn(track, cell)) {
                notes.push_back({0x99, static_cast<std::uint8_t>(engine.trigger().key(track)),
                                 static_cast<std::uint8_t>(engine.trigger().velocity(track))});
            }
        }
    }
    return notes;
}

TEST(JackPatternEndToEnd, TwoBarsAtTempo260ArriveExactlyAndNothingAfterStop) {
    testing::PrivateJackServer server;
    ASSERT_TRUE(server.start());
    testing::JackMidiReceiver receiver;
    ASSERT_TRUE(receiver.ok());
    midiout::MidiOut out(backends::discoverMidiOutDevices());
    int index = -1;
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == receiver.portName()) {
            index = static_cast<int>(i);
        }
    }
    ASSERT_GE(index, 0) << "receiver not in the device list";
    midiout::MidiOutHandle handle = 0;
    ASSERT_EQ(out.open(static_cast<unsigned>(index), &handle), midiout::kMidiOk);

    platform::TimerService timers;
    RhythmEngine engine(timers, &out);
    engine.trigger().setHandle(handle);
    // A rock beat with a crash on the bar's last step, so that the last note of the
    // second bar is the last one expected; every track has its own velocity.
    const std::vector<Hit> hits = {{1, 1},  {1, 9},  {1, 11}, {2, 5},  {2, 13}, {3, 1},
                                   {3, 3},  {3, 5},  {3, 7},  {3, 9},  {3, 11}, {3, 13},
                                   {3, 15}, {4, 16}, {5, 14}, {6, 15}, {7, 16}, {8, 8}};
    for (const Hit& hit : hits) {
        engine.grid().set(hit.track, hit.cell, true);
    }
    for (int track = 1; track <= kTracks; ++track) {
        engine.trigger().setVelocity(track, 70 + 7 * track);
    }
    engine.tempoSelector().setPosition(260);
    engine.UpdateStepPeriod();
    ASSERT_EQ(engine.stepsPerBar(), 16);

    // Two bars are awaited; a busy machine may let a few more steps out before Stop.
    const std::vector<std::vector<std::uint8_t>> expected = notesOf(engine, 8 * 16);
    const std::size_t twoBars = expected.size() / 4;
    engine.StartPlayback();
    // Stop once the second bar's last note is in. Whatever the step clock had sent by the
    // time Stop returned must arrive, in order, and nothing after it.
    const bool allArrived = receiver.waitForCount(twoBars, 10s);
    engine.StopPlayback();
    const std::uint64_t sent = out.sentCount(static_cast<unsigned>(index));
    ASSERT_TRUE(allArrived) << receiver.count() << " of " << twoBars;
    ASSERT_LT(sent, expected.size()) << "Stop came more than six bars late";
    std::this_thread::sleep_for(300ms);

    const auto events = receiver.events();
    ASSERT_EQ(events.size(), sent) << "notes after Stop, or notes lost";
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].data(), expected[i]) << "note " << i;
    }
    EXPECT_EQ(out.close(handle), midiout::kMidiOk);
}

} // namespace
} // namespace tambrel::engine
