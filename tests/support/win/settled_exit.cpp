// Under Wine, a test program that ends while a thread of its own is still being born takes
// the Wine loader down with it (SIGSEGV in the thread's start, after every test passed).
// The multimedia timer's service thread is such a thread: Wine starts it with a
// timeSetEvent when none runs, and ends it once no timer is left, so a test that plays and
// stops within a few milliseconds can reach the end of the program before that thread has
// even started. After the last test, one more timer goes through the service and is waited
// for: the service thread has then started, whichever test started it.

#include <windows.h>

#include <mmsystem.h>

#include <gtest/gtest.h>

namespace {

class SettledExit final : public testing::Environment {
public:
    void TearDown() override {
        const HANDLE fired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (fired == nullptr) {
            return;
        }
        const MMRESULT id = timeSetEvent(1, 1, reinterpret_cast<LPTIMECALLBACK>(fired), 0,
                                         TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
        if (id != 0) {
            WaitForSingleObject(fired, 2000);
        }
        CloseHandle(fired);
    }
};

[[maybe_unused]] testing::Environment* const kSettledExit =
    testing::AddGlobalTestEnvironment(new SettledExit);

} // namespace
