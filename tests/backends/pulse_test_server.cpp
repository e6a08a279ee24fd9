#include "pulse_test_server.h"

#include "child_process.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

namespace {

// The server sees only its private folders, and no other server's address; everything
// else of ours it inherits.
std::vector<std::string> serverEnvironment(const std::string& runtime, const std::string& home) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 && std::strncmp(*e, "HOME=", 5) != 0 &&
            std::strncmp(*e, "PULSE_", 6) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtime);
    env.push_back("HOME=" + home);
    return env;
}

enum class Answer { Answered, ServerExited, NoPactl, NoAnswer };

// Asks the server started as `server` with `pactl info` until it answers or `limit` passes.
Answer awaitAnswer(pid_t server, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (childExited(server)) {
            return Answer::ServerExited;
        }
        const pid_t info = spawnChild({"pactl", "info"});
        const int answer = info > 0 ? reapChild(info, std::chrono::seconds(5)) : -1;
        if (answer == 0) {
            return Answer::Answered;
        }
        if (answer == 127) {
            return Answer::NoPactl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Answer::NoAnswer;
}

} // namespace

// parec's output, read from a pipe as it comes and stamped on arrival.
struct PrivatePulseServer::Reader {
    explicit Reader(std::size_t capacityFrames) : samples(capacityFrames, kSampleRate) {}

    void run() {
        constexpr std::size_t kFrameBytes = 2 * sizeof(float);
        std::vector<float> frames(2048);
        std::size_t held = 0; // bytes of a frame not yet complete
        for (;;) {
            char* into = reinterpret_cast<char*>(frames.data()) + held;
            const ssize_t n = read(fd, into, frames.size() * sizeof(float) - held);
            if (n <= 0) {
                break;
            }
            const double stamp = soundClock();
            const std::size_t bytes = held + std::size_t(n);
            const std::size_t whole = bytes / kFrameBytes;
            samples.write(samples.size(), frames.data(), frames.data() + 1, whole, 2, stamp);
            held = bytes - whole * kFrameBytes;
            std::memmove(frames.data(),
                         reinterpret_cast<char*>(frames.data()) + whole * kFrameBytes, held);
            started.store(true);
        }
    }

    pid_t parec = -1;
    int fd = -1;
    std::thread thread;
    RecordingBuffer samples;
    std::atomic<bool> started{false};
};

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

    std::vector<std::string> env = serverEnvironment(runtime, home);
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

    switch (awaitAnswer(pid_, limit)) {
    case Answer::Answered:
        return true;
    case Answer::ServerExited:
        pid_ = -1;
        return fail("pulseaudio exited at start (is it installed? scripts/install-deps)");
    case Answer::NoPactl:
        return fail("no pactl here (pulseaudio-utils: scripts/install-deps)");
    case Answer::NoAnswer:
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
    stopRecording();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reapChild(pid_, std::chrono::seconds(5));
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

bool PrivatePulseServer::startRecording(std::size_t capacityFrames,
                                        std::chrono::milliseconds limit) {
    int fds[2];
    if (pid_ <= 0 || reader_ || pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    reader_ = std::make_unique<Reader>(capacityFrames);
    reader_->fd = fds[0];
    // A short latency: parec hands each few milliseconds over as they are played, and
    // their stamps say when that was.
    reader_->parec = spawnChild({"parec", "-d", std::string(kSinkName) + ".monitor", "--raw",
                                 "--format=float32le", "--channels=2",
                                 "--rate=" + std::to_string(kSampleRate), "--latency-msec=5"},
                                {"", folder_ + "/parec.log", fds[1]});
    close(fds[1]);
    reader_->thread = std::thread([reader = reader_.get()] { reader->run(); });
    if (reader_->parec <= 0) {
        stopRecording();
        return false;
    }
    // The null sink runs all the time, so its monitor delivers silence from the start.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reader_->started.load() && std::chrono::steady_clock::now() < deadline) {
        if (childExited(reader_->parec)) {
            reader_->parec = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reader_->started.load()) {
        stopRecording();
        return false;
    }
    return true;
}

Recording PrivatePulseServer::recording() const {
    return reader_ ? reader_->samples.recording() : Recording{};
}

Recording PrivatePulseServer::stopRecording() {
    if (!reader_) {
        return {};
    }
    if (reader_->parec > 0) {
        ::kill(reader_->parec, SIGINT);
        reapChild(reader_->parec, std::chrono::seconds(5));
    }
    reader_->thread.join(); // parec's end closes the pipe
    close(reader_->fd);
    Recording recording = reader_->samples.recording();
    reader_.reset();
    return recording;
}

} // namespace tambrel::testing
