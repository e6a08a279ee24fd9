#include "machine/machine.h"
#include "midi/drum_catalogue.h"

#include <gtest/gtest.h>

namespace tambrel::midi {
namespace {

using machine::Machine;

TEST(TrackSettings, StartKitMatchesWhatTheTriggerSends) {
    Machine m;
    for (int t = 1; t <= 8; ++t) {
        EXPECT_EQ(m.tracks().volume(t), 100);
        EXPECT_EQ(m.engine().trigger().velocity(t), 100);
        EXPECT_EQ(m.engine().trigger().key(t), drumKey(m.tracks().instrumentText(t)));
    }
    EXPECT_EQ(m.tracks().instrumentText(8), "Ride Cymbal 1");
}

TEST(TrackSettings, VolumeIsClampedAndOnlyARealChangeCounts) {
    Machine m;
    EXPECT_FALSE(m.tracks().setVolume(2, 100));
    EXPECT_TRUE(m.tracks().setVolume(2, 0));
    EXPECT_EQ(m.engine().trigger().velocity(2), 0);
    EXPECT_TRUE(m.tracks().setVolume(2, 200));
    EXPECT_EQ(m.tracks().volume(2), 127);
    EXPECT_EQ(m.engine().trigger().velocity(2), 127);
    EXPECT_TRUE(m.tracks().setVolume(2, -5));
    EXPECT_EQ(m.tracks().volume(2), 0);
    EXPECT_EQ(m.engine().trigger().velocity(1), 100) << "other tracks untouched";
}

TEST(TrackSettings, InstrumentTextDecidesTheKey) {
    Machine m;
    m.tracks().instrumentChanged(3, "Crash Cymbal 2");
    EXPECT_EQ(m.engine().trigger().key(3), 57);
    m.tracks().instrumentChanged(3, "");
    EXPECT_EQ(m.engine().trigger().key(3), 0);
    m.tracks().instrumentChanged(3, "Cowbe");
    EXPECT_EQ(m.engine().trigger().key(3), 0);
    // Line breaks and NUL cannot enter: they would split a pattern file's line.
    m.tracks().instrumentChanged(3, std::string_view("Cow\r\nbell\0", 10));
    EXPECT_EQ(m.tracks().instrumentText(3), "Cowbell");
    EXPECT_EQ(m.engine().trigger().key(3), 56);
    // Bytes above 127 are kept as they are.
    m.tracks().instrumentChanged(4, "Caj\xf3n");
    EXPECT_EQ(m.tracks().instrumentText(4), "Caj\xf3n");
}

TEST(TrackSettings, TrackInfoSetsVolumeTextAndKey) {
    Machine m;
    m.tracks().applyTrackInfo(5, 300, "Open Cuica");
    EXPECT_EQ(m.tracks().volume(5), 127);
    EXPECT_EQ(m.tracks().instrumentText(5), "Open Cuica");
    EXPECT_EQ(m.engine().trigger().key(5), 79);
    EXPECT_EQ(m.engine().trigger().velocity(5), 127);
    EXPECT_THROW(m.tracks().volume(9), std::out_of_range);
}

} // namespace
} // namespace tambrel::midi
