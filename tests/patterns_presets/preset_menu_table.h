#pragma once
// The Presets menu as the tables give it, transcribed on its own: group, item, caption
// and click handler of every rhythm, in menu order.

#include <string_view>

namespace preset_tables {

struct MenuItem {
    std::string_view group;
    std::string_view itemName;
    std::string_view caption;
    std::string_view handler;
};

// clang-format off
inline const MenuItem kMenu[] = {
    {"Country Rhythms", "CountryShuffle1", "Shuffle 1", "CountryShuffle1Click"},
    {"Country Rhythms", "Shuffle21", "Shuffle 2", "Shuffle21Click"},
    {"Country Rhythms", "Shuffle31", "Shuffle 3", "Shuffle31Click"},
    {"Country Rhythms", "Swing1", "Swing", "Swing1Click"},
    {"Country Rhythms", "TrainBeat1", "Train Beat", "TrainBeat1Click"},
    {"Country Rhythms", "Straight8ths1", "Straight 8ths", "Straight8ths1Click"},
    {"Country Rhythms", "ChaCha1", "Country Cha Cha", "ChaCha1Click"},
    {"Country Rhythms", "SideStick1", "Click Stick", "SideStick1Click"},
    {"Country Rhythms", "N24Country1", "2/4 Country", "N24Country1Click"},
    {"Country Rhythms", "Waltz1", "Waltz", "Waltz1Click"},
    {"Country Rhythms", "ShuffleWaltz1", "Shuffle Waltz", "ShuffleWaltz1Click"},
    {"Country Rhythms", "N8thWaltz1", "8th Waltz", "N8thWaltz1Click"},
    {"Rock Rhythms", "N4BeatRock1", "4 Beat Rock", "N4BeatRock1Click"},
    {"Rock Rhythms", "N8thBeatRock1", "8th Beat Rock", "N8thBeatRock1Click"},
    {"Rock Rhythms", "N16thBeatRock1", "16th Beat Rock", "N16thBeatRock1Click"},
    {"Rock Rhythms", "N128Blues1", "12/8 Blues 1", "N128Blues1Click"},
    {"Rock Rhythms", "N128Blues21", "12/8 Blues 2", "N128Blues21Click"},
    {"Rock Rhythms", "Surfin1", "Surfin", "Surfin1Click"},
    {"Rock Rhythms", "Twist1", "Twist", "Twist1Click"},
    {"Click Track", "N44Cowbell1", "4/4 Cowbell", "N44Cowbell1Click"},
    {"Click Track", "CowbellShaker1", "Cowbell Shaker", "CowbellShaker1Click"},
    {"Click Track", "WoodBlock1", "Wood Block", "WoodBlock1Click"},
    {"Other", "AfroCuban1", "Afro Cuban", "AfroCuban1Click"},
    {"Other", "BongoFunky1", "Bongo Funky", "BongoFunky1Click"},
    {"Other", "BossaNova1", "Bossa Nova", "BossaNova1Click"},
    {"Other", "ChaCha2", "Cha Cha", "ChaCha2Click"},
    {"Other", "Samba1", "Samba", "Samba1Click"},
};
// clang-format on

} // namespace preset_tables
