// Under Wine, a test program that ends while a thread of its own is still being born takes
// the Wine loader down with it (SIGSEGV in the thread's start, after every test passed).
// The multimedia timer's service thread is such a thread: Wine starts it with a
// timeSetEvent when none runs, and ends it once no timer is left, so a test that plays and
// stops within a few milliseconds can reach the end of the program before that thread has
// even started. After the last test, one more timer goes through the service, and the
// program waits until the service thread that ran it has ended: whichever test started
// that thread, none of the program's own is starting or ending when the program ends.

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct LastExpiry {
    HANDLE fired = nullptr;
    std::atomic<DWORD> serviceThread{0};
};

void CALLBACK lastExpiry(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* last = reinterpret_cast<LastExpiry*>(user);
    last->serviceThread.store(GetCurrentThreadId());
    SetEvent(last->fired);
}

class SettledExit final : public testing::Environment {
public:
    void TearDown() override {
        // A timer that a test left running keeps the service thread: the wait ends then.
        constexpr DWORD kLongestWaitMs = 2000;
        LastExpiry last;
        last.fired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (last.fired == nullptr) {
            return;
        }
        const MMRESULT id = timeSetEvent(1, 1, &lastExpiry, reinterpret_cast<DWORD_PTR>(&last),
                                         TIME_ONESHOT | TIME_CALLBACK_FUNCTION);
        if (id != 0 && WaitForSingleObject(last.fired, kLongestWaitMs) == WAIT_OBJECT_0) {
            const HANDLE service = OpenThread(SYNCHRONIZE, FALSE, last.serviceThread.load());
            if (service != nullptr) {
                WaitForSingleObject(service, kLongestWaitMs);
                CloseHandle(service);
            }
        }
        CloseHandle(last.fired);
    }
};

[[maybe_unused]] testing::Environment* const kSettledExit =
    testing::AddGlobalTestEnvironment(new SettledExit);

} // namespace
