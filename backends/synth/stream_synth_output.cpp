#include "stream_synth_output.h"

#include <chrono>
#include <thread>

namespace tambrel::backends {

namespace {

// A stream that has not asked for its first request by then plays nowhere.
constexpr auto kFirstRequestWait = std::chrono::milliseconds(1000);

} // namespace

bool StreamSynthOutput::waitForFirstRequest() const {
    const auto deadline = std::chrono::steady_clock::now() + kFirstRequestWait;
    while (requests_.load(std::memory_order_acquire) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace tambrel::backends
