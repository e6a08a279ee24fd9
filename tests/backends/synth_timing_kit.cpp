#include "synth_timing_kit.h"

#include "platform/periodic_timer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace tambrel::testing {

namespace {

struct StepSender {
    platform::MidiOut* out = nullptr;
    platform::MidiOutHandle handle = 0;
    std::uint32_t note = 0;
    FrameClock frameClock = nullptr;
    void* source = nullptr;
    std::vector<StepSend> sends;
    std::atomic<std::size_t> sent{0};

    static void tick(void* self) noexcept {
        auto* sender = static_cast<StepSender*>(self);
        const std::size_t n = sender->sent.load(std::memory_order_relaxed);
        if (n >= sender->sends.size()) {
            return;
        }
        StepSend& send = sender->sends[n];
        if (sender->frameClock != nullptr) {
            send.frameBefore = sender->frameClock(sender->source);
        }
        send.at = SteadyClock::now();
        sender->out->send(sender->handle, sender->note);
        if (sender->frameClock != nullptr) {
            send.frameAfter = sender->frameClock(sender->source);
        }
        sender->sent.store(n + 1, std::memory_order_release);
    }
};

} // namespace

std::vector<StepSend> playSteps(platform::MidiOut& out, platform::MidiOutHandle handle,
                                std::uint32_t note, int steps, std::uint32_t periodMs,
                                FrameClock frameClock, void* source) {
    StepSender sender;
    sender.out = &out;
    sender.handle = handle;
    sender.note = note;
    sender.frameClock = frameClock;
    sender.source = source;
    sender.sends.resize(static_cast<std::size_t>(std::max(steps, 0)));
    platform::TimerService timers;
    const std::uint32_t id = timers.start(periodMs, &StepSender::tick, &sender);
    if (id == 0) {
        return {};
    }
    while (sender.sent.load(std::memory_order_acquire) < sender.sends.size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timers.kill(id);
    return sender.sends;
}

std::vector<std::int64_t> findClavesOnsets(const std::vector<float>& level) {
    return findOnsets(level, 0.02f, 0.02f, 960);
}

std::vector<double> spacingErrorsUs(const std::vector<std::int64_t>& onsets,
                                    const std::vector<double>& expectedUs, double sampleRate) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < onsets.size() && i - 1 < expectedUs.size(); ++i) {
        const double us = static_cast<double>(onsets[i] - onsets[i - 1]) * 1e6 / sampleRate;
        errors.push_back(std::fabs(us - expectedUs[i - 1]));
    }
    return errors;
}

std::vector<double> spacingUs(const std::vector<StepSend>& sends) {
    std::vector<double> spacing;
    for (std::size_t i = 1; i < sends.size(); ++i) {
        spacing.push_back(
            std::chrono::duration<double, std::micro>(sends[i].at - sends[i - 1].at).count());
    }
    return spacing;
}

std::vector<double> frameSpacingUs(const std::vector<StepSend>& sends, double sampleRate) {
    // Twice the middle of each bracket, in wrapping frame arithmetic.
    auto twiceMiddle = [](const StepSend& s) {
        return static_cast<std::uint32_t>(s.frameBefore + s.frameAfter);
    };
    std::vector<double> spacing;
    for (std::size_t i = 1; i < sends.size(); ++i) {
        const auto twice =
            static_cast<std::int32_t>(twiceMiddle(sends[i]) - twiceMiddle(sends[i - 1]));
        spacing.push_back(twice * 0.5e6 / sampleRate);
    }
    return spacing;
}

} // namespace tambrel::testing
