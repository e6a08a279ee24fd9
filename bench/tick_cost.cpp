// The cost of one tick's work: building the step string and sending eight notes to a
// port that takes them and does nothing.

#include "bench_rig.h"

#include <benchmark/benchmark.h>

using namespace tambrel;

namespace {

class NullDevice : public midiout::MidiOutDevice {
public:
    std::string name() const override { return "null"; }
    bool open() override { return true; }
    void send(const midiout::TimedMessage& message) noexcept override {
        benchmark::DoNotOptimize(message);
    }
    void close() noexcept override {}
};

void BM_TickWork(benchmark::State& state) {
    bench::FullPatternRig rig(std::make_unique<NullDevice>());
    int step = 0;
    for (auto _ : state) {
        step = step % 16 + 1;
        const engine::StepString s = rig.engine.BuildStepString(step);
        rig.engine.trigger().SendStepNotes(s.view(), midiout::MidiClock::now());
    }
}
BENCHMARK(BM_TickWork);

void BM_StepTick(benchmark::State& state) {
    bench::FullPatternRig rig(std::make_unique<NullDevice>());
    rig.engine.SelectTimeSignature(engine::TimeSig::TwelveEight);
    for (auto _ : state) {
        rig.engine.StepTick();
    }
}
BENCHMARK(BM_StepTick);

} // namespace

BENCHMARK_MAIN();
