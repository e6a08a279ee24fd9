#include "sound_kit.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <jack/jack.h>
#include <limits>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

// --- recordings

double Recording::timeOf(std::size_t sample, double* spread) const {
    const auto near = static_cast<std::size_t>(0.1 * sampleRate);
    std::vector<double> estimates;
    for (bool anywhere : {false, true}) {
        for (const auto& [end, stamp] : arrivals) {
            if (anywhere || (end + near >= sample && end <= sample + 2 * near)) {
                estimates.push_back(stamp - (double(end) - double(sample)) / sampleRate);
            }
        }
        if (!estimates.empty()) {
            break;
        }
    }
    if (estimates.empty()) {
        return 0.0;
    }
    std::sort(estimates.begin(), estimates.end());
    if (spread != nullptr) {
        *spread = estimates[estimates.size() * 9 / 10] - estimates[estimates.size() / 10];
    }
    return estimates[estimates.size() / 2];
}

std::size_t Recording::sampleAt(double time) const {
    // From the start, then once more from where that lands, where the clock is read better.
    double index = (time - timeOf(0)) * sampleRate;
    for (int pass = 0; pass < 2; ++pass) {
        const std::size_t at = std::min(samples.size(), std::size_t(std::max(0.0, index)));
        index = double(at) + (time - timeOf(at)) * sampleRate;
    }
    return std::min(samples.size(), std::size_t(std::max(0.0, std::floor(index))));
}

Recording Recording::slice(double from, double to) const {
    Recording part;
    part.sampleRate = sampleRate;
    const std::size_t first = sampleAt(from);
    const std::size_t last = std::max(first, sampleAt(to));
    part.samples.assign(samples.begin() + std::ptrdiff_t(first),
                        samples.begin() + std::ptrdiff_t(last));
    for (const auto& [end, stamp] : arrivals) {
        if (end > first) {
            part.arrivals.emplace_back(end - first, stamp);
        }
    }
    return part;
}

float Recording::peak(std::size_t from, std::size_t to) const {
    float loudest = 0.0f;
    for (std::size_t i = from; i < std::min(to, samples.size()); ++i) {
        loudest = std::max(loudest, std::fabs(samples[i]));
    }
    return loudest;
}

std::vector<std::size_t> Recording::onsets(float threshold, double gap) const {
    std::vector<std::size_t> found;
    const auto quietRun = static_cast<std::size_t>(gap * sampleRate);
    std::size_t quiet = 0;
    bool armed = true; // the recording starts after silence
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const float level = std::fabs(samples[i]);
        if (level >= threshold && armed) {
            found.push_back(i);
            armed = false;
        }
        quiet = level < threshold / 10 ? quiet + 1 : 0;
        armed = armed || quiet >= quietRun;
    }
    return found;
}

double dbfs(float peak) {
    return peak > 0.0f ? 20.0 * std::log10(peak) : -std::numeric_limits<double>::infinity();
}

double soundClock() noexcept {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

StampedSamples::StampedSamples(std::size_t capacityFrames, double sampleRate)
    : sampleRate_(sampleRate), samples_(capacityFrames), arrivals_(capacityFrames / 16 + 1) {}

void StampedSamples::append(const float* left, const float* right, std::size_t frames,
                            std::size_t stride, double stamp) noexcept {
    for (std::size_t i = 0; i < frames && frames_ < samples_.size(); ++i, ++frames_) {
        const float l = left[i * stride];
        const float r = right[i * stride];
        samples_[frames_] = std::fabs(l) >= std::fabs(r) ? l : r;
    }
    if (batches_ < arrivals_.size()) {
        arrivals_[batches_++] = {frames_, stamp};
    }
    published_.store(frames_, std::memory_order_release);
    publishedBatches_.store(batches_, std::memory_order_release);
}

Recording StampedSamples::recording() const {
    Recording recording;
    const std::size_t batches = publishedBatches_.load(std::memory_order_acquire);
    const std::size_t frames = published_.load(std::memory_order_acquire);
    recording.samples.assign(samples_.begin(), samples_.begin() + std::ptrdiff_t(frames));
    recording.arrivals.assign(arrivals_.begin(), arrivals_.begin() + std::ptrdiff_t(batches));
    recording.sampleRate = sampleRate_;
    return recording;
}

namespace {

// Starts a program with its output (and errors) into `output`, or a pipe when `pipeOut`
// is given, and with `env` for its environment. posix_spawn: the test has threads.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output, int pipeOut = -1,
            char** env = environ) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeOut >= 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeOut, 1);
        posix_spawn_file_actions_addopen(&actions, 2, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Ends a child: SIGTERM, then SIGKILL if it is still there after a second.
void end(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool runsToSuccess(const std::vector<std::string>& argv, const std::string& log) {
    const pid_t pid = spawn(argv, log);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool exited(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == pid;
}

std::string lastLines(const std::string& path, std::size_t count) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    std::string text;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        text += "\n    " + lines[i];
    }
    return text;
}

} // namespace

// --- PulseAudio

// parec's output, read as it comes.
struct PrivatePulseServer::Reader {
    pid_t parec = -1;
    int fd = -1;
    std::thread thread;
    StampedSamples samples{std::size_t(kSampleRate) * 60, kSampleRate};
    std::atomic<bool> started{false};

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
            samples.append(frames.data(), frames.data() + 1, whole, 2, stamp);
            held = bytes - whole * kFrameBytes;
            std::memmove(frames.data(),
                         reinterpret_cast<char*>(frames.data()) + whole * kFrameBytes, held);
            started.store(true);
        }
    }
};

