#include "synth_timing_kit.h"

#include "platform/periodic_timer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace tambrel::testing {

namespace {

struct StepSender {
    midiout::MidiOut* out = nullptr;
    midiout::MidiOutHandle handle = 0;
    std::uint32_t note = 0;
    std::vector<SteadyClock::time_point> sends;
    SteadyClock::time_point firstDue;
    std::atomic<std::size_t> sent{0};

    static void tick(void* self, platform::TimerClock::time_point due) noexcept {
        auto* sender = static_cast<StepSender*>(self);
        const std::size_t n = sender->sent.load(std::memory_order_relaxed);
        if (n >= sender->sends.size()) {
            return;
        }
        sender->sends[n] = SteadyClock::now();
        if (n == 0) {
            sender->firstDue = due;
        }
        sender->out->send(sender->handle, sender->note, due);
        sender->sent.store(n + 1, std::memory_order_release);
    }
};

} // namespace

std::vector<SteadyClock::time_point> playSteps(midiout::MidiOut& out, midiout::MidiOutHandle handle,
                                               std::uint32_t note, int steps,
                                               std::uint32_t periodMs,
                                               SteadyClock::time_point* firstDue,
                                               std::optional<testing::LateWakeups> late) {
    StepSender sender;
    sender.out = &out;
    sender.handle = handle;
    sender.note = note;
    sender.sends.resize(static_cast<std::size_t>(std::max(steps, 0)));
    platform::TimerService timers;
    TestTimer timer(timers, late);
    if (timer.start(periodMs, &StepSender::tick, &sender) == 0) {
        return {};
    }
    while (sender.sent.load(std::memory_order_acquire) < sender.sends.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timer.stop();
    if (firstDue != nullptr) {
        *firstDue = sender.firstDue;
    }
    return sender.sends;
}

double firstSoundAfter(const Recording& heard, SteadyClock::time_point due, float audible) {
    const auto loud = std::find_if(heard.samples.begin(), heard.samples.end(),
                                   [audible](float level) { return level >= audible; });
    if (loud == heard.samples.end()) {
        return std::nan("");
    }
    const double dueAt = std::chrono::duration<double>(due.time_since_epoch()).count();
    return heard.timeOf(std::size_t(loud - heard.samples.begin())) - dueAt;
}

std::vector<std::int64_t> findClavesOnsets(const std::vector<float>& level) {
    return findOnsets(level, 0.02f, 0.02f, 960);
}

std::vector<double> spacingErrorsUs(const std::vector<std::int64_t>& onsets, double periodUs,
                                    double sampleRate) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < onsets.size(); ++i) {
        const double us = static_cast<double>(onsets[i] - onsets[i - 1]) * 1e6 / sampleRate;
        const double steps = std::max(1.0, std::round(us / periodUs));
        errors.push_back(std::fabs(us - steps * periodUs));
    }
    return errors;
}

double firstNoteOffsetUs(const std::vector<std::int64_t>& onsets, double sampleRate) {
    const std::size_t n = onsets.size();
    if (n < 3) {
        return std::nan("");
    }
    // onset = a + b * step over the steps after the first, by least squares.
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const auto x = static_cast<double>(i);
        const auto y = static_cast<double>(onsets[i] - onsets[1]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const auto count = static_cast<double>(n - 1);
    const double b = (count * sxy - sx * sy) / (count * sxx - sx * sx);
    const double a = (sy - b * sx) / count;
    return (static_cast<double>(onsets[0] - onsets[1]) - a) * 1e6 / sampleRate;
}

} // namespace tambrel::testing
