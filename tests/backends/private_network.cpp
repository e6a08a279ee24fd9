#include "private_network.h"

#include "child_process.h"
#include "tests/support/needs.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace tambrel::testing {

namespace {

// Loopback up, multicast on it and routed to it (Link's discovery goes to 224.76.78.75),
// then the program itself in place of the shell.
constexpr const char* kMakeNetwork =
    "ip link set lo up; ip link set lo multicast on; ip route add 224.0.0.0/4 dev lo; "
    "exec \"$@\"";
// The same without the route: a network where Link's discovery finds no way out.
constexpr const char* kMakeNetworkWithoutMulticast = "ip link set lo up; exec \"$@\"";

// This very executable in a new network namespace with `args`; its exit status, -1 when it
// did not exit on its own (or within `limit` when there is one).
int rerunSelf(const std::vector<std::string>& args, std::optional<std::chrono::seconds> limit,
              bool multicastRouted = true) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.push_back(std::string(kPrivateNetworkMarker) + "=1");
    std::vector<std::string> argv = {"unshare",
                                     "-n",
                                     "sh",
                                     "-ec",
                                     multicastRouted ? kMakeNetwork : kMakeNetworkWithoutMulticast,
                                     "sh",
                                     std::filesystem::read_symlink("/proc/self/exe").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t child = spawnChild(argv, ChildStreams::inherited(), &env);
    if (child < 0) {
        return -1;
    }
    if (limit) {
        return reapChild(child, *limit);
    }
    const int status = waitChild(child);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::vector<std::string> networkInterfaces() {
    std::vector<std::string> names;
    if (struct if_nameindex* list = ::if_nameindex()) {
        for (const struct if_nameindex* i = list; i->if_index != 0; ++i) {
            names.emplace_back(i->if_name);
        }
        ::if_freenameindex(list);
    }
    return names;
}

bool startedForPrivateNetwork() {
    return std::getenv(kPrivateNetworkMarker) != nullptr;
}

bool insidePrivateNetwork() {
    return startedForPrivateNetwork() && networkInterfaces() == std::vector<std::string>{"lo"};
}

std::optional<std::string> whyNoPrivateNetwork() {
    const std::string why = "Link is only ever enabled in a private network namespace, ";
    if (::geteuid() != 0) {
        return why + "and making one (unshare -n) needs root";
    }
    for (const char* program : {"unshare", "ip"}) {
        if (!programInPath(program)) {
            return why + "and " + program + " is not installed";
        }
    }
    const pid_t probe = spawnChild({"unshare", "-n", "true"});
    if (probe < 0 || reapChild(probe, std::chrono::seconds(5)) != 0) {
        return why + "and this machine does not let root make one (a container?)";
    }
    return std::nullopt;
}

int rerunTestInPrivateNetwork(std::chrono::seconds limit, bool multicastRouted) {
    const ::testing::UnitTest& tests = *::testing::UnitTest::GetInstance();
    return rerunSelf({std::string("--gtest_filter=") + tests.current_test_suite()->name() + "." +
                      tests.current_test_info()->name()},
                     limit, multicastRouted);
}

void rerunTestInPrivateNetworkOrSkip(bool needsLinkHut, bool multicastRouted) {
    if (needsLinkHut && !programInPath("LinkHut")) {
        TAMBREL_MISSING_NEED("LinkHut is not installed (ableton-link-utils)");
    }
    // CI runs as root: there a Link test that cannot run fails rather than passes unseen.
    if (const auto why = whyNoPrivateNetwork()) {
        TAMBREL_MISSING_NEED(*why);
    }
    // Up to ctest's own limit: a private JACK server waits for the other tests' to go.
    EXPECT_EQ(rerunTestInPrivateNetwork(std::chrono::seconds(240), multicastRouted), 0)
        << "in the private network, as above";
}

int rerunProgramInPrivateNetwork(int argc, char** argv) {
    return rerunSelf(std::vector<std::string>(argv + 1, argv + argc), std::nullopt);
}

} // namespace tambrel::testing
