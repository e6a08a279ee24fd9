// The whole way from the pattern grid to another program: the real step clock plays a
// pattern through the JACK back end to a receiver client on a private JACK server.

#include "backends/device_list.h"
#include "jack_test_server.h"

#include "engine/rhythm_engine.h"
#include "midiout/midi_out.h"
#include "platform/periodic_timer.h"

#include <jack/jack.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
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

// The device list's index of the JACK input `port`, opened; -1 when it is not listed.
int openListed(midiout::MidiOut& out, const std::string& port, midiout::MidiOutHandle& handle) {
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == port && out.open(i, &handle) == midiout::kMidiOk) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::int32_t framesBetween(const testing::ReceivedEvent& a, const testing::ReceivedEvent& b) {
    return static_cast<std::int32_t>(b.frame - a.frame);
}

// A bar at 260 with a note on every step, MIDI clock going out through `clock`; stops once
// `notes` has heard it.
void playABarWithClock(midiout::MidiOut& out, midiout::MidiOutHandle handle,
                       midiout::ClockSink& clock, const testing::JackMidiReceiver& notes) {
    platform::TimerService timers;
    RhythmEngine engine(timers, &out);
    engine.trigger().setHandle(handle);
    engine.trigger().setVelocity(1, 100);
    for (int c = 1; c <= kCells; ++c) {
        engine.grid().set(1, c, true);
    }
    engine.tempoSelector().setPosition(260);
    engine.UpdateStepPeriod();
    engine.setClockOut(&clock, false);
    engine.StartPlayback();
    EXPECT_TRUE(notes.waitForCount(16, 10s));
    engine.StopPlayback();
}

// MIDI clock out on its own port of our client, beside the notes on another program's
// input: gear connected to it starts with the first step, keeps its clocks on the steps'
// frames, stops where the next step would have been, and the port goes at the end.
TEST(JackClockOutEndToEnd, ClocksOnTheStepsFramesFromStartToStopAndNoPortLeftBehind) {
    testing::PrivateJackServer server;
    ASSERT_TRUE(server.start());
    testing::JackMidiReceiver notes("notes");
    testing::JackMidiReceiver gear("gear");
    ASSERT_TRUE(notes.ok() && gear.ok());
    backends::Outputs outputs = backends::discoverOutputs(gear.portName());
    ASSERT_NE(outputs.clockPort, nullptr) << outputs.clockWhy;
    EXPECT_EQ(gear.connectionCount(), 1);
    midiout::MidiOut out(std::move(outputs.devices));
    midiout::MidiOutHandle handle = 0;
    const int index = openListed(out, notes.portName(), handle);
    ASSERT_GE(index, 0);
    playABarWithClock(out, handle, *outputs.clockPort, notes);
    const std::size_t steps = out.sentCount(static_cast<unsigned>(index));
    const int n = clocksPerStep(TimeSig::FourFour);
    ASSERT_TRUE(gear.waitForCount(3 + steps * n, 2s)) << gear.count();
    const auto stepFrames = static_cast<std::int32_t>(
        stepPeriodMs(TimeSig::FourFour, 260) * testing::PrivateJackServer::kSampleRate / 1000);
    const std::vector<testing::ReceivedEvent> heard = notes.events();
    const std::vector<testing::ReceivedEvent> clock = gear.events();
    ASSERT_EQ(clock.size(), 3 + steps * n);
    EXPECT_EQ(clock[0].data(), (std::vector<std::uint8_t>{0xF2, 0, 0}));
    EXPECT_EQ(clock[1].data(), std::vector<std::uint8_t>{0xFA});
    EXPECT_EQ(clock[1].frame, clock[2].frame) << "Start and the first clock apart";
    // A step's clocks are placed on frames from one reading of the server's clock: exactly
    // a sixth of the step apart. Each step's first one is on its notes' frame, as far as the
    // server's clock estimate keeps still between the two readings (the benchmark measures
    // it). A busy machine may stall the server so that it runs ahead of its own estimate
    // and a clock's period has gone out before the clock reaches it (the port counts it
    // late): one such clock in the bar is let pass, as it is no fault of the placement.
    const std::int32_t leeway = testing::PrivateJackServer::kSampleRate / 1000;
    std::string offFrame;
    int misplaced = 0;
    for (std::size_t step = 0; step < steps; ++step) {
        const std::size_t first = 2 + step * static_cast<std::size_t>(n);
        EXPECT_LE(std::abs(framesBetween(heard[step], clock[first])), leeway) << step;
        for (int c = 1; c < n; ++c) {
            EXPECT_EQ(clock[first + c].data(), std::vector<std::uint8_t>{0xF8});
            const double off = framesBetween(clock[first], clock[first + c]) -
                               static_cast<double>(stepFrames) * c / n;
            if (std::abs(off) > 1.0) {
                ++misplaced;
                offFrame += " " + std::to_string(step) + "." + std::to_string(c) + ": " +
                            std::to_string(off);
            }
        }
    }
    EXPECT_LE(misplaced, 1) << "clocks off their share of the step:" << offFrame;
    EXPECT_EQ(clock.back().data(), std::vector<std::uint8_t>{0xFC});
    // The Stop is sent from the window's thread, but on the frame read with the last
    // step's stamps: one step after it, however far the server's clock moved since.
    EXPECT_LE(std::abs(framesBetween(heard[steps - 1], clock.back()) - stepFrames), leeway);

    outputs.clockPort.reset();
    EXPECT_EQ(jack_port_by_name(gear.client(), "Tambrel:clock out"), nullptr);
    EXPECT_EQ(out.close(handle), midiout::kMidiOk);
}

// Whether `gear` hears the clocks that keep running while stopped, within a second.
bool hearsIdleClocks(const testing::JackMidiReceiver& gear) {
    const std::size_t before = gear.count();
    return gear.waitForCount(before + 24, 1s) && gear.events().back().data()[0] == 0xF8;
}

// A JACK server restarted under a running Tambrel: the clock's port went with the old
// server, and a device switch (choosing the output again, which reopens a JACK device) makes
// it again on the new one, connected to the same gear, whose clocks run on.
TEST(JackClockOutEndToEnd, ADeviceSwitchAfterTheServerRestartedBringsTheClockBack) {
    testing::PrivateJackServer server;
    ASSERT_TRUE(server.start());
    auto gear = std::make_unique<testing::JackMidiReceiver>("gear");
    ASSERT_TRUE(gear->ok());
    backends::Outputs outputs = backends::discoverOutputs(gear->portName());
    ASSERT_NE(outputs.clockPort, nullptr) << outputs.clockWhy;
    platform::TimerService timers;
    RhythmEngine engine(timers, nullptr);
    engine.setClockOut(outputs.clockPort.get(), true);
    ASSERT_TRUE(hearsIdleClocks(*gear));

    server.stop();
    gear.reset(); // a client of the gone server, closed before another of its name starts
    ASSERT_TRUE(server.start());
    gear = std::make_unique<testing::JackMidiReceiver>("gear");
    ASSERT_TRUE(gear->ok());
    EXPECT_FALSE(hearsIdleClocks(*gear)) << "clocks before the port was made again";

    engine.haltClock();
    engine.reconnectLost();
    engine.resumeAfterSwitch();
    EXPECT_EQ(gear->connectionCount(), 1);
    EXPECT_TRUE(hearsIdleClocks(*gear)) << "no clocks from the port made again";
    engine.haltClock();
    engine.setClockOut(nullptr, false);
}

} // namespace
} // namespace tambrel::engine
