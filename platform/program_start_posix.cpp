#include "platform/program_start.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tambrel::platform {

namespace {

// Reports an errno value from a forked child to the parent through the pipe;
// only async-signal-safe calls are allowed here.
[[noreturn]] void failChild(int reportFd, int error) {
    [[maybe_unused]] auto written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

// The grandchild: becomes the program. Runs between fork and exec of a possibly
// multi-threaded process, so it only makes async-signal-safe calls and touches
// nothing that was allocated after the fork.
[[noreturn]] void becomeProgram(int reportFd, const char* program, char* const* argv) {
    // Our signal mask and ignored signals are ours, not the program's.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(SIGPIPE, &byDefault, nullptr);
    ::sigaction(SIGCHLD, &byDefault, nullptr);

    // Keep the report pipe above the three standard descriptors before they are
    // replaced, then park it at 3 so that everything above can be closed.
    int report = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 3);
    if (report < 0) {
        failChild(reportFd, errno);
    }
    int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) {
        failChild(report, errno);
    }
    for (int fd = 0; fd <= 2; ++fd) {
        if (::dup2(devNull, fd) < 0) {
            failChild(report, errno);
        }
    }
    if (report != 3) {
        if (::dup2(report, 3) < 0) {
            failChild(report, errno);
        }
        report = 3;
    }
    // dup2 cleared close-on-exec: without it the pipe would stay open in the program, and
    // the caller would wait for the program to end before it learnt that it started.
    if (::fcntl(report, F_SETFD, FD_CLOEXEC) != 0) {
        failChild(report, errno);
    }
    // MIDI and sound server connections of ours must not live on in the program.
    // Older kernels lack close_range; the program then merely inherits a few files.
    ::close_range(4, ~0U, 0);

    ::execv(program, argv);
    failChild(report, errno);
}

// The program and its arguments as exec takes them; `strings` owns the text.
std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& args,
                          std::vector<std::string>& strings) {
    strings.reserve(args.size() + 1);
    strings.push_back(program);
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(strings.size() + 1);
    for (auto& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// Reaps the middle child and reads the report pipe: true when the exec worked.
bool awaitExec(pid_t middle, int report) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(middle, &status, 0);
    } while (reaped < 0 && errno == EINTR);

    int childError = 0;
    ssize_t got;
    do {
        got = ::read(report, &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report);

    // Some other part of the program may have reaped the middle child first
    // (ECHILD); the pipe still tells the truth about the exec.
    const bool middleOk = reaped < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return got == 0 && middleOk;
}

} // namespace

bool startProgram(const std::string& program, const std::vector<std::string>& args) {
    if (program.empty()) {
        return false;
    }
    // Everything the children need is built before fork: after it, allocating
    // could deadlock on a lock held by another of our threads.
    std::vector<std::string> strings;
    std::vector<char*> argv = argvOf(program, args, strings);

    // The pipe tells us whether exec worked: it closes on a successful exec
    // (close-on-exec) and carries errno when anything before it failed.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }

    // Double fork: the middle child starts a new session and exits at once, so
    // the program is adopted by init (or the desktop's subreaper) and is neither
    // our zombie nor killed with our terminal or process group.
    const pid_t middle = ::fork();
    if (middle < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (middle == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t child = ::fork();
        if (child < 0) {
            failChild(report[1], errno);
        }
        if (child == 0) {
            becomeProgram(report[1], argv[0], argv.data());
        }
        ::_exit(0);
    }
    ::close(report[1]);
    return awaitExec(middle, report[0]);
}

} // namespace tambrel::platform
