#pragma once
// Hand-overs that ThreadSanitizer cannot see. JACK passes an audio port's buffer from the
// client that fills it to the clients that read it through its own process graph (futexes
// in shared memory, inside libjack, which is built without the sanitizer). When both
// clients are in one process (a test's recorder listening to our synth), each of them
// marks the buffer taken over before it touches it and handed over once it is done, period
// after period. Nothing in other builds.
//
// The transport's position goes the same way: the timebase master writes it in its period,
// and every client reads it in later ones, through the server's shared memory that the
// master writes again once read. A master and a reader in one process (a test's watcher of
// Tambrel's lead) mark kJackTransportPosition taken over before, and handed over after,
// each look at it.

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace tambrel::backends {

inline const char kJackTransportPosition = 0;

inline void markHandedOver([[maybe_unused]] const void* buffer) noexcept {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(buffer));
#endif
}

inline void markTakenOver([[maybe_unused]] const void* buffer) noexcept {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void*>(buffer));
#endif
}

} // namespace tambrel::backends
