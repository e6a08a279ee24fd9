#include "pulse_test_server.h"

#include "child_process.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tambrel::testing {

PrivatePulseServer::PrivatePulseServer() = default;

PrivatePulseServer::~PrivatePulseServer() {
    stop();
}

bool PrivatePulseServer::fail(const std::string& why) {
    failure_ = why;
    if (!folder_.empty()) {
        failure_ += lastLinesOf(folder_ + "/server.log", 5);
    }
    stop();
    return false;
}

bool PrivatePulseServer::start(std::chrono::milliseconds limit) {
    char folder[] = "/tmp/tambrel-pulse-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return fail("no private folder in /tmp");
    }
    folder_ = folder;
    const std::string runtime = folder_ + "/runtime";
    const std::string home = folder_ + "/home";
    mkdir(runtime.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    {
        // No client of this process may start a server of its own instead.
        std::ofstream conf(folder_ + "/client.conf");
        conf << "autospawn = no\n";
    }

    std::vector<std::string> env =
        privateEnvironment({"XDG_RUNTIME_DIR=" + runtime, "HOME=" + home});
    const std::string rate = std::to_string(kSampleRate);
    const std::string log = folder_ + "/server.log";
    pid_ = spawnChild({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                       "--use-pid-file=no", "--load=module-native-protocol-unix auth-anonymous=1",
                       // Without rewinds the null sink takes a new stream's first request at
                       // once, as a desktop's sink does, instead of after its idle block of 2 s.
                       std::string("--load=module-null-sink sink_name=") + kSinkName +
                           " rate=" + rate + " format=float32le channels=2 norewinds=1"},
                      {log, log}, &env);
    if (pid_ <= 0) {
        pid_ = -1;
        return fail("could not fork for pulseaudio");
    }

    // This process's clients (and pactl, parec) go to that server, with a cookie kept in
    // the private folder rather than the user's home.
    clients_.set("PULSE_SERVER", "unix:" + runtime + "/pulse/native");
    clients_.set("PULSE_COOKIE", folder_ + "/cookie");
    clients_.set("PULSE_CLIENTCONFIG", folder_ + "/client.conf");
    hideNativeApi(); // a PulseAudio desktop runs no PipeWire

    switch (awaitPactl(pid_, limit)) {
    case PactlAnswer::Answered:
        return true;
    case PactlAnswer::ServerExited:
        pid_ = -1;
        return fail("pulseaudio exited at start (is it installed? scripts/install-deps)");
    case PactlAnswer::NoPactl:
        return fail("no pactl here (pulseaudio-utils: scripts/install-deps)");
    case PactlAnswer::NoAnswer:
        break;
    }
    return fail("pactl info got no answer from pulseaudio within " + std::to_string(limit.count()) +
                " ms");
}

void PrivatePulseServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reapChild(pid_, std::chrono::seconds(5));
        pid_ = -1;
    }
}

void PrivatePulseServer::stop() {
    recorder_.stop();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reapChild(pid_, std::chrono::seconds(5));
        pid_ = -1;
    }
    leave();
}

} // namespace tambrel::testing
