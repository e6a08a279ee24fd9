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
    // The grid of the next 16 notes, as a listener hears a bar of them after the first; a
    // note lost or doubled among them counts by the steps it spans.
    const std::size_t n = std::min<std::size_t>(onsets.size(), 17);
    if (n < 3) {
        return std::nan("");
    }
    std::vector<double> gaps;
    for (std::size_t i = 2; i < n; ++i) {
        gaps.push_back(static_cast<double>(onsets[i] - onsets[i - 1]));
    }
    std::nth_element(gaps.begin(), gaps.begin() + std::ptrdiff_t(gaps.size() / 2), gaps.end());
    const double step = gaps[gaps.size() / 2];
    auto stepsOver = [step](double frames) { return std::max(1.0, std::round(frames / step)); };
    // onset = a + b * step number, by least squares, step 0 at the second onset.
    double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0, x = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        if (i > 1) {
            x += stepsOver(static_cast<double>(onsets[i] - onsets[i - 1]));
        }
        const auto y = static_cast<double>(onsets[i] - onsets[1]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const auto count = static_cast<double>(n - 1);
    const double b = (count * sxy - sx * sy) / (count * sxx - sx * sx);
    const double a = (sy - b * sx) / count;
    const double firstGap = static_cast<double>(onsets[1] - onsets[0]);
    return (-firstGap - (a - b * stepsOver(firstGap))) * 1e6 / sampleRate;
}

} // namespace tambrel::testing
