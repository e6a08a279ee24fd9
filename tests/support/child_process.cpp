#include "child_process.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tambrel::testing {

namespace {

// Everything the child needs is made before the fork: a test process has threads, and
// only async-signal-safe calls are allowed in the child then.
struct ExecArgs {
    ExecArgs(const std::vector<std::string>& argv, const std::vector<std::string>* env) {
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        if (env != nullptr) {
            for (const std::string& e : *env) {
                envp.push_back(const_cast<char*>(e.c_str()));
            }
            envp.push_back(nullptr);
        }
    }
    std::vector<char*> args;
    std::vector<char*> envp; // empty: our own environment
};

struct Redirect {
    explicit Redirect(const ChildStreams& streams)
        : output(streams.output.empty() ? "/dev/null" : streams.output),
          error(streams.error.empty() ? "/dev/null" : streams.error), outputFd(streams.outputFd),
          errorFd(streams.errorFd),
          sameFile(streams.outputFd < 0 && streams.errorFd < 0 && error == output) {}

    // In the child.
    void apply() const {
        const int out =
            outputFd >= 0 ? outputFd : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = errorFd >= 0 ? errorFd
                        : sameFile   ? out
                                     : open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
    }

    std::string output;
    std::string error;
    int outputFd;
    int errorFd;
    bool sameFile;
};

// The errno of a failed exec, sent back through a pipe that a successful exec closes.
bool execFailed(int reportFd) {
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(reportFd, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof error);
}

} // namespace

pid_t spawnChild(const std::vector<std::string>& argv, const ChildStreams& streams,
                 const std::vector<std::string>* env) {
    ExecArgs exec(argv, env);
    const Redirect redirect(streams);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = forkChild([&] {
        redirect.apply();
        if (env != nullptr) {
            execvpe(exec.args[0], exec.args.data(), exec.envp.data());
        } else {
            execvp(exec.args[0], exec.args.data());
        }
        const int error = errno;
        (void)!write(report[1], &error, sizeof error);
        return 127;
    });
    close(report[1]);
    const bool failed = pid > 0 && execFailed(report[0]);
    close(report[0]);
    if (failed) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

bool programInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t from = 0; from <= folders.size();) {
        std::size_t to = folders.find(':', from);
        if (to == std::string::npos) {
            to = folders.size();
        }
        const std::string folder = to > from ? folders.substr(from, to - from) : ".";
        if (access((folder + "/" + name).c_str(), X_OK) == 0) {
            return true;
        }
        from = to + 1;
    }
    return false;
}

pid_t forkChild(const std::function<int()>& work) {
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
    _exit(work());
}

int waitChild(pid_t pid, rusage* usage) {
    int status = 0;
    if (pid <= 0 || wait4(pid, &status, 0, usage) != pid) {
        return -1;
    }
    return status;
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
    killChild(pid);
    return -1;
}

bool childExited(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

void killChild(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
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

struct Deadline::Watch {
    std::mutex mutex;
    std::condition_variable changed;
    bool disarmed = false;
    std::thread thread;
};

Deadline::Deadline(std::chrono::seconds limit, std::string what) : watch_(new Watch) {
    watch_->thread = std::thread([watch = watch_.get(), limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(watch->mutex);
        if (!watch->changed.wait_for(lock, limit, [&] { return watch->disarmed; })) {
            std::fprintf(stderr, "\n%s: still running after %lld s, ended here\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stdout);
            std::_Exit(124);
        }
    });
}

Deadline::~Deadline() {
    {
        std::lock_guard<std::mutex> lock(watch_->mutex);
        watch_->disarmed = true;
    }
    watch_->changed.notify_one();
    watch_->thread.join();
}

} // namespace tambrel::testing
