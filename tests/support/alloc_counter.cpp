#include "alloc_counter.h"

#include "platform/periodic_timer.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<long long> timerThreadAllocations{0};

} // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed) && tambrel::platform::onTimerThread()) {
        timerThreadAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace tambrel::testing {

void armTimerThreadAllocationCount() noexcept {
    timerThreadAllocations.store(0);
    counting.store(true);
}

long long disarmTimerThreadAllocationCount() noexcept {
    counting.store(false);
    return timerThreadAllocations.load();
}

} // namespace tambrel::testing
