#pragma once
// The Presets menu as the window names it: each group's item, and for each built-in
// rhythm its menu item's object name and the click handler that item stands for (one
// handler, PresetClick, serves them all).

#include <array>
#include <string_view>

namespace tambrel::ui {

struct PresetMenuItem {
    std::string_view caption; // the rhythm's caption, as the preset data has it
    std::string_view objectName;
    std::string_view handler;
};

extern const std::array<PresetMenuItem, 27> kPresetMenuItems;

// The item of the rhythm with this caption, or nullptr.
const PresetMenuItem* presetMenuItem(std::string_view caption) noexcept;
// The object name of a group's item ("Country1" for "Country Rhythms").
std::string_view presetGroupItemName(std::string_view groupCaption) noexcept;

} // namespace tambrel::ui
