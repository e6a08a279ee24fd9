#pragma once
// What every benchmark here reports of a set of timing errors: median, 99th percentile
// and worst, plus its own busy threads for a loaded run, and the options of the runs that
// play a number of steps at a period.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace tambrel::bench {

// Reads "--steps N" and "--period-ms P" into `steps` and `periodMs`, which keep their
// defaults where not given; false on any other argument. The ranges are each run's own.
inline bool parseStepsAndPeriod(int argc, char** argv, int& steps, std::uint32_t& periodMs) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
            steps = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--period-ms") == 0 && i + 1 < argc) {
            periodMs = static_cast<std::uint32_t>(std::atoi(argv[++i]));
        } else {
            return false;
        }
    }
    return true;
}

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

// |spacing of consecutive sends - the step period| in microseconds: how unevenly the step
// clock's timer woke for the steps it sent at `sentAt`.
inline std::vector<double>
sendErrorsUs(const std::vector<std::chrono::steady_clock::time_point>& sentAt, double periodUs) {
    std::vector<double> errors;
    for (std::size_t i = 1; i < sentAt.size(); ++i) {
        const double us =
            std::chrono::duration<double, std::micro>(sentAt[i] - sentAt[i - 1]).count();
        errors.push_back(std::fabs(us - periodUs));
    }
    return errors;
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
