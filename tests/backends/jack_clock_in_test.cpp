// MIDI clock in from another program on a private JACK server: jack_midi_clock's clock, rolled
// and stopped by jack_transport, on our port "Tambrel:clock in". The grid it publishes starts
// and stops with the clock, reads its tempo, and puts each step on its own clock's frame.

#include "jack_clock_sender.h"
#include "jack_test_server.h"

#include "backends/jack/jack_clock_in.h"

#include <gtest/gtest.h>

#include <cmath>
#include <jack/jack.h>
#include <thread>

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;
using testing::JackClockSender;
using testing::JackMidiReceiver;
using testing::PrivateJackServer;

// The frames of the clocks the receiver heard since the latest Start.
std::vector<std::uint32_t> clocksSinceStart(const JackMidiReceiver& receiver) {
    std::vector<std::uint32_t> clocks;
    for (const testing::ReceivedEvent& event : receiver.events()) {
        if (event.bytes[0] == 0xFA) {
            clocks.clear();
        } else if (event.bytes[0] == 0xF8) {
            clocks.push_back(event.frame);
        }
    }
    return clocks;
}

class JackClockInTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A clock sender that the busy machine wakes late is waited for, not skipped (which
        // would move its clocks a period on).
        server.makeSynchronous();
        ASSERT_TRUE(server.start()) << "jackd did not come up";
        receiver = std::make_unique<JackMidiReceiver>("clock-reader");
        ASSERT_TRUE(receiver->ok());
        client = JackMidiClient::connect();
        ASSERT_NE(client, nullptr);
        sender = std::make_unique<JackClockSender>(receiver->client(), 120);
        ASSERT_TRUE(sender->ok()) << "jack_midi_clock did not start (package jack-midi-clock)";
        ASSERT_TRUE(sender->connect(receiver->client(), receiver->portName()));
        std::string why;
        in = JackClockIn::open(client, sender->port(), why);
        ASSERT_NE(in, nullptr) << why;
        in->setOwnTime(midiout::OwnTime{16, 6, 125, 15000});
    }

    // Every half beat over `beats` beats: the step after the latest clock heard falls, by the
    // grid as it stands (as the step clock reads it), on the frame of its own clock (counted
    // from Start) when that clock comes; and the tempo reads `tempo`.
    void expectStepsOnClocks(double tempo, int beats) {
        for (int look = 0; look < beats * 2; ++look) {
            std::this_thread::sleep_for(std::chrono::duration<double>(30.0 / tempo));
            const midiout::FollowedGrid grid = in->grid();
            std::vector<std::uint32_t> clocks = clocksSinceStart(*receiver);
            ASSERT_TRUE(grid.rolling);
            EXPECT_NEAR(grid.tempo, tempo, 0.3);
            const auto step = static_cast<std::int64_t>(clocks.size() / 6 + 1);
            const std::uint32_t foreseen =
                grid.anchorFrame +
                static_cast<std::uint32_t>(
                    std::llround(static_cast<double>(step - grid.anchorStep) * grid.framesPerStep));
            const auto clock = static_cast<std::size_t>(step * 6);
            for (int wait = 0; clocks.size() <= clock && wait < 200; ++wait) {
                std::this_thread::sleep_for(5ms);
                clocks = clocksSinceStart(*receiver);
            }
            ASSERT_GT(clocks.size(), clock);
            EXPECT_LE(std::abs(static_cast<std::int32_t>(foreseen - clocks[clock])), 1)
                << "step " << step << " at " << tempo;
        }
    }

    PrivateJackServer server;
    std::unique_ptr<JackMidiReceiver> receiver;
    std::shared_ptr<JackMidiClient> client;
    std::unique_ptr<JackClockSender> sender;
    std::unique_ptr<JackClockIn> in;
};

TEST_F(JackClockInTest, FollowsStartTempoAndStopOfAnotherProgramsClock) {
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(in->grid().rolling);
    const std::uint32_t before = in->grid().epoch;
    sender->command("play");
    std::this_thread::sleep_for(1200ms); // two beats: the tempo is the clock's from then on
    EXPECT_NE(in->grid().epoch, before);
    expectStepsOnClocks(120, 4);
    sender->command("tempo 97.5");
    std::this_thread::sleep_for(1300ms);
    expectStepsOnClocks(97.5, 4);
    const std::uint32_t rolling = in->grid().epoch;
    sender->command("stop");
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(in->grid().rolling);
    EXPECT_NE(in->grid().epoch, rolling);

    in.reset();
    EXPECT_EQ(jack_port_by_name(receiver->client(), (client->name() + ":clock in").c_str()),
              nullptr)
        << "the port goes with MIDI clock in";
}

TEST(JackClockIn, WithoutAServerSaysSo) {
    std::string why;
    EXPECT_EQ(JackClockIn::open(nullptr, "", why), nullptr);
    EXPECT_NE(why.find("needs a JACK server"), std::string::npos) << why;
}

} // namespace
} // namespace tambrel::backends
