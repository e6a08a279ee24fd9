#pragma once
// What every benchmark here reports of a set of timing errors: median, 99th percentile
// and worst, plus its own busy threads for a loaded run.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace tambrel::bench {

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

inline Percentiles percentilesOf(std::vector<double> values) {
    Percentiles p;
    if (values.empty()) {
        return p;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    p.max = values.back();
    return p;
}

// Threads that spin for as long as this lives: the load of a busy desktop.
class BusyLoad {
public:
    explicit BusyLoad(int threads) {
        for (int i = 0; i < threads; ++i) {
            threads_.emplace_back([this] {
                volatile unsigned long long x = 0;
                while (!stop_.load(std::memory_order_relaxed)) {
                    x = x + 1;
                }
            });
        }
    }
    ~BusyLoad() {
        stop_.store(true);
        for (std::thread& t : threads_) {
            t.join();
        }
    }
    BusyLoad(const BusyLoad&) = delete;
    BusyLoad& operator=(const BusyLoad&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

} // namespace tambrel::bench
