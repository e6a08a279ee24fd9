#include "jack_test_server.h"

#include "child_process.h"

#include "backends/jack/jack_midi_device.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tambrel::testing {

namespace {

std::string uniqueServerName() {
    static std::atomic<int> counter{0};
    return "tambrel-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

bool clientCanOpen() {
    jack_client_t* probe = openJackClient("probe");
    if (probe == nullptr) {
        return false;
    }
    jack_client_close(probe);
    return true;
}

bool anyJackServerRunning() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return true;
    }
    bool found = false;
    while (const dirent* entry = readdir(proc)) {
        std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
        std::string name;
        if (comm && std::getline(comm, name) && name == "jackd") {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

// The server listens on this socket only once it has made its shared memory and JACK's
// metadata database. A client that opens before then makes them too, at the same moment
// as the server: the test that does so can die of SIGSEGV inside libjack, or leave the
// database broken for every later client.
bool serverListening(const std::string& name) {
    const std::string socket = "/dev/shm/jack_" + name + "_" + std::to_string(getuid()) + "_0";
    return access(socket.c_str(), F_OK) == 0;
}

void removeTree(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                unlink((path + "/" + name).c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

} // namespace

jack_client_t* openJackClient(const std::string& name) {
    backends::silenceJack();
    jack_status_t status{};
    return jack_client_open(name.c_str(), JackNoStartServer, &status);
}

JackTestLock::JackTestLock() {
    fd_ = open("/tmp/tambrel-jack-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        flock(fd_, LOCK_EX);
    }
    // With no server running, the metadata database is a leftover that the last server
    // failed to delete, possibly half-made: JACK builds a fresh one on the next open.
    if (!anyJackServerRunning()) {
        removeTree("/dev/shm/jack_db-" + std::to_string(getuid()));
    }
}

JackTestLock::~JackTestLock() {
    if (fd_ >= 0) {
        close(fd_); // releases the lock
    }
}

PrivateJackServer::PrivateJackServer() : name_(uniqueServerName()) {}

PrivateJackServer::~PrivateJackServer() {
    stop();
    releaseRegistrySlot();
}

pid_t PrivateJackServer::launch() {
    // Synchronous in a sanitizer build: clients slowed down by a sanitizer are then late
    // rather than skipped (a skipped receiver loses its events).
    // Real-time where the machine allows it, as a musician's JACK runs: without it a busy
    // machine stalls the dummy driver's thread, its frame clock skips, and the notes
    // placed on it with it (jackd falls back to normal scheduling on its own where it may
    // not). Not in a sanitizer build, whose slowed real-time clients would starve the rest.
#ifdef TAMBREL_JACK_PERIOD_FRAMES
    const bool synchronous = true;
    std::vector<std::string> argv = {"jackd", "--no-realtime"};
#else
    const bool synchronous = synchronous_;
    std::vector<std::string> argv = {"jackd", "--realtime"};
#endif
    if (synchronous) {
        argv.push_back("-S");
    }
    argv.insert(argv.end(), {"-n", name_, "-d", "dummy", "-r", std::to_string(kSampleRate), "-p",
                             std::to_string(kPeriodFrames)});
    if (!playback_) {
        argv.insert(argv.end(), {"-P", "0"});
    }
    // The server's own chatter would bury the test's output.
    return spawnChild(argv);
}

bool PrivateJackServer::waitUntilUp(std::chrono::milliseconds limit) {
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + limit;
    // A libjack that keeps its socket elsewhere is probed after a while all the same.
    const auto probeAnyway = started + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        if (childExited(pid_)) {
            pid_ = -1; // it gave up on its own
            return false;
        }
        const bool listening =
            serverListening(name_) || std::chrono::steady_clock::now() > probeAnyway;
        if (listening && clientCanOpen()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool PrivateJackServer::start(std::chrono::milliseconds limit) {
    backends::silenceJack();
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    pid_ = launch();
    if (pid_ <= 0) {
        pid_ = -1;
        return false;
    }
    if (!waitUntilUp(limit)) {
        stop();
        return false;
    }
    return true;
}

void PrivateJackServer::end(int signal) {
    ::kill(pid_, signal);
    reapChild(pid_, std::chrono::seconds(5));
    pid_ = -1;
}

void PrivateJackServer::stop() {
    if (pid_ > 0) {
        end(SIGTERM);
    }
}

void PrivateJackServer::kill() {
    if (pid_ > 0) {
        end(SIGKILL);
        killed_ = true;
    }
}

void PrivateJackServer::releaseRegistrySlot() {
    // JACK keeps at most eight servers in its registry and frees the slot of a killed
    // one only when a server of the same name starts again: do that, and stop it cleanly,
    // so that killing servers in tests never locks the machine out of JACK.
    if (!killed_) {
        return;
    }
    killed_ = false;
    pid_ = launch();
    if (pid_ > 0) {
        waitUntilUp(std::chrono::seconds(10));
        stop();
    }
    pid_ = -1;
    // The semaphores of the clients that were on the killed server stay behind too.
    const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
    if (DIR* shm = opendir("/dev/shm")) {
        while (const dirent* entry = readdir(shm)) {
            if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
                unlink(("/dev/shm/" + std::string(entry->d_name)).c_str());
            }
        }
        closedir(shm);
    }
}

JackMidiReceiver::JackMidiReceiver(const std::string& clientName, std::size_t capacity)
    : slots_(capacity) {
    client_ = openJackClient(clientName);
    if (client_ == nullptr) {
        return;
    }
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackMidiReceiver::onProcess, this);
    if (port_ == nullptr || jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
        return;
    }
    // Other clients see a new port only from the period after it was activated: wait for
    // two periods of our own so that the port is listed when the constructor returns.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cycles_.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

JackMidiReceiver::~JackMidiReceiver() {
    if (client_ != nullptr) {
        jack_client_close(client_);
    }
}

std::string JackMidiReceiver::portName() const {
    return jack_port_name(port_);
}

std::uint32_t JackMidiReceiver::frameTime() const {
    return jack_frame_time(client_);
}

int JackMidiReceiver::connectionCount() const {
    return jack_port_connected(port_);
}

int JackMidiReceiver::onProcess(std::uint32_t frames, void* self) noexcept {
    auto* receiver = static_cast<JackMidiReceiver*>(self);
    void* buffer = jack_port_get_buffer(receiver->port_, frames);
    const jack_nframes_t start = jack_last_frame_time(receiver->client_);
    receiver->cycles_.fetch_add(1, std::memory_order_relaxed);
    const std::uint32_t n = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) {
            continue;
        }
        if (event.size > 3) {
            receiver->oversized_.fetch_add(1);
            continue;
        }
        const std::size_t at = receiver->count_.load(std::memory_order_relaxed);
        if (at >= receiver->slots_.size()) {
            continue;
        }
        ReceivedEvent& slot = receiver->slots_[at];
        slot.frame = start + event.time;
        slot.size = static_cast<std::uint8_t>(event.size);
        for (std::size_t b = 0; b < event.size; ++b) {
            slot.bytes[b] = event.buffer[b];
        }
        receiver->count_.store(at + 1, std::memory_order_release);
    }
    return 0;
}

std::vector<ReceivedEvent> JackMidiReceiver::events() const {
    const std::size_t n = count();
    return {slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool JackMidiReceiver::waitForCount(std::size_t n, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (count() < n) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::uint8_t> noteBytes(std::uint32_t message) {
    return {static_cast<std::uint8_t>(message & 0xFF), static_cast<std::uint8_t>(message >> 8),
            static_cast<std::uint8_t>(message >> 16)};
}

} // namespace tambrel::testing
