#include "ui/mixer_launcher.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tambrel {

namespace {

// The graphical mixers, in the order we prefer them: the PulseAudio/PipeWire
// ones first since that is what most desktops route sound through today, then
// the desktops' own, then plain ALSA ones.
struct MixerCandidate {
    const char* name;
    std::vector<std::string> args;
};

const std::vector<MixerCandidate>& graphicalMixers() {
    static const std::vector<MixerCandidate> mixers = {
        {"pavucontrol", {}},    {"pwvucontrol", {}},
        {"pavucontrol-qt", {}}, {"gnome-control-center", {"sound"}},
        {"kmix", {}},           {"qasmixer", {}},
        {"alsamixergui", {}},
    };
    return mixers;
}

// alsamixer draws in a terminal, so it needs one to live in.
constexpr const char* textMixer = "alsamixer";
constexpr const char* terminals[] = {"x-terminal-emulator", "xterm"};

std::vector<std::string> splitPath(const std::string& pathVariable) {
    std::vector<std::string> folders;
    std::string::size_type start = 0;
    while (start <= pathVariable.size()) {
        auto end = pathVariable.find(':', start);
        if (end == std::string::npos) {
            end = pathVariable.size();
        }
        // An empty entry would mean "the current folder": whatever folder the
        // program happens to run in is no place to pick up a program from.
        if (end > start) {
            folders.push_back(pathVariable.substr(start, end - start));
        }
        start = end + 1;
    }
    return folders;
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> findProgram(const std::vector<std::string>& folders, const char* name) {
    for (const auto& folder : folders) {
        std::string candidate = folder;
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// Reports an errno value from a forked child to the parent through the pipe;
// only async-signal-safe calls are allowed here.
[[noreturn]] void failChild(int reportFd, int error) {
    [[maybe_unused]] auto written = ::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

// The grandchild: becomes the mixer. Runs between fork and exec of a possibly
// multi-threaded process, so it only makes async-signal-safe calls and touches
// nothing that was allocated after the fork.
[[noreturn]] void becomeMixer(int reportFd, const char* program, char* const* argv) {
    // The window's signal mask and ignored signals are ours, not the mixer's.
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
    // dup2 cleared close-on-exec: without it the pipe would stay open in the mixer, and the
    // window would wait for the mixer to end before it learnt that it started.
    if (::fcntl(report, F_SETFD, FD_CLOEXEC) != 0) {
        failChild(report, errno);
    }
    // MIDI and sound server connections of ours must not live on in the mixer.
    // Older kernels lack close_range; the mixer then merely inherits a few files.
    ::close_range(4, ~0U, 0);

    ::execv(program, argv);
    failChild(report, errno);
}

} // namespace

std::optional<MixerCommand> findMixer(const std::string& pathVariable) {
    const auto folders = splitPath(pathVariable);
    if (folders.empty()) {
        return std::nullopt;
    }
    for (const auto& mixer : graphicalMixers()) {
        if (auto program = findProgram(folders, mixer.name)) {
            return MixerCommand{*program, mixer.args};
        }
    }
    if (auto alsamixer = findProgram(folders, textMixer)) {
        for (const char* terminal : terminals) {
            if (auto program = findProgram(folders, terminal)) {
                return MixerCommand{*program, {"-e", *alsamixer}};
            }
        }
    }
    return std::nullopt;
}

namespace {

// The program and its arguments as exec takes them; `strings` owns the text.
std::vector<char*> argvOf(const MixerCommand& command, std::vector<std::string>& strings) {
    strings.reserve(command.args.size() + 1);
    strings.push_back(command.program);
    strings.insert(strings.end(), command.args.begin(), command.args.end());
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

bool startDetached(const MixerCommand& command) {
    if (command.program.empty()) {
        return false;
    }
    // Everything the children need is built before fork: after it, allocating
    // could deadlock on a lock held by another of our threads.
    std::vector<std::string> strings;
    std::vector<char*> argv = argvOf(command, strings);

    // The pipe tells us whether exec worked: it closes on a successful exec
    // (close-on-exec) and carries errno when anything before it failed.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }

    // Double fork: the middle child starts a new session and exits at once, so
    // the mixer is adopted by init (or the desktop's subreaper) and is neither
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
        const pid_t mixer = ::fork();
        if (mixer < 0) {
            failChild(report[1], errno);
        }
        if (mixer == 0) {
            becomeMixer(report[1], argv[0], argv.data());
        }
        ::_exit(0);
    }
    ::close(report[1]);
    return awaitExec(middle, report[0]);
}

bool launchMixer() {
    const char* path = std::getenv("PATH");
    const auto command = findMixer(path != nullptr ? path : "");
    return command.has_value() && startDetached(*command);
}

} // namespace tambrel
