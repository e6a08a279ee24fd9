#include "tools/progress.h"

#include <algorithm>

namespace tambrel::tools {

void ProgressLine::show(double done, Clock::time_point now) {
    if (now - start_ < kQuietFor || (shown_ && now - lastShown_ < kEvery)) {
        return;
    }
    // A hair over before truncating: where doubles are multiplied in extended precision
    // (32-bit x86), 0.6 x 100 comes to a hair under 60 and would show 59.
    const int percent = static_cast<int>(std::clamp(done, 0.0, 1.0) * 100.0 + 1e-9);
    lastShown_ = now;
    shown_ = true;
    if (percent != percent_) {
        print(percent);
    }
}

void ProgressLine::finish(bool done) {
    if (shown_) {
        if (done && percent_ != 100) {
            print(100);
        }
        std::fputc('\n', out_);
        std::fflush(out_);
        shown_ = false;
    }
}

void ProgressLine::print(int percent) {
    percent_ = percent;
    std::fprintf(out_, "\r%s: %3d%%", what_.c_str(), percent);
    std::fflush(out_);
}

} // namespace tambrel::tools