PrivatePulseServer::PrivatePulseServer() = default;

PrivatePulseServer::~PrivatePulseServer() {
    if (reader_) {
        stopRecording();
    }
    stop();
}

bool PrivatePulseServer::fail(const std::string& why) {
    failure_ = why + lastLines(folder_ + "/server.log", 4);
    stop();
    return false;
}

void PrivatePulseServer::stop() {
    end(server_);
    server_ = -1;
    for (const auto& [name, value] : savedEnvironment_) {
        if (value.empty()) {
            unsetenv(name.c_str());
        } else {
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    savedEnvironment_.clear();
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        folder_.clear();
    }
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
    std::ofstream(folder_ + "/client.conf") << "autospawn = no\n";

    // The server gets the private folders; the rest of the environment is ours.
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtime, "HOME=" + home};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 && std::strncmp(*e, "HOME=", 5) != 0 &&
            std::strncmp(*e, "PULSE_", 6) != 0) {
            env.emplace_back(*e);
        }
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    server_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                     "--use-pid-file=no", "--load=module-native-protocol-unix auth-anonymous=1",
                     // Without rewinds the null sink plays a new stream at once, as a
                     // desktop's sink does, not after an idle block of its own.
                     "--load=module-null-sink sink_name=out rate=" + std::to_string(kSampleRate) +
                         " format=float32le channels=2 norewinds=1"},
                    folder_ + "/server.log", -1, envp.data());
    if (server_ <= 0) {
        return fail("pulseaudio could not be started (is it installed?)");
    }

    for (const auto& [name, value] :
         {std::pair<std::string, std::string>{"PULSE_SERVER", "unix:" + runtime + "/pulse/native"},
          {"PULSE_CLIENTCONFIG", folder_ + "/client.conf"},
          {"PULSE_COOKIE", home + "/.config/pulse/cookie"}}) {
        const char* old = std::getenv(name.c_str());
        savedEnvironment_.emplace_back(name, old != nullptr ? old : "");
        setenv(name.c_str(), value.c_str(), 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!runsToSuccess({"pactl", "info"}, folder_ + "/pactl.log")) {
        if (exited(server_)) {
            server_ = -1;
            return fail("pulseaudio ended at start");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return fail("pulseaudio did not answer pactl info");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool PrivatePulseServer::startRecording() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    reader_ = std::make_unique<Reader>();
    reader_->fd = fds[0];
    reader_->parec =
        spawn({"parec", "-d", "out.monitor", "--raw", "--format=float32le",
               "--rate=" + std::to_string(kSampleRate), "--channels=2", "--latency-msec=5"},
              folder_ + "/parec.log", fds[1]);
    close(fds[1]);
    reader_->thread = std::thread([reader = reader_.get()] { reader->run(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!reader_->started.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return reader_->parec > 0 && reader_->started.load();
}

Recording PrivatePulseServer::recording() const {
    return reader_ ? reader_->samples.recording() : Recording{};
}

Recording PrivatePulseServer::stopRecording() {
    if (!reader_) {
        return {};
    }
    end(reader_->parec);
    reader_->thread.join();
    close(reader_->fd);
    Recording recording = reader_->samples.recording();
    reader_.reset();
    return recording;
}

// --- JACK

JackSourceRecorder::JackSourceRecorder(double seconds) {
    jack_status_t status{};
    client_ = jack_client_open("tambrel-audio-recorder", JackNoStartServer, &status);
    if (client_ == nullptr) {
        return;
    }
    const double rate = jack_get_sample_rate(client_);
    samples_ = std::make_unique<StampedSamples>(std::size_t(seconds * rate), rate);
    for (const char* name : {"in_1", "in_2"}) {
        ports_.push_back(
            jack_port_register(client_, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
    }
    jack_set_process_callback(client_, &JackSourceRecorder::onProcess, this);
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackSourceRecorder::~JackSourceRecorder() {
    if (client_ != nullptr) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

bool JackSourceRecorder::connectFrom(const std::string& source) {
    const char** outputs = jack_get_ports(client_, ("^" + source + ":").c_str(),
                                          JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    std::size_t connected = 0;
    for (std::size_t i = 0; outputs != nullptr && outputs[i] != nullptr && i < ports_.size(); ++i) {
        connected += jack_connect(client_, outputs[i], jack_port_name(ports_[i])) == 0 ? 1 : 0;
    }
    jack_free(outputs);
    recording_.store(connected > 0);
    return connected > 0;
}

int JackSourceRecorder::onProcess(std::uint32_t frames, void* self) noexcept {
    auto* recorder = static_cast<JackSourceRecorder*>(self);
    if (recorder->recording_.load(std::memory_order_acquire)) {
        // The period is rendered now: its last frame is as late as it gets.
        const double stamp = soundClock();
        recorder->samples_->append(
            static_cast<const float*>(jack_port_get_buffer(recorder->ports_[0], frames)),
            static_cast<const float*>(jack_port_get_buffer(recorder->ports_[1], frames)), frames, 1,
            stamp + frames / recorder->samples_->sampleRate());
    }
    return 0;
}

double JackSourceRecorder::playbackLatency() const {
    jack_port_t* out = jack_port_by_name(client_, "system:playback_1");
    if (out == nullptr) {
        return 0.0;
    }
    jack_latency_range_t range{};
    jack_port_get_latency_range(out, JackPlaybackLatency, &range);
    return range.max / double(jack_get_sample_rate(client_));
}

} // namespace tambrel::testing
