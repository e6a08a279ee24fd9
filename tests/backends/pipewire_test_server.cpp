#include "pipewire_test_server.h"

#include "child_process.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <jack/jack.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

namespace {

constexpr const char* kRerunMark = "TAMBREL_PIPEWIRE_JACK_RERUN";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

PrivatePipeWireServer::PrivatePipeWireServer() = default;

PrivatePipeWireServer::~PrivatePipeWireServer() {
    stop();
}

bool PrivatePipeWireServer::fail(const std::string& why) {
    failure_ = why;
    for (const char* log : {"dbus", "pipewire", "wireplumber", "pipewire-pulse"}) {
        const std::string tail = lastLinesOf(folder_ + "/" + log + ".log", 3);
        if (!folder_.empty() && !tail.empty()) {
            failure_ += std::string("\n ") + log + ":" + tail;
        }
    }
    stop();
    return false;
}

bool PrivatePipeWireServer::launch(const std::vector<std::string>& argv,
                                   const std::string& logName) {
    const std::string log = folder_ + "/" + logName + ".log";
    const pid_t pid = spawnChild(argv, {log, log}, &env_);
    if (pid <= 0) {
        return false;
    }
    pids_.push_back(pid);
    return true;
}

// Polls every 10 ms for the socket (or file) that a process makes once it serves, as long
// as every process started so far runs.
bool PrivatePipeWireServer::awaitFile(const std::string& path,
                                      std::chrono::steady_clock::time_point deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat made {};
        if (stat(path.c_str(), &made) == 0) {
            return true;
        }
        for (std::size_t i = 0; i < pids_.size(); ++i) {
            if (childExited(pids_[i])) {
                pids_.erase(pids_.begin() + std::ptrdiff_t(i));
                return false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool PrivatePipeWireServer::start(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char folder[] = "/tmp/tambrel-pipewire-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return fail("no private folder in /tmp");
    }
    folder_ = folder;
    runtime_ = folder_ + "/runtime";
    const std::string home = folder_ + "/home";
    mkdir(runtime_.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    const std::string bus = "unix:path=" + runtime_ + "/bus";
    env_ = privateEnvironment(
        {"XDG_RUNTIME_DIR=" + runtime_, "HOME=" + home, "DBUS_SESSION_BUS_ADDRESS=" + bus});

    // The session bus first (wireplumber and pipewire-pulse look for one), then the
    // server, then its session manager and PulseAudio face, as a desktop session starts them.
    if (!launch({"dbus-daemon", "--session", "--address=" + bus, "--nofork", "--nopidfile"},
                "dbus") ||
        !awaitFile(runtime_ + "/bus", deadline)) {
        return fail("dbus-daemon did not start (dbus-daemon: scripts/install-deps)");
    }
    if (!launch({"pipewire"}, "pipewire") || !awaitFile(runtime_ + "/pipewire-0", deadline)) {
        return fail("pipewire did not start (pipewire: scripts/install-deps)");
    }
    if (!launch({"wireplumber"}, "wireplumber") || !launch({"pipewire-pulse"}, "pipewire-pulse")) {
        return fail("could not fork for wireplumber and pipewire-pulse");
    }
    // This process's clients go to that server: PulseAudio's through pipewire-pulse, with
    // no server of their own started instead, PipeWire's (its libjack's) straight to it.
    {
        std::ofstream conf(folder_ + "/client.conf");
        conf << "autospawn = no\n";
    }
    clients_.set("PULSE_SERVER", "unix:" + runtime_ + "/pulse/native");
    clients_.set("PULSE_CLIENTCONFIG", folder_ + "/client.conf");
    clients_.set("PIPEWIRE_RUNTIME_DIR", runtime_);
    clients_.unset("PIPEWIRE_REMOTE");
    return makeSink(deadline);
}

// Once pipewire-pulse answers: the null sink, made the default one, which wireplumber
// confirms (only then do new streams and JACK's physical ports go there).
bool PrivatePipeWireServer::makeSink(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    switch (awaitPactl(pids_.back(), left)) {
    case PactlAnswer::Answered:
        break;
    case PactlAnswer::ServerExited:
        pids_.pop_back();
        return fail("pipewire-pulse exited at start (pipewire-pulse: scripts/install-deps)");
    case PactlAnswer::NoPactl:
        return fail("no pactl here (pulseaudio-utils: scripts/install-deps)");
    case PactlAnswer::NoAnswer:
        return fail("pactl info got no answer from pipewire-pulse");
    }
    // On a busy machine pactl may give up on pipewire-pulse before the sink is there, or
    // ask for the default before the sink is known: both are asked again until the deadline,
    // the sink made only while it is not listed.
    const std::string sink = std::string("sink_name=") + kSinkName;
    auto listed = [] {
        std::string sinks;
        return runPactl({"list", "short", "sinks"}, &sinks) == 0 &&
               sinks.find(std::string("\t") + kSinkName + "\t") != std::string::npos;
    };
    while (!listed() || runPactl({"set-default-sink", kSinkName}) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return fail("pipewire-pulse made no null sink");
        }
        if (!listed()) {
            runPactl({"load-module", "module-null-sink", sink,
                      "rate=" + std::to_string(kSampleRate), "format=float32le", "channels=2"});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (std::string chosen; std::chrono::steady_clock::now() < deadline;) {
        if (runPactl({"get-default-sink"}, &chosen) == 0 &&
            chosen == kSinkName + std::string("\n")) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fail("wireplumber did not make the null sink the default one");
}

bool PrivatePipeWireServer::holdQuantum(int frames) {
    const pid_t setter = spawnChild({"pw-metadata", "-r", "pipewire-0", "-n", "settings", "0",
                                     "clock.force-quantum", std::to_string(frames)});
    return setter > 0 && reapChild(setter, std::chrono::seconds(5)) == 0;
}

void PrivatePipeWireServer::stop() {
    recorder_.stop();
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid) {
        ::kill(*pid, SIGTERM);
        reapChild(*pid, std::chrono::seconds(5));
    }
    pids_.clear();
    leave();
}

bool usesPipeWireJack() {
    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(&jack_client_open), &where) == 0 ||
        where.dli_fname == nullptr) {
        return false;
    }
    return std::string(where.dli_fname).find("/pipewire-") != std::string::npos;
}

bool isPipeWireJackRerun() {
    return std::getenv(kRerunMark) != nullptr;
}

PipeWireJackRun rerunUnderPipeWireJack(const std::vector<std::string>& args) {
    PipeWireJackRun run;
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    char log[] = "/tmp/tambrel-pwjack-XXXXXX";
    const int logFd = mkstemp(log);
    if (length <= 0 || logFd < 0) {
        run.output = "cannot run this program again";
        return run;
    }
    close(logFd);
    std::vector<std::string> argv = {"pw-jack", self};
    argv.insert(argv.end(), args.begin(), args.end());
    // No JACK server name of an earlier test: PipeWire's libjack would look for it.
    std::vector<std::string> env = privateEnvironment({});
    for (const char* keep : {"XDG_RUNTIME_DIR", "HOME"}) {
        if (const char* value = std::getenv(keep)) {
            env.push_back(std::string(keep) + "=" + value);
        }
    }
    env.push_back(std::string(kRerunMark) + "=1");
    const pid_t pid = spawnChild(argv, {log, log}, &env);
    run.status = pid > 0 ? reapChild(pid, std::chrono::minutes(5)) : -1;
    run.output = pid > 0 ? readAll(log) : "no pw-jack here (pipewire-jack: scripts/install-deps)";
    unlink(log);
    return run;
}

} // namespace tambrel::testing
