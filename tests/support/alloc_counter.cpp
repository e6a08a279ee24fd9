#include "alloc_counter.h"

#include "platform/periodic_timer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <pthread.h>

namespace {

std::atomic<bool> counting{false};
std::atomic<long long> timerThreadAllocations{0};

// The step tick's thread is the one the timer names (platform/periodic_timer.h). A thread
// keeps its name, so each thread looks once.
bool onTimerThread() noexcept {
    thread_local const bool timer = [] {
        char name[16] = {};
        return pthread_getname_np(pthread_self(), name, sizeof name) == 0 &&
               std::strcmp(name, tambrel::platform::kTimerThreadName) == 0;
    }();
    return timer;
}

} // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed) && onTimerThread()) {
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
