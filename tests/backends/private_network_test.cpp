// The private network kit as a benchmark uses it: the program run again with its own
// arguments, inside a namespace where loopback is the only interface.

#include "tests/backends/private_network.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tambrel::testing {
namespace {

TEST(PrivateNetwork, AProgramRunAgainKeepsItsArgumentsAndSeesLoopbackAlone) {
    if (!startedForPrivateNetwork()) {
        EXPECT_FALSE(insidePrivateNetwork()) << "the marker alone makes a private network";
        if (const auto why = whyNoPrivateNetwork()) {
            GTEST_SKIP() << *why;
        }
        const ::testing::TestInfo& test = *::testing::UnitTest::GetInstance()->current_test_info();
        std::string self = "link_source_test";
        std::string filter =
            std::string("--gtest_filter=") + test.test_suite_name() + "." + test.name();
        std::string seed = "--gtest_random_seed=4242";
        std::vector<char*> argv = {self.data(), filter.data(), seed.data()};
        EXPECT_EQ(rerunProgramInPrivateNetwork(static_cast<int>(argv.size()), argv.data()), 0);
        return;
    }
    EXPECT_EQ(networkInterfaces(), std::vector<std::string>{"lo"});
    EXPECT_TRUE(insidePrivateNetwork());
    EXPECT_EQ(GTEST_FLAG_GET(random_seed), 4242) << "its own arguments reach it";
}

} // namespace
} // namespace tambrel::testing
