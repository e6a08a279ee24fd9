// The progress line of a long render, on a terminal: quiet at first, then rewritten in
// place, never more than ten times a second.

#include "export/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using tambrel::exporting::ProgressLine;
using namespace std::chrono_literals;

// What has been written to the stream so far.
std::string written(std::FILE* file) {
    std::fflush(file);
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
}

TEST(ProgressLine, QuietForASecondThenAtMostTenTimesASecond) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const ProgressLine::Clock::time_point start{};
    ProgressLine line(out, "rendering x.wav", start);
    line.show(0.4, start + 900ms);
    EXPECT_EQ(written(out), "");
    line.show(0.5, start + 1000ms);
    line.show(0.55, start + 1050ms); // too soon after the last
    line.show(0.6, start + 1100ms);
    line.show(0.6, start + 1250ms); // no change
    line.show(2.0, start + 1400ms);
    line.finish(true);
    EXPECT_EQ(written(out), "\rrendering x.wav:  50%\rrendering x.wav:  60%"
                            "\rrendering x.wav: 100%\n");
    std::fclose(out);
}

TEST(ProgressLine, AShortJobShowsNothingAndAStoppedOneNoHundred) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const ProgressLine::Clock::time_point start{};
    ProgressLine quick(out, "quick", start);
    quick.show(1.0, start + 999ms);
    quick.finish(true);
    EXPECT_EQ(written(out), "");
    ProgressLine stopped(out, "stopped", start);
    stopped.show(0.25, start + 2s);
    stopped.finish(false);
    EXPECT_EQ(written(out), "\rstopped:  25%\n");
    std::fclose(out);
}

} // namespace
