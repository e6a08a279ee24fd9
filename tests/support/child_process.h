#pragma once
// How the tests and benchmarks start other programs (jackd, pulseaudio, pactl, parec,
// tambrel-pattern, the readers of its files) or a piece of their own code in a process of
// its own: started so that they end with the test even when it crashes, waited for with or
// without a limit, and their logs quoted when they fail.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace tambrel::testing {

// Where a child's standard output and error go: files, created or emptied (both into one
// when they name the same file, /dev/null when empty), or into `outputFd` and `errorFd`
// (the write end of a pipe, say) when those are set.
struct ChildStreams {
    std::string output;
    std::string error;
    int outputFd = -1;
    int errorFd = -1;

    // The test's own standard output and error.
    static ChildStreams inherited() { return {{}, {}, 1, 2}; }
};

// Starts argv[0] (looked up in PATH) with the other arguments and, when `env` is given,
// that environment instead of ours. The child gets SIGTERM when the test process ends.
// Returns its pid, or -1 when it could not be started (no such program, fork failed).
pid_t spawnChild(const std::vector<std::string>& argv, const ChildStreams& streams = {},
                 const std::vector<std::string>* env = nullptr);

// Whether `name` is an executable file in one of PATH's folders, as spawnChild finds it.
bool programInPath(const std::string& name);

// Runs `work` in a forked child, which exits with what it returns; SIGTERM when the test
// process ends, as above. Its pid, or -1 when fork failed.
pid_t forkChild(const std::function<int()>& work);

// Waits for the child to end, however long it takes. Its wait status (WIFEXITED and the
// rest read it), or -1 when `pid` is not a child of ours; `usage` gets the time it took.
int waitChild(pid_t pid, rusage* usage = nullptr);

// Waits up to `limit` for the child to end, SIGKILL after that. Its exit status, or -1
// when it did not end by exiting.
int reapChild(pid_t pid, std::chrono::milliseconds limit);

// Whether the child has ended (and is reaped now).
bool childExited(pid_t pid);

// Ends the child at once (SIGKILL) and reaps it.
void killChild(pid_t pid);

// The last `count` lines of a log file, each on a line of its own, indented: for a
// failure message.
std::string lastLinesOf(const std::string& path, std::size_t count);

// Ends this process with `what` on standard error when it still runs `limit` after this was
// made: a test that waits on a server, a stream or a recording that never comes fails with
// its reason, long before ctest's timeout ends it without a word. Disarmed when it goes.
class Deadline {
public:
    Deadline(std::chrono::seconds limit, std::string what);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    struct Watch;
    std::unique_ptr<Watch> watch_;
};

} // namespace tambrel::testing
