#pragma once
// LinkHut, Ableton Link's own example peer (package ableton-link-utils), driven as a user
// at its terminal would: keys pressed, its status line read off the screen. A Link peer
// that nobody here wrote, for the Link tests and bench/link_timing. Start it only inside a
// private network (private_network.h), on a private JACK server (jack_test_server.h): it
// plays its metronome there, through "LinkHut:out_1" and "LinkHut:out_2", connected to the
// server's playback ports on its own.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tambrel::testing {

// One status line of LinkHut's, e.g.
//   yes     | 1         | 4       | no  [playing]   | 121.00  | 7.36    | XXOO
struct LinkHutState {
    bool enabled = false;       // "enabled": Link on
    int peers = 0;              // "num peers"
    int quantum = 0;            // beats per bar, for phase
    bool startStopSync = false; // "start stop sync": yes / no
    bool playing = false;       // [playing] / [stopped]
    double tempo = 0.0;         // bpm, two decimals
    double beats = 0.0;         // the session's beat time, two decimals (runs while stopped)
    std::string metro;          // one letter a beat of the bar, X up to the current one
    // The beat within the bar, from 0: the current X of `metro`.
    int beatInBar() const;
};

// What LinkHut wrote to its terminal, as the terminal shows it: carriage returns, line feeds
// and ANSI escape sequences obeyed or dropped, and its status line read.
class LinkHutScreen {
public:
    void feed(std::string_view bytes);
    // The screen as plain text, each line's trailing blanks cut.
    std::string text() const;
    // The last whole status line written (one that a carriage return or line feed ended).
    const std::optional<LinkHutState>& state() const { return state_; }
    std::size_t statusLinesSeen() const { return statusLines_; }

    // A status line parsed alone; nothing when it is not one (the heading, the help).
    static std::optional<LinkHutState> parseStatus(std::string_view line);

private:
    void put(char c);
    void endSegment();
    enum class Escape { None, Start, Csi };
    Escape escape_ = Escape::None;
    std::vector<std::string> lines_{std::string()};
    std::size_t row_ = 0;
    std::size_t column_ = 0;
    std::string segment_; // since the last carriage return or line feed
    std::optional<LinkHutState> state_;
    std::size_t statusLines_ = 0;
};

class LinkHutProgram {
public:
    // Its keys, from its help screen.
    enum class Key : char {
        Link = 'a',          // enable / disable Link
        PlayStop = ' ',      // start / stop
        TempoDown = 'w',     // 1 bpm
        TempoUp = 'e',       // 1 bpm
        QuantumDown = 'r',   // 1 beat
        QuantumUp = 't',     // 1 beat
        StartStopSync = 's', // enable / disable start stop sync
        Quit = 'q',
    };
    // Its JACK outputs, for JackAudioRecorder::listenTo. A second LinkHut on the same server
    // is "LinkHut-01".
    static constexpr const char* kOutputPorts = "^LinkHut:out_[12]$";

    // Starts LinkHut in a pseudo-terminal of its own, with JACK_NO_START_SERVER=1 so that it
    // plays to the server the environment names and never starts one. See ok().
    LinkHutProgram();
    // Quits it (q), killing it if it does not go within two seconds.
    ~LinkHutProgram();
    LinkHutProgram(const LinkHutProgram&) = delete;
    LinkHutProgram& operator=(const LinkHutProgram&) = delete;

    // Whether it came up and shows its status, waiting up to `limit` for that.
    bool waitUntilUp(std::chrono::milliseconds limit = std::chrono::seconds(5));
    bool running() const;

    // One key. Wait for its effect before the next: it takes only the first of the keys
    // that come together, and loses the others.
    void press(Key key);
    std::optional<LinkHutState> state() const;
    // The first state from now on that `wanted` accepts, or nothing after `limit`.
    std::optional<LinkHutState> waitFor(const std::function<bool(const LinkHutState&)>& wanted,
                                        std::chrono::milliseconds limit = std::chrono::seconds(2));

    // The keys pressed as needed, and whether its screen then says so (within `limit` of
    // each press).
    bool setLinkEnabled(bool on, std::chrono::milliseconds limit = std::chrono::seconds(2));
    bool setPlaying(bool on, std::chrono::milliseconds limit = std::chrono::seconds(2));
    bool setStartStopSync(bool on, std::chrono::milliseconds limit = std::chrono::seconds(2));
    // Whole bpm only: its keys step by one.
    bool setTempo(int bpm, std::chrono::milliseconds limit = std::chrono::seconds(2));
    bool setQuantum(int beats, std::chrono::milliseconds limit = std::chrono::seconds(2));

    // Its screen now, as plain text: for a failure message or a note.
    std::string screen() const;

private:
    void readScreen();
    // Presses `more` or `less`, one at a time, until `stepsToGo` (positive: more) is 0.
    bool pressUntil(Key more, Key less, const std::function<int(const LinkHutState&)>& stepsToGo,
                    std::chrono::milliseconds limit);
    int terminal_ = -1; // the pseudo-terminal's master side
    pid_t pid_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    LinkHutScreen screen_;
    bool ended_ = false; // its terminal closed
    bool stopping_ = false;
    std::thread reader_;
};

} // namespace tambrel::testing
