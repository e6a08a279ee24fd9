// Two Tambrels in one Link session, on the network, without a packet leaving the machine:
// the test runs itself again inside a network namespace of its own, with loopback alone
// (multicast routed to it), and both peers live there. That needs root (unshare -n); it is
// skipped otherwise.

#include "backends/link/link_source.h"
#include "tests/backends/private_network.h"
#include "tests/engine/fake_frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;

constexpr midiout::OwnTime kFourFour{16, 6, 0, 15000};

// Looks at both sessions as the step clock does, until `agreed` says they agree or 5 s pass.
template <typename Agreed> bool lookUntil(LinkSource& a, LinkSource& b, Agreed agreed) {
    for (auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(2ms)) {
        const auto now = midiout::MidiClock::now();
        a.look(now);
        b.look(now);
        if (agreed(a.grid(), b.grid())) {
            return true;
        }
    }
    return false;
}

// Both grids put their steps on the same frames, within a millisecond: Link's own measure of
// a peer's clock over loopback.
bool sameFrames(const midiout::FollowedGrid& a, const midiout::FollowedGrid& b) {
    const auto apart = static_cast<std::int32_t>(
        a.anchorFrame - b.anchorFrame -
        static_cast<std::uint32_t>(std::llround((a.anchorStep - b.anchorStep) * a.framesPerStep)));
    return std::abs(apart) <= 48 && a.rolling && b.rolling;
}

TEST(LinkNetwork, ALaterPeerTakesTheSessionsTempoAndBarsAndItsTempoReachesTheFirst) {
    if (!testing::startedForPrivateNetwork()) {
        return testing::rerunTestInPrivateNetworkOrSkip(false);
    }
    ASSERT_EQ(testing::networkInterfaces(), std::vector<std::string>{"lo"})
        << "not a private network: no Link";
    testing::FakeFrames frames{48000};
    const std::unique_ptr<LinkSource> first = joinLinkSession(frames, 0, 133);
    first->setOwnTime(kFourFour);
    // The older session wins when two meet: the first one's is the older by far.
    std::this_thread::sleep_for(700ms);
    const std::unique_ptr<LinkSource> later = joinLinkSession(frames, 0, 100);
    later->setOwnTime(kFourFour);
    first->playPressed();
    later->playPressed();
    const auto sameBars = [&](const midiout::FollowedGrid& a, const midiout::FollowedGrid& b) {
        return std::abs(a.tempo - 133) < 0.01 && std::abs(b.tempo - 133) < 0.01 && sameFrames(a, b);
    };
    for (auto until = std::chrono::steady_clock::now() + 5s;
         (first->peers() == 0 || later->peers() == 0) && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(10ms)) {
    }
    ASSERT_EQ(first->peers(), 1u);
    ASSERT_EQ(later->peers(), 1u);
    EXPECT_TRUE(lookUntil(*first, *later, sameBars))
        << "tempos " << first->grid().tempo << " and " << later->grid().tempo;
    // And they stay together.
    std::this_thread::sleep_for(300ms);
    const auto now = midiout::MidiClock::now();
    first->look(now);
    later->look(now);
    EXPECT_TRUE(sameBars(first->grid(), later->grid()));
    EXPECT_EQ(first->grid().anchorStep % 16, later->grid().anchorStep % 16) << "same bar step";

    later->proposeTempo(141);
    EXPECT_TRUE(lookUntil(*first, *later,
                          [](const auto& a, const auto& b) {
                              return std::abs(a.tempo - 141) < 0.01 &&
                                     std::abs(b.tempo - 141) < 0.01;
                          }))
        << "the first peer follows at " << first->grid().tempo;

    // Session tempos beyond the spinner's range, followed at double and half speed (twice),
    // each step of both still on the same frames.
    for (const auto& [session, shown] : {std::pair{20.0, 40.0}, std::pair{999.0, 249.75}}) {
        later->proposeTempo(session);
        EXPECT_TRUE(lookUntil(*first, *later,
                              [&, shown = shown](const auto& a, const auto& b) {
                                  return std::abs(a.tempo - shown) < 0.01 &&
                                         std::abs(b.tempo - shown) < 0.01 && sameFrames(a, b);
                              }))
            << "at " << session << ": " << first->grid().tempo << ", " << later->grid().tempo;
    }
}

} // namespace
} // namespace tambrel::backends
