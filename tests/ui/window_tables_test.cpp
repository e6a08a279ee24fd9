// The window's own tables against what they must agree with: the grid's layout against
// the time signatures, the Presets menu's names against the rhythms.

#include "ui/grid_layout.h"
#include "ui/preset_menu.h"

#include "patterns/preset_data.h"
#include "tests/patterns_presets/preset_menu_table.h"

#include <gtest/gtest.h>

#include <set>

namespace tambrel::ui {
namespace {

using engine::TimeSig;

TEST(GridLayout, CellsInViewAreTheCellsTheStepsPlay) {
    for (TimeSig sig :
         {TimeSig::FourFour, TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight}) {
        std::set<int> played;
        for (int step = 1; step <= engine::stepsPerBar(sig); ++step) {
            played.insert(engine::cellForStep(sig, step));
        }
        // A screen reader names a cell in view by its step: counted along the row.
        int counted = 0;
        for (int cell = 1; cell <= engine::kCells; ++cell) {
            EXPECT_EQ(played.count(cell) == 1, !cellHidden(sig, cell))
                << engine::timeSignatureText(sig) << " cell " << cell;
            EXPECT_EQ(stepOfCell(sig, cell), cellHidden(sig, cell) ? 0 : ++counted)
                << engine::timeSignatureText(sig) << " cell " << cell;
        }
        EXPECT_EQ(counted, engine::stepsPerBar(sig));
    }
}

// The panels a signature shows stand apart, left to right, and show a cell only when it
// fits whole.
TEST(GridLayout, PanelsStandApartAndHoldTheirCells) {
    for (TimeSig sig :
         {TimeSig::FourFour, TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight}) {
        const GridLayout& layout = gridLayout(sig);
        const int shown = layout.dPanelsShown ? 4 : 3;
        for (int group = 1; group < shown; ++group) {
            EXPECT_GT(panelLeft(sig, group), panelLeft(sig, group - 1) + layout.panelWidth)
                << engine::timeSignatureText(sig) << " panel " << group;
        }
        for (int position = 0; position < kCellsPerPanel; ++position) {
            const CellBox box = cellBox(position);
            const bool whole = box.left + box.width <= layout.panelWidth;
            EXPECT_EQ(whole, !cellHidden(sig, 1 + position))
                << engine::timeSignatureText(sig) << " position " << position;
        }
    }
}

TEST(PresetMenu, EveryRhythmHasItsItemAndHandler) {
    const auto presets = patterns::allPresets();
    ASSERT_EQ(std::size(preset_tables::kMenu), presets.size());
    for (std::size_t i = 0; i < presets.size(); ++i) {
        const preset_tables::MenuItem& want = preset_tables::kMenu[i];
        const PresetMenuItem* item = presetMenuItem(presets[i].caption);
        ASSERT_NE(item, nullptr) << presets[i].caption;
        EXPECT_EQ(item->objectName, want.itemName);
        EXPECT_EQ(item->handler, want.handler);
    }
}

} // namespace
} // namespace tambrel::ui
