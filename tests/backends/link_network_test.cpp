// Two Tambrels in one Link session, on the network, without a packet leaving the machine:
// the test runs itself again inside a network namespace of its own, with loopback alone
// (multicast routed to it), and both peers live there. That needs root (unshare -n); it is
// skipped otherwise.

#include "backends/link/link_source.h"
#include "tests/engine/fake_frames.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tambrel::backends {
namespace {

using namespace std::chrono_literals;

constexpr const char* kInsideMarker = "TAMBREL_LINK_PRIVATE_NETWORK";
constexpr midiout::OwnTime kFourFour{16, 6, 0, 15000};

// The network interfaces this process sees: only "lo" in the private namespace.
std::vector<std::string> interfaces() {
    std::vector<std::string> names;
    if (struct if_nameindex* list = ::if_nameindex()) {
        for (const struct if_nameindex* i = list; i->if_index != 0; ++i) {
            names.emplace_back(i->if_name);
        }
        ::if_freenameindex(list);
    }
    return names;
}

// Runs this very test again in a new network namespace with loopback up and multicast routed
// to it; its exit status.
int runInsidePrivateNetwork() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.push_back(std::string(kInsideMarker) + "=1");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string filter = std::string("--gtest_filter=") +
                               ::testing::UnitTest::GetInstance()->current_test_suite()->name() +
                               "." +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const pid_t child = testing::spawnChild(
        {"unshare", "-n", "sh", "-ec",
         "ip link set lo up; ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo; "
         "exec \"$0\" \"$1\"",
         self, filter},
        testing::ChildStreams::inherited(), &env);
    return child < 0 ? -1 : testing::reapChild(child, 60s);
}

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

TEST(LinkNetwork, ALaterPeerTakesTheSessionsTempoAndBarsAndItsTempoReachesTheFirst) {
    if (std::getenv(kInsideMarker) == nullptr) {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root, to run in a private network namespace (unshare -n): "
                            "Link is never enabled on the machine's own network";
        }
        EXPECT_EQ(runInsidePrivateNetwork(), 0) << "the peers in the private network disagreed";
        return;
    }
    ASSERT_EQ(interfaces(), std::vector<std::string>{"lo"}) << "not a private network: no Link";
    testing::FakeFrames frames{48000};
    const std::unique_ptr<LinkSource> first = joinLinkSession(frames, 0, 133);
    first->setOwnTime(kFourFour);
    // The older session wins when two meet: the first one's is the older by far.
    std::this_thread::sleep_for(700ms);
    const std::unique_ptr<LinkSource> later = joinLinkSession(frames, 0, 100);
    later->setOwnTime(kFourFour);
    first->playPressed();
    later->playPressed();
    const auto sameBars = [](const midiout::FollowedGrid& a, const midiout::FollowedGrid& b) {
        const auto apart =
            static_cast<std::int32_t>(a.anchorFrame - b.anchorFrame -
                                      static_cast<std::uint32_t>(std::llround(
                                          (a.anchorStep - b.anchorStep) * a.framesPerStep)));
        // Within a millisecond: Link's own measure of a peer's clock over loopback.
        return std::abs(a.tempo - 133) < 0.01 && std::abs(b.tempo - 133) < 0.01 &&
               std::abs(apart) <= 48 && a.rolling && b.rolling;
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
}

} // namespace
} // namespace tambrel::backends
