// What the window costs while it stands stopped in a Link session, as bench/window_cost
// measures it without one: utime + stime of every thread from /proc/PID/stat, after the
// synth's last sound has rung out and Qt has settled.
#include "link_figures.h"

#include "jack_test_server.h"
#include "linkhut_program.h"
#include "pulse_test_server.h"

#include "tests/support/child_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

// utime + stime of a process (/proc/PID) or thread (/proc/PID/task/TID), in clock ticks;
// negative when it is gone. `name` gets its command name.
long long ticksOf(const std::string& folder, std::string* name = nullptr) {
    std::ifstream in(folder + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name may hold blanks: the fields are counted from after its ')'.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (close == std::string::npos || open == std::string::npos) {
        return -1;
    }
    if (name != nullptr) {
        *name = stat.substr(open + 1, close - open - 1);
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

long long processTicks(pid_t pid) {
    return ticksOf("/proc/" + std::to_string(pid));
}

// The processor time a thread has had, in nanoseconds, exact (the scheduler's own count,
// /proc/PID/task/TID/schedstat): clock ticks are too coarse to tell apart threads that each
// take a fraction of a millisecond a second. Negative when it is gone.
long long runNanosOf(const std::string& folder) {
    std::ifstream in(folder + "/schedstat");
    long long nanos = -1;
    return in >> nanos ? nanos : -1;
}

// Each thread's processor time by thread id, with its name.
std::map<std::string, std::pair<std::string, long long>> threadNanos(pid_t pid) {
    std::map<std::string, std::pair<std::string, long long>> threads;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string name;
        ticksOf(task.path().string(), &name);
        threads[task.path().filename().string()] = {name, runNanosOf(task.path().string())};
    }
    return threads;
}

// The threads that took any processor between the two readings, busiest first:
// "name=milliseconds".
std::string busiestThreads(const std::map<std::string, std::pair<std::string, long long>>& before,
                           const std::map<std::string, std::pair<std::string, long long>>& after) {
    std::vector<std::pair<long long, std::string>> busy;
    for (const auto& [tid, thread] : after) {
        const auto was = before.find(tid);
        const long long nanos = thread.second - (was != before.end() ? was->second.second : 0);
        if (nanos > 0) {
            busy.emplace_back(nanos, thread.first);
        }
    }
    std::sort(busy.rbegin(), busy.rend());
    std::string text;
    char ms[32];
    for (const auto& [nanos, name] : busy) {
        std::snprintf(ms, sizeof ms, "%.1fms", static_cast<double>(nanos) / 1e6);
        text += (text.empty() ? "" : ",") + name + "=" + ms;
    }
    return text.empty() ? "none" : text;
}

// Our environment, with the window offscreen and its settings in a home of its own; on
// PulseAudio, it finds no JACK server.
std::vector<std::string> windowEnvironment(const std::string& home, bool onPulse) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_CONFIG_HOME=", 0) != 0 &&
            entry.rfind("QT_QPA_PLATFORM=", 0) != 0 &&
            !(onPulse && entry.rfind("JACK_DEFAULT_SERVER=", 0) == 0)) {
            env.push_back(entry);
        }
    }
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    env.push_back("QT_QPA_PLATFORM=offscreen");
    if (onPulse) {
        env.push_back("JACK_DEFAULT_SERVER=tambrel-link-window-nobody");
    }
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

std::optional<double> measureStoppedCpu(const std::string& program, const WindowSetup& setup,
                                        int seconds, int& peers, std::string& threads,
                                        std::string& why) {
    if (program.empty()) {
        why = "a build without the window";
        return std::nullopt;
    }
    testing::PrivateJackServer server; // LinkHut's
    testing::PrivatePulseServer pulse;
    std::unique_ptr<testing::LinkHutProgram> huts[2];
    if (!server.start() || (setup.onPulse && !pulse.start())) {
        why = "jackd or pulseaudio did not start " + pulse.failure();
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
    const std::vector<std::string> env = windowEnvironment(folder, setup.onPulse);
    std::vector<std::string> argv{program};
    if (setup.link) {
        argv.push_back("--link");
    }
    const std::string log = std::string(folder) + "/window.log";
    const pid_t window = testing::spawnChild(argv, {log, log}, &env);
    std::this_thread::sleep_for(10s); // the synth falls quiet 3 s after its last sound
    const auto threadsBefore = threadNanos(window);
    const long long before = processTicks(window);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long after = processTicks(window);
    threads = busiestThreads(threadsBefore, threadNanos(window));
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
