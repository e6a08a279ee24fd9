#pragma once
// The soak: the step clock at its fastest (tempo 260, "4/4") playing to a JACK receiver on
// a private server while everything a user can do happens as fast as it can, from the
// window's thread and from others: cells, instruments, volumes, Clear, loads of good and
// bad files, rhythms, tempo and time-signature changes, Stop and Play, switches between
// the JACK device and an in-memory one. What it proves: nothing sent to the JACK device is
// lost or doubled, the tick never allocates, and it keeps its time under all of that.

#include <cstdint>
#include <string>

namespace tambrel::soak {

struct SoakResult {
    std::uint64_t ticks = 0;    // the step clock's timer expiries
    std::uint64_t received = 0; // notes the JACK receiver got
    std::uint64_t expected = 0; // notes the step clock handed to the JACK device
    std::uint64_t missed = 0;
    std::uint64_t duplicated = 0;
    long long tickAllocations = 0; // operator new on the timer's thread
    double worstLateUs = 0;        // the latest tick against its deadline
    double floorWorstLateUs = 0;   // the same for a bare timer loop in the same run
    double seconds = 0;
    std::uint64_t userActions = 0; // what the window's thread did meanwhile
    std::string failure;           // set when the soak could not run at all

    double worstLateVsFloor() const {
        return floorWorstLateUs > 0 ? worstLateUs / floorWorstLateUs : 0.0;
    }
    // The one-line summary: "soak: ticks=... seconds=...".
    std::string summary() const;
};

SoakResult runSoak(double seconds);

} // namespace tambrel::soak
