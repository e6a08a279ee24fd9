#include "pulse_protocol.h"

#include "child_process.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

std::vector<std::string> privateEnvironment(const std::vector<std::string>& own) {
    static const char* const kTheirs[] = {
        "XDG_RUNTIME_DIR=",         "HOME=", "PULSE_", "PIPEWIRE_", "JACK_DEFAULT_SERVER=",
        "DBUS_SESSION_BUS_ADDRESS="};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool theirs = false;
        for (const char* prefix : kTheirs) {
            theirs = theirs || std::strncmp(*e, prefix, std::strlen(prefix)) == 0;
        }
        if (!theirs) {
            env.emplace_back(*e);
        }
    }
    env.insert(env.end(), own.begin(), own.end());
    return env;
}

int runPactl(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    int fds[2] = {-1, -1};
    if (output != nullptr && pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pactl = spawnChild(argv, {"", "", fds[1]});
    if (output != nullptr) {
        close(fds[1]);
        output->clear();
        char buffer[256];
        for (ssize_t n; pactl > 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
            output->append(buffer, std::size_t(n));
        }
        close(fds[0]);
    }
    // 127, as a shell says it, when there is no pactl to run.
    return pactl > 0 ? reapChild(pactl, std::chrono::seconds(5)) : 127;
}

PactlAnswer awaitPactl(pid_t server, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (childExited(server)) {
            return PactlAnswer::ServerExited;
        }
        const int answer = runPactl({"info"});
        if (answer == 0) {
            return PactlAnswer::Answered;
        }
        if (answer == 127) {
            return PactlAnswer::NoPactl;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return PactlAnswer::NoAnswer;
}

void ScopedEnvironment::save(const char* name) {
    for (const auto& [saved, old] : saved_) {
        if (saved == name) {
            return; // the first value is the one to put back
        }
    }
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old != nullptr ? std::string("=") + old : "");
}

void ScopedEnvironment::set(const char* name, const std::string& value) {
    save(name);
    setenv(name, value.c_str(), 1);
}

void ScopedEnvironment::unset(const char* name) {
    save(name);
    unsetenv(name);
}

void ScopedEnvironment::restore() {
    for (const auto& [name, old] : saved_) {
        if (old.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), old.c_str() + 1, 1);
        }
    }
    saved_.clear();
}

// parec's output, read from a pipe as it comes and stamped on arrival.
struct MonitorRecorder::Reader {
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

MonitorRecorder::MonitorRecorder() = default;

MonitorRecorder::~MonitorRecorder() {
    stop();
}

bool MonitorRecorder::start(const std::string& sink, const std::string& log,
                            std::size_t capacityFrames, std::chrono::milliseconds limit) {
    int fds[2];
    if (reader_ || pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    reader_ = std::make_unique<Reader>(capacityFrames);
    reader_->fd = fds[0];
    // A short latency: parec hands each few milliseconds over as they are played, and
    // their stamps say when that was. At the sink's own rate: resampling blurs onsets.
    reader_->parec =
        spawnChild({"parec", "-d", sink + ".monitor", "--raw", "--format=float32le", "--channels=2",
                    "--rate=" + std::to_string(kSampleRate), "--latency-msec=5"},
                   {"", log, fds[1]});
    close(fds[1]);
    reader_->thread = std::thread([reader = reader_.get()] { reader->run(); });
    if (reader_->parec <= 0) {
        stop();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reader_->started.load() && std::chrono::steady_clock::now() < deadline) {
        if (childExited(reader_->parec)) {
            reader_->parec = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!reader_->started.load()) {
        stop();
        return false;
    }
    return true;
}

Recording MonitorRecorder::recording() const {
    return reader_ ? reader_->samples.recording() : Recording{};
}

Recording MonitorRecorder::stop() {
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

bool PrivateSinkServer::startRecording(std::size_t capacityFrames,
                                       std::chrono::milliseconds limit) {
    return running() && recorder_.start(kSinkName, folder_ + "/parec.log", capacityFrames, limit);
}

Recording PrivateSinkServer::recording() const {
    return recorder_.recording();
}

void PrivateSinkServer::hideNativeApi() {
    clients_.set("PIPEWIRE_REMOTE", "tambrel-no-pipewire-here");
}

Recording PrivateSinkServer::stopRecording() {
    return recorder_.stop();
}

void PrivateSinkServer::leave() {
    clients_.restore();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        folder_.clear();
    }
}

} // namespace tambrel::testing
