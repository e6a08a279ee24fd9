#include "machine/machine.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tambrel::midi {
namespace {

using machine::Machine;

using namespace std::chrono_literals;

struct Rig {
    explicit Rig(unsigned devices)
        : machine(tambrel::testing::makeMemoryMidiDevices(devices, recorder),
                  [this](int ms) { slept += ms; }) {}
    tambrel::testing::MemoryMidiDevice& dev(unsigned i) {
        return static_cast<tambrel::testing::MemoryMidiDevice&>(*machine.midiOut().device(i));
    }
    // One click of the device spinner: the handler, then the spinner moves.
    void click(bool up) {
        machine.device().switchToSelectedDevice();
        machine.device().selector().step(up);
    }
    tambrel::testing::MidiRecorder recorder;
    int slept = 0;
    Machine machine;
};

TEST(MidiDevice, StartupOpensDeviceZeroAndShowsItsName) {
    Rig rig(3);
    rig.machine.device().startup();
    EXPECT_EQ(rig.machine.device().deviceCount(), 3U);
    EXPECT_EQ(rig.machine.device().selector().max(), 2);
    EXPECT_TRUE(rig.machine.device().isOpen());
    EXPECT_TRUE(rig.dev(0).isOpen());
    EXPECT_EQ(rig.machine.device().deviceName(), "Memory MIDI 1");
    EXPECT_EQ(std::to_string(rig.machine.device().deviceNumber()), "0");
    EXPECT_EQ(rig.slept, 0);
}

TEST(MidiDevice, SwitchFollowsTheSpinnerOneClickBehind) {
    Rig rig(3);
    rig.machine.device().startup();
    const std::vector<std::pair<bool, std::string>> clicks = {
        {true, "0"}, {true, "1"}, {true, "2"}, {false, "0"}, {false, "2"}};
    for (const auto& [up, shown] : clicks) {
        rig.click(up);
        EXPECT_EQ(std::to_string(rig.machine.device().deviceNumber()), shown);
        const unsigned n = static_cast<unsigned>(std::stoi(shown));
        EXPECT_EQ(rig.machine.device().deviceName(), "Memory MIDI " + std::to_string(n + 1));
        for (unsigned d = 0; d < 3; ++d) {
            EXPECT_EQ(rig.dev(d).isOpen(), d == n) << "device " << d << " after showing " << shown;
        }
    }
    EXPECT_EQ(rig.slept, 500) << "each switch waits 100 ms for the old device to let go";
    EXPECT_EQ(rig.dev(0).openCount(), 3); // startup, re-open on the first click, the wrap back
}

TEST(MidiDevice, NoDeviceKeepsNoneAndSpinsOverZeroAndOne) {
    Rig rig(0);
    rig.machine.device().startup();
    EXPECT_EQ(rig.machine.device().deviceName(), "None");
    EXPECT_EQ(rig.machine.device().selector().max(), 1);
    std::vector<std::string> shown;
    for (int i = 0; i < 3; ++i) {
        rig.click(true);
        shown.push_back(std::to_string(rig.machine.device().deviceNumber()));
        EXPECT_FALSE(rig.machine.device().isOpen());
        EXPECT_EQ(rig.machine.device().deviceName(), "None");
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"0", "1", "0"}));
    // Playing without a device runs silently.
    rig.machine.engine().grid().set(1, 1, true);
    rig.machine.engine().StartPlayback();
    rig.machine.engine().StepTick();
    rig.machine.engine().StopPlayback();
    EXPECT_EQ(rig.recorder.size(), 0U);
}

TEST(MidiDevice, FailedOpenStaysClosedAndTheNextClickTriesAgain) {
    Rig rig(2);
    rig.dev(1).setFailOpen(true);
    rig.machine.device().startup();
    rig.click(true); // re-open 0
    rig.click(true); // try 1: fails
    EXPECT_EQ(std::to_string(rig.machine.device().deviceNumber()), "1");
    EXPECT_EQ(rig.machine.device().deviceName(), "Memory MIDI 2");
    EXPECT_FALSE(rig.machine.device().isOpen());
    rig.machine.engine().grid().set(1, 1, true);
    rig.machine.engine().StepTick();
    EXPECT_EQ(rig.recorder.size(), 0U) << "sends on the closed handle are dropped";
    rig.click(true); // wraps back to 0
    EXPECT_TRUE(rig.machine.device().isOpen());
}

TEST(MidiDevice, SwitchWhilePlayingHaltsTheClockAndStopThenPlayResumesOnTheNewDevice) {
    Rig rig(2);
    rig.machine.device().startup();
    auto& engine = rig.machine.engine();
    engine.tempoSelector().setPosition(260);
    engine.UpdateStepPeriod();
    for (int c = 1; c <= 16; ++c) {
        engine.grid().set(1, c, true);
    }
    engine.StartPlayback();
    rig.machine.device().selector().step(true); // to position 1 without a switch
    rig.click(true);                            // switch to device 1
    EXPECT_EQ(engine.playState(), engine::PlayState::Halted);
    const std::size_t atSwitch = rig.recorder.size();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.recorder.size(), atSwitch) << "notes went on after the switch";
    engine.StopPlayback();
    engine.StartPlayback();
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (rig.recorder.size() == atSwitch && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    engine.StopPlayback();
    const auto messages = rig.recorder.messages();
    ASSERT_GT(messages.size(), atSwitch);
    EXPECT_EQ(messages[atSwitch].device, 1U);
}

TEST(MidiDevice, CloseAtExitEndsTheClockBeforeClosing) {
    Rig rig(1);
    rig.machine.device().startup();
    rig.machine.engine().StartPlayback();
    EXPECT_TRUE(rig.machine.device().closeAtExit());
    EXPECT_EQ(rig.machine.engine().runningTimerId(), 0U);
    EXPECT_EQ(rig.dev(0).closeCount(), 1);
    EXPECT_FALSE(rig.dev(0).isOpen());
    // Nothing open: the close is harmless and reports no failure.
    Rig none(0);
    none.machine.device().startup();
    EXPECT_TRUE(none.machine.device().closeAtExit());
}

} // namespace
} // namespace tambrel::midi
