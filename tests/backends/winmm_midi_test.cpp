// MIDI output through WinMM: the machine's own device list for real (Wine here has no
// MIDI output device), and the open, send and close path against stand-ins for the
// midiOut* calls, with devices that the machine does not have.

#include "backends/device_list.h"
#include "backends/winmm/winmm_midi.h"

#include "engine/rhythm_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tambrel::backends {

using namespace midiout;
namespace {

TEST(WinMmMidi, TheDeviceListIsTheSystemsOwn) {
    const UINT count = midiOutGetNumDevs();
    MidiOut out(discoverMidiOutDevices());
    ASSERT_EQ(out.deviceCount(), count);
    for (UINT i = 0; i < count; ++i) {
        MIDIOUTCAPSA caps{};
        ASSERT_EQ(midiOutGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR);
        EXPECT_EQ(out.deviceName(i), caps.szPname);
    }
    // Past the end (with no device: device 0) nothing opens and nothing is sent.
    MidiOutHandle handle = 77;
    EXPECT_EQ(out.open(count, &handle), kMidiBadDeviceId);
    EXPECT_EQ(handle, 77U);
    EXPECT_EQ(out.send(count + 1, 0x99), kMidiInvalidHandle);
}

// --- The stand-in system: three devices, every call recorded.

struct Call {
    std::string what;
    UINT_PTR device = 0;
    HMIDIOUT handle = nullptr;
    DWORD value = 0; // the message, or the open's flags
    bool operator==(const Call&) const = default;
};

struct FakeSystem {
    static inline std::vector<std::string> names;
    static inline std::vector<Call> calls;
    static inline MMRESULT openStatus = MMSYSERR_NOERROR;
    static inline MMRESULT capsStatus = MMSYSERR_NOERROR;

    static HMIDIOUT handleOf(UINT device) {
        return reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(0x1000 + device));
    }

    static UINT WINAPI getNumDevs() { return static_cast<UINT>(names.size()); }

