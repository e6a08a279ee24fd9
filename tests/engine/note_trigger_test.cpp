#include "engine/note_trigger.h"
#include "platform/memory_midi.h"
#include "tests/engine/kit_trigger.h"

#include <gtest/gtest.h>

namespace tambrel::engine {
namespace {

class NoteTriggerTest : public ::testing::Test {
protected:
    NoteTriggerTest() : out(platform::makeMemoryMidiDevices(2, recorder)), trigger(&out) {
        EXPECT_EQ(out.open(0, &handle), platform::kMidiOk);
        trigger.setHandle(handle);
        testing::giveStartKit(trigger);
    }
    std::vector<std::uint32_t> sent() const {
        std::vector<std::uint32_t> m;
        for (const auto& r : recorder.messages()) {
            m.push_back(r.message);
        }
        return m;
    }
    platform::MidiRecorder recorder;
    platform::MidiOut out;
    NoteTrigger trigger;
    platform::MidiOutHandle handle = 0;
};

TEST_F(NoteTriggerTest, SnareAtStartIsTheseFourBytes) {
    trigger.SendStepNotes("01000000");
    ASSERT_EQ(sent().size(), 1U);
    const std::uint32_t m = sent()[0];
    EXPECT_EQ(m & 0xFF, 0x99U);
    EXPECT_EQ((m >> 8) & 0xFF, 0x26U);
    EXPECT_EQ((m >> 16) & 0xFF, 0x64U);
    EXPECT_EQ(m >> 24, 0x00U);
}

TEST_F(NoteTriggerTest, OneNotePerSoundingTrackInTrackOrder) {
    trigger.SendStepNotes("10100000");
    trigger.SendStepNotes("00000000");
    trigger.SendStepNotes("1x1?1");        // anything but '1' is silent; short is fine
    trigger.SendStepNotes("000000001111"); // past the 8th character nothing counts
    EXPECT_EQ(sent(), (std::vector<std::uint32_t>{noteOnMessage(35, 100), noteOnMessage(42, 100),
                                                  noteOnMessage(35, 100), noteOnMessage(42, 100),
                                                  noteOnMessage(50, 100)}));
    recorder.clear();
    trigger.SendStepNotes("11111111");
    std::vector<std::uint32_t> kit;
    for (const midi::KitTrack& track : midi::kStartKit) {
        kit.push_back(noteOnMessage(midi::drumKey(track.instrument), 100));
    }
    EXPECT_EQ(sent(), kit);
}

TEST_F(NoteTriggerTest, VelocityZeroAndKeyZeroAreStillSent) {
    trigger.setVelocity(1, 0);
    trigger.setKey(2, 0);
    trigger.SendStepNotes("11000000");
    EXPECT_EQ(sent(), (std::vector<std::uint32_t>{0x00002399U, 0x00640099U}));
}

TEST_F(NoteTriggerTest, SendsOnAClosedOrUnknownHandleAreDropped) {
    out.close(handle);
    trigger.SendStepNotes("11111111");
    trigger.setHandle(0);
    trigger.SendStepNotes("11111111");
    trigger.setHandle(77);
    trigger.SendStepNotes("11111111");
    NoteTrigger unconnected(nullptr);
    unconnected.SendStepNotes("11111111");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(out.send(77, 0x99), platform::kMidiInvalidHandle);
}

TEST(MidiOut, DevicesOpenOnceAndNamesAreCut) {
    platform::MidiRecorder recorder;
    auto list = platform::makeMemoryMidiDevices(2, recorder);
    auto* second = static_cast<platform::MemoryMidiDevice*>(list[1].get());
    platform::MidiOut out(std::move(list));
    EXPECT_EQ(out.deviceCount(), 2U);
    EXPECT_EQ(out.deviceName(0), "Memory MIDI 1");
    EXPECT_EQ(out.deviceName(5), "");
    platform::MidiOutHandle a = 0, b = 0;
    EXPECT_EQ(out.open(0, &a), platform::kMidiOk);
    EXPECT_EQ(out.open(0, &b), platform::kMidiAllocated);
    EXPECT_EQ(out.open(9, &b), platform::kMidiBadDeviceId);
    second->setFailOpen(true);
    EXPECT_NE(out.open(1, &b), platform::kMidiOk);
    EXPECT_EQ(b, 0U);
    EXPECT_EQ(out.close(a), platform::kMidiOk);
    EXPECT_EQ(out.close(a), platform::kMidiInvalidHandle);

    platform::MidiOutDeviceList longList;
    longList.push_back(std::make_unique<platform::MemoryMidiDevice>(
        0, "A device name that is much longer than thirty-one characters", recorder));
    platform::MidiOut longOut(std::move(longList));
    EXPECT_EQ(longOut.deviceName(0).size(), platform::kMidiNameMax);
}

} // namespace
} // namespace tambrel::engine
