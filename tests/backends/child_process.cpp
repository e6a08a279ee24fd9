#include "child_process.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tambrel::testing {

pid_t spawnChild(const std::vector<std::string>& argv, const ChildStreams& streams,
                 const std::vector<std::string>* env) {
    // Everything the child needs is made before the fork: a test process has threads, and
    // only async-signal-safe calls are allowed in the child then.
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    if (env != nullptr) {
        for (const std::string& e : *env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
    }
    const std::string output = streams.output.empty() ? "/dev/null" : streams.output;
    const std::string error = streams.error.empty() ? "/dev/null" : streams.error;
    const bool sameFile = streams.outputFd < 0 && error == output;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        return pid; // -1 when fork failed
    }
    // SIGTERM, not SIGKILL: a server that exits on its own cleans up after itself (JACK
    // gives its slot in the server registry back).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        _exit(1);
    }
    const int out = streams.outputFd >= 0
                        ? streams.outputFd
                        : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = sameFile ? out : open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (env != nullptr) {
        execvpe(args[0], args.data(), envp.data());
    } else {
        execvp(args[0], args.data());
    }
    _exit(127);
}

int reapChild(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

bool childExited(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

std::string lastLinesOf(const std::string& path, std::size_t count) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::string text;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        text += "\n  " + lines[i];
    }
    return text;
}

} // namespace tambrel::testing