    static MMRESULT WINAPI getDevCaps(UINT_PTR device, LPMIDIOUTCAPSA caps, UINT size) {
        if (size != sizeof(MIDIOUTCAPSA) || device >= names.size()) {
            return MMSYSERR_INVALPARAM;
        }
        if (capsStatus != MMSYSERR_NOERROR) {
            return capsStatus;
        }
        std::memset(caps, 0, size);
        // The whole field, with no room left for the NUL when the name is that long.
        std::memcpy(caps->szPname, names[device].data(),
                    std::min(names[device].size(), sizeof caps->szPname));
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI open(LPHMIDIOUT handle, UINT device, DWORD_PTR callback,
                                DWORD_PTR instance, DWORD flags) {
        calls.push_back({"open", device, nullptr, flags});
        if (callback != 0 || instance != 0) {
            return MMSYSERR_INVALPARAM;
        }
        if (openStatus == MMSYSERR_NOERROR) {
            *handle = handleOf(device);
        }
        return openStatus;
    }

    static MMRESULT WINAPI shortMsg(HMIDIOUT handle, DWORD message) {
        calls.push_back({"send", 0, handle, message});
        return MMSYSERR_NOERROR;
    }

    static MMRESULT WINAPI close(HMIDIOUT handle) {
        calls.push_back({"close", 0, handle, 0});
        return MMSYSERR_NOERROR;
    }

    static constexpr WinMmMidiCalls kCalls{&getNumDevs, &getDevCaps, &open, &shortMsg, &close};
};

class WinMmMidiFake : public ::testing::Test {
protected:
    WinMmMidiFake() {
        FakeSystem::names = {"Microsoft GS Wavetable Synth", std::string(31, 'b'),
                             std::string(32, 'c')};
        FakeSystem::calls.clear();
        FakeSystem::openStatus = MMSYSERR_NOERROR;
        FakeSystem::capsStatus = MMSYSERR_NOERROR;
    }
};

TEST_F(WinMmMidiFake, ListsEveryDeviceByNumberWithTheNameItsRecordHolds) {
    MidiOut out(discoverWinMmMidiDevices(FakeSystem::kCalls));
    ASSERT_EQ(out.deviceCount(), 3U);
    EXPECT_EQ(out.deviceName(0), "Microsoft GS Wavetable Synth");
    EXPECT_EQ(out.deviceName(1), std::string(31, 'b'));
    // A record filled to the last byte without its NUL still gives 31 characters.
    EXPECT_EQ(out.deviceName(2), std::string(31, 'c'));
    // A device that does not answer has no name rather than an undefined one.
    FakeSystem::capsStatus = MMSYSERR_NODRIVER;
    EXPECT_EQ(out.deviceName(0), "");
    EXPECT_TRUE(FakeSystem::calls.empty()) << "listing opened a device";
}

TEST_F(WinMmMidiFake, OpenSendAndCloseGoToTheDeviceThatWasOpened) {
    MidiOut out(discoverWinMmMidiDevices(FakeSystem::kCalls));
    MidiOutHandle handle = 0;
    ASSERT_EQ(out.open(2, &handle), kMidiOk);
    EXPECT_EQ(out.send(handle, 0x00642399), kMidiOk);
    EXPECT_EQ(out.close(handle), kMidiOk);
    // Once closed, nothing more reaches the device.
    EXPECT_EQ(out.send(handle, 0x00642399), kMidiInvalidHandle);
    EXPECT_EQ(out.close(handle), kMidiInvalidHandle);
    const HMIDIOUT h = FakeSystem::handleOf(2);
    EXPECT_EQ(FakeSystem::calls, (std::vector<Call>{{"open", 2, nullptr, CALLBACK_NULL},
                                                    {"send", 0, h, 0x00642399},
                                                    {"close", 0, h, 0}}));
}

TEST_F(WinMmMidiFake, AnOpenTheSystemRefusesLeavesTheDeviceClosed) {
    MidiOut out(discoverWinMmMidiDevices(FakeSystem::kCalls));
    for (const MMRESULT status : {MMSYSERR_ALLOCATED, MIDIERR_NODEVICE, MMSYSERR_NOMEM}) {
        FakeSystem::openStatus = status;
        MidiOutHandle handle = 0;
        EXPECT_EQ(out.open(0, &handle), kMidiError) << status;
        EXPECT_EQ(handle, 0U);
        EXPECT_FALSE(out.isOpen(1));
    }
    FakeSystem::openStatus = MMSYSERR_NOERROR;
    MidiOutHandle handle = 0;
    EXPECT_EQ(out.open(0, &handle), kMidiOk) << "a refused open blocks the next one";
}

TEST_F(WinMmMidiFake, AStepReachesMidiOutShortMsgAsPackedNoteOns) {
    MidiOut out(discoverWinMmMidiDevices(FakeSystem::kCalls));
    platform::TimerService timers;
    engine::RhythmEngine engine(timers, &out);
    MidiOutHandle handle = 0;
    ASSERT_EQ(out.open(0, &handle), kMidiOk);
    engine.trigger().setHandle(handle);
    engine.trigger().setKey(1, 35);
    engine.trigger().setKey(3, 42);
    engine.trigger().setVelocity(1, 100);
    engine.trigger().setVelocity(3, 80);
    engine.grid().set(1, 1, true);
    engine.grid().set(3, 1, true);
    FakeSystem::calls.clear();
    engine.StepTick();
    const HMIDIOUT h = FakeSystem::handleOf(0);
    // Status lowest, then key, then velocity: bass drum (35) at 100, hi-hat (42) at 80.
    EXPECT_EQ(FakeSystem::calls,
              (std::vector<Call>{{"send", 0, h, 0x00642399}, {"send", 0, h, 0x00502A99}}));
}

} // namespace
} // namespace tambrel::backends
