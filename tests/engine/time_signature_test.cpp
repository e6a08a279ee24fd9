#include "engine/rhythm_engine.h"

#include <gtest/gtest.h>

#include <set>

namespace tambrel::engine {
namespace {

TEST(TimeSignature, EachStepPlaysItsOwnCell) {
    for (TimeSig sig :
         {TimeSig::FourFour, TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight}) {
        const TimeSignatureInfo& info = timeSignatureInfo(sig);
        std::set<int> played;
        for (int step = 1; step <= info.stepsPerBar; ++step) {
            played.insert(cellForStep(sig, step));
        }
        EXPECT_EQ(static_cast<int>(played.size()), info.stepsPerBar) << info.text;
        EXPECT_EQ(cellForStep(sig, 0), 0);
        EXPECT_EQ(cellForStep(sig, info.stepsPerBar + 1), 0);
    }
    EXPECT_EQ(cellForStep(TimeSig::ThreeFour, 4), 5);
    EXPECT_EQ(cellForStep(TimeSig::ThreeFour, 9), 11);
    EXPECT_EQ(cellForStep(TimeSig::SixEight, 3), 5);
    EXPECT_EQ(cellForStep(TimeSig::SixEight, 6), 10);
    EXPECT_EQ(cellForStep(TimeSig::TwelveEight, 12), 15);
}

TEST(TimeSignature, TextsMatchExactly) {
    EXPECT_EQ(timeSignatureFromText("12/8"), TimeSig::TwelveEight);
    EXPECT_EQ(timeSignatureFromText("6/8"), TimeSig::SixEight);
    EXPECT_FALSE(timeSignatureFromText("4/4 ").has_value());
    EXPECT_FALSE(timeSignatureFromText("5/4").has_value());
    EXPECT_FALSE(timeSignatureFromText("").has_value());
}

class EngineTest : public ::testing::Test {
protected:
    platform::TimerService timers;
    RhythmEngine engine{timers};
};

TEST_F(EngineTest, EmptyGridGivesSilentStepsInEverySignature) {
    for (TimeSig sig :
         {TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight, TimeSig::FourFour}) {
        engine.SelectTimeSignature(sig);
        for (int step = 1; step <= engine.stepsPerBar(); ++step) {
            EXPECT_EQ(engine.BuildStepString(step), "00000000")
                << engine.timeSignatureText() << " step " << step;
        }
    }
}

TEST_F(EngineTest, StepStringReadsTheCellOfTheStepUnderTheSignature) {
    EXPECT_EQ(engine.BuildStepString(1), "00000000");
    engine.grid().set(1, 5, true);
    engine.grid().set(3, 5, true);
    engine.grid().set(8, 4, true);
    EXPECT_EQ(engine.BuildStepString(5), "10100000");
    EXPECT_EQ(engine.BuildStepString(4), "00000001");

    engine.SelectTimeSignature(TimeSig::ThreeFour);
    EXPECT_EQ(engine.BuildStepString(4), "10100000"); // step 4 plays cell 5
    for (int step = 1; step <= 9; ++step) {
        EXPECT_EQ(engine.BuildStepString(step).chars[7], '0') << "cell 4 is never played in 3/4";
    }
    engine.grid().set(2, 15, true);
    engine.SelectTimeSignature(TimeSig::TwelveEight);
    EXPECT_EQ(engine.BuildStepString(12), "01000000");
    // A step beyond the bar (a tick overlapping a change of signature) plays nothing.
    EXPECT_EQ(engine.BuildStepString(13), "00000000");
}

TEST_F(EngineTest, HiddenCellKeepsItsStateAcrossSignatures) {
    engine.grid().set(1, 4, true);
    engine.SelectTimeSignature(TimeSig::ThreeFour);
    EXPECT_TRUE(engine.grid().isOn(1, 4));
    engine.SelectTimeSignature(TimeSig::FourFour);
    EXPECT_EQ(engine.BuildStepString(4), "10000000");
}

TEST_F(EngineTest, StepPeriodFollowsTempoAndSignature) {
    struct Row {
        int tempo;
        int fourFour, twelveEight, sixEight;
    };
    for (const Row& row : {Row{30, 500, 666, 1000}, Row{120, 125, 166, 250},
                           Row{121, 123, 165, 247}, Row{260, 57, 76, 115}}) {
        engine.tempoSelector().setPosition(row.tempo);
        engine.SelectTimeSignature(TimeSig::FourFour);
        engine.UpdateStepPeriod();
        EXPECT_EQ(engine.stepPeriod(), row.fourFour);
        engine.SelectTimeSignature(TimeSig::TwelveEight);
        EXPECT_EQ(engine.stepPeriod(), row.twelveEight);
        engine.SelectTimeSignature(TimeSig::ThreeFour);
        EXPECT_EQ(engine.stepPeriod(), row.twelveEight);
        engine.SelectTimeSignature(TimeSig::SixEight);
        EXPECT_EQ(engine.stepPeriod(), row.sixEight);
        EXPECT_EQ(engine.tempo(), row.tempo);
    }
}

TEST_F(EngineTest, SpinnersActOnThePositionBeforeTheClick) {
    // Tempo: one click up from 120 still shows 120; the second shows 121.
    engine.UpdateStepPeriod();
    engine.tempoSelector().step(true);
    EXPECT_EQ(engine.tempo(), 120);
    EXPECT_EQ(engine.stepPeriod(), 125);
    engine.UpdateStepPeriod();
    engine.tempoSelector().step(true);
    EXPECT_EQ(engine.tempo(), 121);
    EXPECT_EQ(engine.stepPeriod(), 123);

    // Time signature: the first click in either direction re-selects 4/4.
    auto click = [&](bool up) {
        engine.selectTimeSignatureFromSelector();
        engine.timeSignatureSelector().step(up);
        return std::string(engine.timeSignatureText());
    };
    EXPECT_EQ(click(false), "4/4");
    EXPECT_EQ(click(false), "6/8");
    EXPECT_EQ(click(false), "3/4");
    EXPECT_EQ(click(true), "12/8");
    EXPECT_EQ(click(true), "3/4");
}

TEST_F(EngineTest, TempoSpinnerClampsAndDoesNotWrap) {
    engine.tempoSelector().setPosition(500);
    EXPECT_EQ(engine.tempoSelector().position(), 260);
    engine.tempoSelector().step(true);
    EXPECT_EQ(engine.tempoSelector().position(), 260);
    engine.tempoSelector().setPosition(-70000);
    EXPECT_EQ(engine.tempoSelector().position(), 30);
    engine.tempoSelector().step(false);
    EXPECT_EQ(engine.tempoSelector().position(), 30);
}

} // namespace
} // namespace tambrel::engine
