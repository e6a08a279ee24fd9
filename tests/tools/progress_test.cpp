// The progress line of a long render, on a terminal: quiet at first, then rewritten in
// place, never more than ten times a second.

#include "tools/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using tambrel::tools::ProgressLine;
using namespace std::chrono_literals;

constexpr ProgressLine::Clock::time_point kStart{};

// A file standing in for the terminal.
struct Terminal {
    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    ~Terminal() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    // What has been written to it so far.
    std::string written() const {
        std::fflush(file);
        std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        text.resize(std::fread(text.data(), 1, text.size(), file));
        return text;
    }

    std::FILE* file = std::tmpfile();
};

TEST(ProgressLine, QuietForASecondThenAtMostTenTimesASecond) {
    const Terminal out;
    ASSERT_NE(out.file, nullptr);
    ProgressLine line(out.file, "rendering x.wav", kStart);
    line.show(0.4, kStart + 900ms);
    EXPECT_EQ(out.written(), "");
    line.show(0.5, kStart + 1000ms);
    line.show(0.55, kStart + 1050ms); // too soon after the last
    line.show(0.6, kStart + 1100ms);
    line.show(0.6, kStart + 1250ms); // no change
    line.show(2.0, kStart + 1400ms);
    line.finish(true);
    EXPECT_EQ(out.written(), "\rrendering x.wav:  50%\rrendering x.wav:  60%"
                             "\rrendering x.wav: 100%\n");
}

TEST(ProgressLine, AShortJobShowsNothingAndAStoppedOneNoHundred) {
    const Terminal out;
    ASSERT_NE(out.file, nullptr);
    ProgressLine quick(out.file, "quick", kStart);
    quick.show(1.0, kStart + 999ms);
    quick.finish(true);
    EXPECT_EQ(out.written(), "");
    ProgressLine stopped(out.file, "stopped", kStart);
    stopped.show(0.25, kStart + 2s);
    stopped.finish(false);
    EXPECT_EQ(out.written(), "\rstopped:  25%\n");
}

} // namespace
