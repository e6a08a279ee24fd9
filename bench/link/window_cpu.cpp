// What the window costs while it stands stopped in a Link session, as bench/window_cost
// measures it without one: utime + stime of every thread from /proc/PID/stat, after the
// synth's last sound has rung out and Qt has settled.
#include "link_figures.h"

#include "jack_test_server.h"
#include "linkhut_program.h"

#include "tests/support/child_process.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

// utime + stime of the whole process, in clock ticks; negative when it is gone.
long long processTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name may hold blanks: the fields are counted from after its ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::atoll(field.c_str());
        } else if (i == 15) {
            stime = std::atoll(field.c_str());
        }
    }
    return utime + stime;
}

// Our environment, with the window offscreen and its settings in a home of its own.
std::vector<std::string> windowEnvironment(const std::string& home) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
            entry.rfind("QT_QPA_PLATFORM=", 0) != 0) {
            env.push_back(entry);
        }
    }
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    env.push_back("QT_QPA_PLATFORM=offscreen");
    return env;
}

bool twoLinkHuts(std::unique_ptr<testing::LinkHutProgram> (&huts)[2], std::string& why) {
    for (auto& hut : huts) {
        hut = std::make_unique<testing::LinkHutProgram>();
        if (!hut->waitUntilUp() || !hut->setLinkEnabled(true)) {
            why = "LinkHut did not come up with Link on:\n" + hut->screen();
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<double> measureStoppedCpu(const std::string& program, bool link, int seconds,
                                        int& peers, std::string& why) {
    testing::PrivateJackServer server;
    std::unique_ptr<testing::LinkHutProgram> huts[2];
    if (!server.start()) {
        why = "jackd did not start";
        return std::nullopt;
    }
    if (!twoLinkHuts(huts, why)) {
        return std::nullopt;
    }
    char folder[] = "/tmp/tambrel-link-window-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        why = "no folder for the window's home";
        return std::nullopt;
    }
    const std::vector<std::string> env = windowEnvironment(folder);
    std::vector<std::string> argv{program};
    if (link) {
        argv.push_back("--link");
    }
    const std::string log = std::string(folder) + "/window.log";
    const pid_t window = testing::spawnChild(argv, {log, log}, &env);
    std::this_thread::sleep_for(10s); // the synth falls quiet 3 s after its last sound
    const long long before = processTicks(window);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long after = processTicks(window);
    const auto state = huts[0]->state();
    peers = state ? state->peers : -1;
    const bool alive = window > 0 && !testing::childExited(window);
    if (alive) {
        testing::killChild(window);
    }
    if (!alive || before < 0 || after < 0) {
        why = "the window did not stay up:\n" + testing::lastLinesOf(log, 10);
        std::filesystem::remove_all(folder);
        return std::nullopt;
    }
    std::filesystem::remove_all(folder);
    return 100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / seconds;
}

} // namespace tambrel::bench
