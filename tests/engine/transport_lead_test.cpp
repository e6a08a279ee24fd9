// The transport's lead as the engine tells it: Play with the moment the first step is
// really handed and the bar's meter, every stop, and the meter's bar against the step
// clock's.

#include "engine/rhythm_engine.h"
#include "engine/transport_meter.h"
#include "tests/engine/kit_trigger.h"
#include "tests/support/memory_midi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace tambrel::engine {
namespace {

using namespace std::chrono_literals;

TEST(TransportMeter, ABarOfBeatsLastsTheStepClocksBarAtEveryTempo) {
    for (TimeSig sig :
         {TimeSig::FourFour, TimeSig::TwelveEight, TimeSig::ThreeFour, TimeSig::SixEight}) {
        for (int tempo = kTempoMin; tempo <= kTempoMax; ++tempo) {
            const auto period = static_cast<std::uint32_t>(stepPeriodMs(sig, tempo));
            const midiout::TransportMeter meter = transportMeter(sig, period);
            ASSERT_EQ(meter.beatsPerBar * meter.beatMs, stepsPerBar(sig) * period)
                << timeSignatureText(sig) << " at " << tempo;
            ASSERT_LE(meter.beatMs, 0xFFFFu); // what the lead keeps of it
        }
    }
    // 154 ms sixteenths at 97; 166 ms eighths at 120 in 12/8, 100 ms triplets at 200 in 3/4.
    EXPECT_NEAR(transportMeter(TimeSig::FourFour, 154).beatsPerMinute(), 97.40, 0.005);
    EXPECT_EQ(transportMeter(TimeSig::TwelveEight, 166), (midiout::TransportMeter{12, 8, 166}));
    EXPECT_EQ(transportMeter(TimeSig::ThreeFour, 100), (midiout::TransportMeter{3, 4, 300}));
    EXPECT_EQ(transportMeter(TimeSig::SixEight, 250), (midiout::TransportMeter{6, 8, 250}));
}

// A server's frames at 48 kHz on the machine's clock.
class Frames : public midiout::FrameClock {
public:
    std::uint32_t sampleRate() const noexcept override { return 48000; }
    std::uint32_t frameAt(midiout::Moment m) const noexcept override {
        return static_cast<std::uint32_t>((m - origin) / 1ns * 48 / 1'000'000);
    }
    midiout::Moment momentOf(std::uint32_t frame) const noexcept override {
        return origin + std::chrono::nanoseconds(static_cast<std::int64_t>(frame) * 1'000'000 / 48);
    }
    midiout::Moment origin = midiout::MidiClock::now();
};

class RecordingLead : public midiout::TransportLead {
public:
    void started(midiout::Moment firstStep, const midiout::TransportMeter& m) noexcept override {
        ++starts;
        first = firstStep;
        meter = m;
    }
    void stopped() noexcept override { ++stops; }
    const midiout::FrameClock* frameClock() const noexcept override { return &frames; }

    Frames frames;
    int starts = 0;
    int stops = 0;
    midiout::Moment first{};
    midiout::TransportMeter meter;
};

class TransportLeadTest : public ::testing::Test {
protected:
    TransportLeadTest() : out(tambrel::testing::makeMemoryMidiDevices(1, recorder)) {
        midiout::MidiOutHandle h = 0;
        EXPECT_EQ(out.open(0, &h), midiout::kMidiOk);
        engine.trigger().setHandle(h);
        testing::giveStartKit(engine.trigger());
        engine.grid().set(1, 1, true); // the first step's note marks its moment
        engine.setTransportLead(&lead);
    }

    tambrel::testing::MidiRecorder recorder;
    midiout::MidiOut out;
    platform::TimerService timers;
    RecordingLead lead; // told of the engine's last stop as it goes
    RhythmEngine engine{timers, &out};
};

TEST_F(TransportLeadTest, PlayTellsTheFirstStepsOwnMomentAndEveryStopIsTold) {
    engine.SelectTimeSignature(TimeSig::TwelveEight);
    engine.tempoSelector().setPosition(120);
    engine.UpdateStepPeriod();
    const int stopsBefore = lead.stops;
    engine.StartPlayback();
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (recorder.messages().empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    engine.StopPlayback();
    ASSERT_FALSE(recorder.messages().empty());
    EXPECT_EQ(lead.starts, 1);
    EXPECT_EQ(lead.stops, stopsBefore + 1);
    EXPECT_EQ(lead.meter, (midiout::TransportMeter{12, 8, 166}));
    // Paced by the lead's frames, the moment told at Play is the one the step carried.
    EXPECT_EQ(recorder.messages().front().due, lead.first);

    // A device switch halts the clock: the lead hears it as a stop.
    engine.StartPlayback();
    engine.haltClock();
    EXPECT_EQ(lead.starts, 2);
    EXPECT_EQ(lead.stops, stopsBefore + 2);
}

} // namespace
} // namespace tambrel::engine
