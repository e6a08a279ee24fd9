// make soak: the step clock under fire for a minute (or --seconds S), with its summary.

#include "soak.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    double seconds = 60;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) {
        seconds = std::atof(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: soak [--seconds S]\n");
        return 2;
    }
    const tambrel::soak::SoakResult r = tambrel::soak::runSoak(seconds);
    if (!r.failure.empty()) {
        std::fprintf(stderr, "soak: %s\n", r.failure.c_str());
        return 1;
    }
    std::printf("soak: %llu user actions on the window's thread, worst tick %.0f us late, the "
                "bare timer loop's worst %.0f us\n",
                static_cast<unsigned long long>(r.userActions), r.worstLateUs, r.floorWorstLateUs);
    std::printf("%s\n", r.summary().c_str());
    const bool kept = r.missed == 0 && r.duplicated == 0 && r.tickAllocations == 0;
    return kept ? 0 : 1;
}
