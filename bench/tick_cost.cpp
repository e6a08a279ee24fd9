// The cost of one tick's work: building the step string and sending eight notes to a
// port that takes them and does nothing.

#include "engine/rhythm_engine.h"

#include <benchmark/benchmark.h>

using namespace tambrel;

namespace {

class NullDevice : public platform::MidiOutDevice {
public:
    std::string name() const override { return "null"; }
    bool open() override { return true; }
    void send(std::uint32_t message) noexcept override { benchmark::DoNotOptimize(message); }
    void close() noexcept override {}
};

void BM_TickWork(benchmark::State& state) {
    platform::MidiOutDeviceList list;
    list.push_back(std::make_unique<NullDevice>());
    platform::MidiOut out(std::move(list));
    platform::TimerService timers;
    engine::RhythmEngine engine(timers, &out);
    platform::MidiOutHandle handle = 0;
    out.open(0, &handle);
    engine.trigger().setHandle(handle);
    for (int t = 1; t <= engine::kTracks; ++t) {
        for (int c = 1; c <= engine::kCells; ++c) {
            engine.grid().set(t, c, true);
        }
    }
    int step = 0;
    for (auto _ : state) {
        step = step % 16 + 1;
        const engine::StepString s = engine.BuildStepString(step);
        engine.trigger().SendStepNotes(s.view());
    }
}
BENCHMARK(BM_TickWork);

void BM_StepTick(benchmark::State& state) {
    platform::MidiOutDeviceList list;
    list.push_back(std::make_unique<NullDevice>());
    platform::MidiOut out(std::move(list));
    platform::TimerService timers;
    engine::RhythmEngine engine(timers, &out);
    platform::MidiOutHandle handle = 0;
    out.open(0, &handle);
    engine.trigger().setHandle(handle);
    engine.SelectTimeSignature(engine::TimeSig::TwelveEight);
    for (int t = 1; t <= engine::kTracks; ++t) {
        engine.grid().set(t, 5, true);
    }
    for (auto _ : state) {
        engine.StepTick();
    }
}
BENCHMARK(BM_StepTick);

} // namespace

BENCHMARK_MAIN();
