#include "ui/preset_menu.h"

namespace tambrel::ui {

const std::array<PresetMenuItem, 27> kPresetMenuItems = {{
    {"Shuffle 1", "CountryShuffle1", "CountryShuffle1Click"},
    {"Shuffle 2", "Shuffle21", "Shuffle21Click"},
    {"Shuffle 3", "Shuffle31", "Shuffle31Click"},
    {"Swing", "Swing1", "Swing1Click"},
    {"Train Beat", "TrainBeat1", "TrainBeat1Click"},
    {"Straight 8ths", "Straight8ths1", "Straight8ths1Click"},
    {"Country Cha Cha", "ChaCha1", "ChaCha1Click"},
    {"Click Stick", "SideStick1", "SideStick1Click"},
    {"2/4 Country", "N24Country1", "N24Country1Click"},
    {"Waltz", "Waltz1", "Waltz1Click"},
    {"Shuffle Waltz", "ShuffleWaltz1", "ShuffleWaltz1Click"},
    {"8th Waltz", "N8thWaltz1", "N8thWaltz1Click"},
    {"4 Beat Rock", "N4BeatRock1", "N4BeatRock1Click"},
    {"8th Beat Rock", "N8thBeatRock1", "N8thBeatRock1Click"},
    {"16th Beat Rock", "N16thBeatRock1", "N16thBeatRock1Click"},
    {"12/8 Blues 1", "N128Blues1", "N128Blues1Click"},
    {"12/8 Blues 2", "N128Blues21", "N128Blues21Click"},
    {"Surfin", "Surfin1", "Surfin1Click"},
    {"Twist", "Twist1", "Twist1Click"},
    {"4/4 Cowbell", "N44Cowbell1", "N44Cowbell1Click"},
    {"Cowbell Shaker", "CowbellShaker1", "CowbellShaker1Click"},
    {"Wood Block", "WoodBlock1", "WoodBlock1Click"},
    {"Afro Cuban", "AfroCuban1", "AfroCuban1Click"},
    {"Bongo Funky", "BongoFunky1", "BongoFunky1Click"},
    {"Bossa Nova", "BossaNova1", "BossaNova1Click"},
    {"Cha Cha", "ChaCha2", "ChaCha2Click"},
    {"Samba", "Samba1", "Samba1Click"},
}};

const PresetMenuItem* presetMenuItem(std::string_view caption) noexcept {
    for (const PresetMenuItem& item : kPresetMenuItems) {
        if (item.caption == caption) {
            return &item;
        }
    }
    return nullptr;
}

std::string_view presetGroupItemName(std::string_view groupCaption) noexcept {
    if (groupCaption == "Country Rhythms") {
        return "Country1";
    }
    if (groupCaption == "Rock Rhythms") {
        return "Rock1";
    }
    if (groupCaption == "Click Track") {
        return "ClickTrack1";
    }
    return "Other1";
}

} // namespace tambrel::ui
