#pragma once
// How far a long job is, for a person watching a terminal: nothing during the first
// second (most renders are done by then, and a line that flashes by only distracts),
// then "<what>: 42%" rewritten in place at most ten times a second, and 100% with the
// end of the line when the job is done.

#include <chrono>
#include <cstdio>
#include <string>

namespace tambrel::tools {

class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kQuietFor = std::chrono::seconds(1);
    static constexpr auto kEvery = std::chrono::milliseconds(100);

    ProgressLine(std::FILE* out, std::string what, Clock::time_point start)
        : out_(out), what_(std::move(what)), start_(start) {}

    // `done` from 0 to 1.
    void show(double done, Clock::time_point now);
    // Ends a line that was shown (at 100% when the job was done); nothing if none was.
    void finish(bool done);

private:
    void print(int percent);

    std::FILE* out_;
    std::string what_;
    Clock::time_point start_;
    Clock::time_point lastShown_{};
    bool shown_ = false;
    int percent_ = -1;
};

} // namespace tambrel::tools
