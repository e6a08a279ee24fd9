#include "linkhut_program.h"

#include "child_process.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace tambrel::testing {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string_view> columns(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t bar = line.find('|'); bar != std::string_view::npos; bar = line.find('|')) {
        fields.push_back(trimmed(line.substr(0, bar)));
        line.remove_prefix(bar + 1);
    }
    fields.push_back(trimmed(line));
    return fields;
}

template <typename Number> std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// "yes" or "no" at the start (`atEnd` false) or the end of `text`.
std::optional<bool> yesOrNo(std::string_view text, bool atEnd) {
    for (const auto& [word, meaning] : {std::pair{"yes", true}, std::pair{"no", false}}) {
        const std::string_view w(word);
        if (text.size() >= w.size() &&
            text.substr(atEnd ? text.size() - w.size() : 0, w.size()) == w) {
            return meaning;
        }
    }
    return std::nullopt;
}

// Its status line's columns, in its order.
enum Column { kEnabled, kPeers, kQuantum, kSync, kTempo, kBeats, kMetro, kColumns };

} // namespace

int LinkHutState::beatInBar() const {
    return static_cast<int>(std::count(metro.begin(), metro.end(), 'X')) - 1;
}

std::optional<LinkHutState> LinkHutScreen::parseStatus(std::string_view line) {
    const std::vector<std::string_view> field = columns(line);
    if (field.size() != kColumns) {
        return std::nullopt;
    }
    const auto enabled = yesOrNo(field[kEnabled], true);
    const auto peers = number<int>(field[kPeers]);
    const auto quantum = number<int>(field[kQuantum]);
    const auto sync = yesOrNo(field[kSync], false);
    const bool playing = field[kSync].find("[playing]") != std::string_view::npos;
    const bool stopped = field[kSync].find("[stopped]") != std::string_view::npos;
    const auto tempo = number<double>(field[kTempo]);
    const auto beats = number<double>(field[kBeats]);
    const std::string_view metro = field[kMetro];
    const bool metroOk = !metro.empty() && metro.find_first_not_of("XO") == std::string_view::npos;
    if (!enabled || !peers || !quantum || !sync || playing == stopped || !tempo || !beats ||
        !metroOk) {
        return std::nullopt;
    }
    return LinkHutState{*enabled, *peers, *quantum, *sync,
                        playing,  *tempo, *beats,   std::string(metro)};
}

void LinkHutScreen::feed(std::string_view bytes) {
    for (const char c : bytes) {
        put(c);
    }
}

void LinkHutScreen::endSegment() {
    if (auto status = parseStatus(segment_)) {
        state_ = std::move(status);
        ++statusLines_;
    }
    segment_.clear();
}

void LinkHutScreen::put(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (escape_ != Escape::None) {
        // ESC [ parameters final-byte, or ESC and one more: dropped, as the terminal obeys them.
        escape_ = escape_ == Escape::Start && c == '['                     ? Escape::Csi
                  : escape_ == Escape::Csi && (byte < 0x40 || byte > 0x7e) ? Escape::Csi
                                                                           : Escape::None;
        return;
    }
    if (c == '\x1b') {
        escape_ = Escape::Start;
    } else if (c == '\r' || c == '\n') {
        endSegment();
        column_ = 0;
        if (c == '\n' && ++row_ == lines_.size()) {
            lines_.emplace_back();
        }
        if (lines_.size() > 100) { // more than a screen: the top scrolled away
            lines_.erase(lines_.begin());
            --row_;
        }
    } else if (c == '\b') {
        column_ -= column_ > 0 ? 1 : 0;
    } else if (c == '\t') {
        column_ = (column_ / 8 + 1) * 8;
    } else if (byte >= 0x20 && byte != 0x7f) {
        std::string& line = lines_[row_];
        line.resize(std::max(line.size(), column_ + 1), ' ');
        line[column_++] = c;
        segment_ += c;
    }
}

std::string LinkHutScreen::text() const {
    std::vector<std::string_view> shown;
    for (const std::string& line : lines_) {
        const std::size_t end = line.find_last_not_of(' ');
        shown.push_back(std::string_view(line).substr(0, end == std::string::npos ? 0 : end + 1));
    }
    while (!shown.empty() && shown.back().empty()) {
        shown.pop_back();
    }
    std::string text;
    for (const std::string_view line : shown) {
        text.append(text.empty() ? "" : "\n").append(line);
    }
    return text;
}

namespace {

// Our environment, with JACK_NO_START_SERVER=1: its metronome goes to the test's server.
std::vector<std::string> linkHutEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string_view(*e).rfind("JACK_NO_START_SERVER=", 0) != 0) {
            env.emplace_back(*e);
        }
    }
    env.emplace_back("JACK_NO_START_SERVER=1");
    return env;
}

