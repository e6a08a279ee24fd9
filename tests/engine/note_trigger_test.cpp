#include "engine/note_trigger.h"
#include "tests/engine/kit_trigger.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

namespace tambrel::engine {
namespace {

class NoteTriggerTest : public ::testing::Test {
protected:
    NoteTriggerTest() : out(tambrel::testing::makeMemoryMidiDevices(2, recorder)), trigger(&out) {
        EXPECT_EQ(out.open(0, &handle), midiout::kMidiOk);
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
    tambrel::testing::MidiRecorder recorder;
    midiout::MidiOut out;
    NoteTrigger trigger;
    midiout::MidiOutHandle handle = 0;
};

TEST_F(NoteTriggerTest, SnareAtStartIsTheseFourBytes) {
    trigger.SendStepNotes("01000000", midiout::MidiClock::now());
    ASSERT_EQ(sent().size(), 1U);
    const std::uint32_t m = sent()[0];
    EXPECT_EQ(m & 0xFF, 0x99U);
    EXPECT_EQ((m >> 8) & 0xFF, 0x26U);
    EXPECT_EQ((m >> 16) & 0xFF, 0x64U);
    EXPECT_EQ(m >> 24, 0x00U);
}

TEST_F(NoteTriggerTest, OneNotePerSoundingTrackInTrackOrder) {
    trigger.SendStepNotes("10100000", midiout::MidiClock::now());
    trigger.SendStepNotes("00000000", midiout::MidiClock::now());
    trigger.SendStepNotes("1x1?1",
                          midiout::MidiClock::now()); // anything but '1' is silent; short is fine
    trigger.SendStepNotes("000000001111",
                          midiout::MidiClock::now()); // past the 8th character nothing counts
    EXPECT_EQ(sent(), (std::vector<std::uint32_t>{noteOnMessage(35, 100), noteOnMessage(42, 100),
                                                  noteOnMessage(35, 100), noteOnMessage(42, 100),
                                                  noteOnMessage(50, 100)}));
    recorder.clear();
    trigger.SendStepNotes("11111111", midiout::MidiClock::now());
    std::vector<std::uint32_t> kit;
    for (const midi::KitTrack& track : midi::kStartKit) {
        kit.push_back(noteOnMessage(midi::drumKey(track.instrument), 100));
    }
    EXPECT_EQ(sent(), kit);
}

TEST_F(NoteTriggerTest, VelocityZeroAndKeyZeroAreStillSent) {
    trigger.setVelocity(1, 0);
    trigger.setKey(2, 0);
    trigger.SendStepNotes("11000000", midiout::MidiClock::now());
    EXPECT_EQ(sent(), (std::vector<std::uint32_t>{0x00002399U, 0x00640099U}));
}

TEST_F(NoteTriggerTest, SendsOnAClosedOrUnknownHandleAreDropped) {
    out.close(handle);
    trigger.SendStepNotes("11111111", midiout::MidiClock::now());
    trigger.setHandle(0);
    trigger.SendStepNotes("11111111", midiout::MidiClock::now());
    trigger.setHandle(77);
    trigger.SendStepNotes("11111111", midiout::MidiClock::now());
    NoteTrigger unconnected(nullptr);
    unconnected.SendStepNotes("11111111", midiout::MidiClock::now());
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(out.send(77, 0x99), midiout::kMidiInvalidHandle);
}

TEST(MidiOut, DevicesOpenOnceAndNamesAreCut) {
    tambrel::testing::MidiRecorder recorder;
    auto list = tambrel::testing::makeMemoryMidiDevices(2, recorder);
    auto* second = static_cast<tambrel::testing::MemoryMidiDevice*>(list[1].get());
    midiout::MidiOut out(std::move(list));
    EXPECT_EQ(out.deviceCount(), 2U);
    EXPECT_EQ(out.deviceName(0), "Memory MIDI 1");
    EXPECT_EQ(out.deviceName(5), "");
    midiout::MidiOutHandle a = 0, b = 0;
    EXPECT_EQ(out.open(0, &a), midiout::kMidiOk);
    EXPECT_EQ(out.open(0, &b), midiout::kMidiAllocated);
    EXPECT_EQ(out.open(9, &b), midiout::kMidiBadDeviceId);
    second->setFailOpen(true);
    EXPECT_NE(out.open(1, &b), midiout::kMidiOk);
    EXPECT_EQ(b, 0U);
    EXPECT_EQ(out.close(a), midiout::kMidiOk);
    EXPECT_EQ(out.close(a), midiout::kMidiInvalidHandle);

    midiout::MidiOutDeviceList longList;
    longList.push_back(std::make_unique<tambrel::testing::MemoryMidiDevice>(
        0, "A device name that is much longer than thirty-one characters", recorder));
    midiout::MidiOut longOut(std::move(longList));
    EXPECT_EQ(longOut.deviceName(0).size(), midiout::kMidiNameMax);
}

} // namespace
} // namespace tambrel::engine
