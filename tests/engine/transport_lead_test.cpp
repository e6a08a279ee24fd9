// Tambrel's bar as the transport's lead tells it, against the step clock's bar.

#include "engine/transport_meter.h"

#include <gtest/gtest.h>

namespace tambrel::engine {
namespace {

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

} // namespace
} // namespace tambrel::engine
