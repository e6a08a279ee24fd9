#pragma once
// A network of the test's own for Link peers: Link multicasts on every interface it finds,
// and it must never reach the machine's real network. The test or benchmark runs itself
// again inside a new network namespace (unshare -n, hence root) that has loopback alone,
// up, with multicast routed to it; every Link peer it starts there (ours, LinkHut) meets
// the others on loopback and nowhere else.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tambrel::testing {

// Set in the environment of a process started by the reruns below.
inline constexpr const char* kPrivateNetworkMarker = "TAMBREL_LINK_PRIVATE_NETWORK";

// The network interfaces this process sees, by name.
std::vector<std::string> networkInterfaces();

// Whether this process was started by a rerun below: it means to be in the private network.
bool startedForPrivateNetwork();

// Started by a rerun and "lo" the only interface in sight: Link may be enabled here.
bool insidePrivateNetwork();

// Why no private network can be made here (not root, unshare or ip missing, no namespace
// allowed), or nothing when it can.
std::optional<std::string> whyNoPrivateNetwork();

// Runs the current GoogleTest test again, alone, inside a private network; its exit status,
// or -1 when it could not start or did not exit on its own within `limit` (killed then).
// Without `multicastRouted`, loopback is up but multicast has no route: Link finds no peer.
int rerunTestInPrivateNetwork(std::chrono::seconds limit = std::chrono::seconds(240),
                              bool multicastRouted = true);

// For a test body outside the private network: the test again inside one (expecting it to
// pass), or, where none can be made or `needsLinkHut` and LinkHut is not installed, its
// skip with the reason (a failure under CI=true, as every missing need).
void rerunTestInPrivateNetworkOrSkip(bool needsLinkHut, bool multicastRouted = true);

// Runs this program again with its own arguments (argv[1] to argv[argc - 1]) inside a
// private network, for a benchmark's main; its exit status, or -1 when it could not start
// or did not exit on its own. Waits as long as it takes.
int rerunProgramInPrivateNetwork(int argc, char** argv);

} // namespace tambrel::testing
