#include "pulse_test_server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

namespace {

// Starts `argv` with its standard output and error in those files (/dev/null when empty)
// and, when `env` is given, that environment. Everything the child needs is made before
// the fork: a test process has threads, and only exec is safe in the child then.
pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath,
            const std::string& errorPath, const std::vector<std::string>* env = nullptr) {
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
    const std::string output = outputPath.empty() ? "/dev/null" : outputPath;
    const std::string error = errorPath.empty() ? "/dev/null" : errorPath;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        return pid; // -1 when fork failed
    }
    // The child ends with the test even when the test crashes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        _exit(1);
    }
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = error == output ? out : open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    if (env != nullptr) {
        execvpe(args[0], args.data(), envp.data());
    } else {
        execvp(args[0], args.data());
    }
    _exit(127);
}

// Waits up to `limit` for the child; SIGKILL after that. Its exit status, or -1.
int reap(pid_t pid, std::chrono::milliseconds limit) {
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

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

std::string tailOf(const std::string& path, std::size_t lines) {
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    std::string text;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) {
        text += "\n  " + all[i];
    }
    return text;
}

} // namespace

PrivatePulseServer::PrivatePulseServer() = default;

PrivatePulseServer::~PrivatePulseServer() {
    stop();
}

bool PrivatePulseServer::fail(const std::string& why) {
    failure_ = why;
    if (!folder_.empty()) {
        failure_ += tailOf(folder_ + "/server.log", 5);
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

    // The server sees only its private folders; everything else of ours it inherits.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 && std::strncmp(*e, "HOME=", 5) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtime);
    env.push_back("HOME=" + home);
    const std::string rate = std::to_string(kSampleRate);
    pid_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                  "--load=module-native-protocol-unix auth-anonymous=1",
                  // Without rewinds the null sink takes a new stream's first request at
                  // once, as a desktop's sink does, instead of after its idle block of 2 s.
                  std::string("--load=module-null-sink sink_name=") + kSinkName + " rate=" + rate +
                      " format=float32le channels=2 norewinds=1"},
                 folder_ + "/server.log", folder_ + "/server.log", &env);
    if (pid_ <= 0) {
        pid_ = -1;
        return fail("could not fork for pulseaudio");
    }

    // This process's clients (and pactl, parec) go to that server, with a cookie kept in
    // the private folder rather than the user's home.
    const std::pair<const char*, std::string> ours[] = {
        {"PULSE_SERVER", "unix:" + runtime + "/pulse/native"},
        {"PULSE_COOKIE", folder_ + "/cookie"},
        {"PULSE_CLIENTCONFIG", folder_ + "/client.conf"},
    };
    for (const auto& [name, value] : ours) {
        const char* old = std::getenv(name);
        savedEnvironment_.emplace_back(name, old != nullptr ? std::string("=") + old : "");
        setenv(name, value.c_str(), 1);
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (exited(pid_)) {
            pid_ = -1;
            return fail("pulseaudio exited at start (is it installed? scripts/install-deps)");
        }
        const pid_t info = spawn({"pactl", "info"}, "", "");
        const int answer = info > 0 ? reap(info, std::chrono::seconds(5)) : -1;
        if (answer == 0) {
            return true;
        }
        if (answer == 127) {
            return fail("no pactl here (pulseaudio-utils: scripts/install-deps)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fail("pactl info got no answer from pulseaudio within " + std::to_string(limit.count()) +
                " ms");
}

void PrivatePulseServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, std::chrono::seconds(5));
        pid_ = -1;
    }
}

void PrivatePulseServer::stop() {
    if (recorder_ > 0) {
        stopRecording();
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reap(pid_, std::chrono::seconds(5));
        pid_ = -1;
    }
    for (const auto& [name, old] : savedEnvironment_) {
        if (old.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), old.c_str() + 1, 1);
        }
    }
    savedEnvironment_.clear();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        folder_.clear();
    }
}

bool PrivatePulseServer::startRecording(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || recorder_ > 0) {
        return false;
    }
    const std::string path = folder_ + "/monitor.raw";
    const std::string rate = std::to_string(kSampleRate);
    recorder_ = spawn({"parec", "-d", std::string(kSinkName) + ".monitor", "--format=float32le",
                       "--channels=2", "--rate=" + rate, "--latency-msec=20"},
                      path, "");
    if (recorder_ <= 0) {
        recorder_ = -1;
        return false;
    }
    // The null sink runs all the time, so its monitor delivers silence from the start.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_size > 0) {
            return true;
        }
        if (exited(recorder_)) {
            recorder_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stopRecording();
    return false;
}

std::vector<float> PrivatePulseServer::stopRecording() {
    if (recorder_ <= 0) {
        return {};
    }
    ::kill(recorder_, SIGINT);
    reap(recorder_, std::chrono::seconds(5));
    recorder_ = -1;
    std::ifstream in(folder_ + "/monitor.raw", std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / (2 * sizeof(float)) * 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

} // namespace tambrel::testing
