#include "midi/drum_catalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace tambrel::midi {
namespace {

TEST(DrumCatalogue, KeysRunFrom35To82InMenuOrder) {
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < kDrumCatalogue.size(); ++i) {
        EXPECT_EQ(kDrumCatalogue[i].key, static_cast<int>(35 + i));
        EXPECT_EQ(drumKey(kDrumCatalogue[i].name), kDrumCatalogue[i].key);
        names.insert(kDrumCatalogue[i].name);
    }
    EXPECT_EQ(names.size(), 48U) << "names must be unique";
    EXPECT_EQ(drumKey("Acoustic Bass Drum"), 35);
    EXPECT_EQ(drumKey("Open Hi-Hat"), 46);
    EXPECT_EQ(drumKey("Crash Cymbal 2"), 57);
    EXPECT_EQ(drumKey("Shaker"), 82);
    EXPECT_EQ(drumKey("Cowbell"), 56);
}

TEST(DrumCatalogue, OnlyTheExactWholeNameMatches) {
    for (std::string_view text : {"", "cowbell", "COWBELL", "Cow", " Cowbell", "Cowbell ",
                                  "Closed Hi-Hat", "Cowbell\n", "Hi Bongo 2"}) {
        EXPECT_EQ(drumKey(text), 0) << '"' << text << '"';
    }
}

TEST(DrumCatalogue, ComboItemsAreTheNamesThenOneEmptyItem) {
    const auto items = instrumentItems();
    ASSERT_EQ(items.size(), 49U);
    EXPECT_EQ(items.front(), "Acoustic Bass Drum");
    EXPECT_EQ(items[47], "Shaker");
    EXPECT_EQ(items[48], "");
}

} // namespace
} // namespace tambrel::midi
