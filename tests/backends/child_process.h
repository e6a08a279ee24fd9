#pragma once
// The servers and tools that the test kits start as child processes (jackd, pulseaudio,
// pactl, parec): started so that they end with the test even when it crashes, waited for
// with a limit, and their logs quoted when they fail.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tambrel::testing {

// Where a child's standard output and error go: files, created or emptied (both into one
// when they name the same file, /dev/null when empty), or its output into `outputFd` (the
// write end of a pipe, say) when that is set.
struct ChildStreams {
    std::string output;
    std::string error;
    int outputFd = -1;
};

// Starts argv[0] (looked up in PATH) with the other arguments and, when `env` is given,
// that environment instead of ours. The child gets SIGTERM when the test process ends.
// Returns its pid, or -1 when fork failed; a program that cannot be run exits with 127.
pid_t spawnChild(const std::vector<std::string>& argv, const ChildStreams& streams = {},
                 const std::vector<std::string>* env = nullptr);

// Waits up to `limit` for the child to end, SIGKILL after that. Its exit status, or -1
// when it did not end by exiting.
int reapChild(pid_t pid, std::chrono::milliseconds limit);

// Whether the child has ended (and is reaped now).
bool childExited(pid_t pid);

// The last `count` lines of a log file, each on a line of its own, indented: for a
// failure message.
std::string lastLinesOf(const std::string& path, std::size_t count);

} // namespace tambrel::testing