// A pseudo-terminal that does not echo: LinkHut leaves its terminal's echo as it finds it,
// and every key pressed would land at the start of its status line. Its master side, and
// the terminal side in `terminal`; -1 when none could be made.
int openQuietTerminal(int& terminal) {
    int master = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 120;
    if (openpty(&master, &terminal, nullptr, nullptr, &size) != 0) {
        return -1;
    }
    termios mode{};
    tcgetattr(terminal, &mode);
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    tcsetattr(terminal, TCSANOW, &mode);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    return master;
}

} // namespace

LinkHutProgram::LinkHutProgram() {
    int terminal = -1;
    terminal_ = openQuietTerminal(terminal);
    if (terminal_ < 0) {
        return;
    }
    // Made before the fork: the child of a process with threads may only exec.
    const std::vector<std::string> env = linkHutEnvironment();
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    char name[] = "LinkHut";
    char* argv[] = {name, nullptr};
    pid_ = forkChild([&] {
        setsid(); // a session of its own, the pseudo-terminal its controlling terminal
        ioctl(terminal, TIOCSCTTY, 0);
        dup2(terminal, 0);
        dup2(terminal, 1);
        dup2(terminal, 2);
        execvpe(argv[0], argv, envp.data());
        return 127;
    });
    close(terminal);
    reader_ = std::thread([this] { readScreen(); });
}

LinkHutProgram::~LinkHutProgram() {
    if (pid_ > 0) {
        press(Key::Quit);
        reapChild(pid_, std::chrono::seconds(2));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (terminal_ >= 0) {
        close(terminal_);
    }
}

void LinkHutProgram::readScreen() {
    char bytes[4096];
    for (;;) {
        pollfd ready{terminal_, POLLIN, 0};
        const int polled = poll(&ready, 1, 50);
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return;
        }
        if (polled <= 0) {
            continue;
        }
        // EIO once LinkHut is gone and nothing holds its terminal.
        const ssize_t got = read(terminal_, bytes, sizeof bytes);
        if (got <= 0) {
            ended_ = true;
            changed_.notify_all();
            return;
        }
        screen_.feed(std::string_view(bytes, static_cast<std::size_t>(got)));
        changed_.notify_all();
    }
}

bool LinkHutProgram::waitUntilUp(std::chrono::milliseconds limit) {
    return waitFor([](const LinkHutState&) { return true; }, limit).has_value();
}

bool LinkHutProgram::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pid_ > 0 && !ended_;
}

void LinkHutProgram::press(Key key) {
    const char c = static_cast<char>(key);
    if (terminal_ >= 0) {
        (void)!write(terminal_, &c, 1);
    }
}

std::optional<LinkHutState> LinkHutProgram::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.state();
}

std::optional<LinkHutState>
LinkHutProgram::waitFor(const std::function<bool(const LinkHutState&)>& wanted,
                        std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t before = screen_.statusLinesSeen();
    const bool came = changed_.wait_for(lock, limit, [&] {
        return ended_ || (screen_.statusLinesSeen() > before && wanted(*screen_.state()));
    });
    if (!came || screen_.statusLinesSeen() == before || !wanted(*screen_.state())) {
        return std::nullopt;
    }
    return screen_.state();
}

bool LinkHutProgram::pressUntil(Key more, Key less,
                                const std::function<int(const LinkHutState&)>& stepsToGo,
                                std::chrono::milliseconds limit) {
    for (;;) {
        const auto now = waitFor([](const LinkHutState&) { return true; }, limit);
        if (!now) {
            return false;
        }
        const int steps = stepsToGo(*now);
        if (steps == 0) {
            return true;
        }
        press(steps > 0 ? more : less);
        if (!waitFor([&](const LinkHutState& s) { return stepsToGo(s) != steps; }, limit)) {
            return false;
        }
    }
}

bool LinkHutProgram::setLinkEnabled(bool on, std::chrono::milliseconds limit) {
    return pressUntil(
        Key::Link, Key::Link, [on](const LinkHutState& s) { return s.enabled == on ? 0 : 1; },
        limit);
}

bool LinkHutProgram::setPlaying(bool on, std::chrono::milliseconds limit) {
    return pressUntil(
        Key::PlayStop, Key::PlayStop,
        [on](const LinkHutState& s) { return s.playing == on ? 0 : 1; }, limit);
}

bool LinkHutProgram::setStartStopSync(bool on, std::chrono::milliseconds limit) {
    return pressUntil(
        Key::StartStopSync, Key::StartStopSync,
        [on](const LinkHutState& s) { return s.startStopSync == on ? 0 : 1; }, limit);
}

bool LinkHutProgram::setTempo(int bpm, std::chrono::milliseconds limit) {
    return pressUntil(
        Key::TempoUp, Key::TempoDown,
        [bpm](const LinkHutState& s) { return bpm - static_cast<int>(std::lround(s.tempo)); },
        limit);
}

bool LinkHutProgram::setQuantum(int beats, std::chrono::milliseconds limit) {
    return pressUntil(
        Key::QuantumUp, Key::QuantumDown,
        [beats](const LinkHutState& s) { return beats - s.quantum; }, limit);
}

std::string LinkHutProgram::screen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.text();
}

} // namespace tambrel::testing
