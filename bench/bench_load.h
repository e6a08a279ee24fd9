#pragma once
// A benchmark's --load: the same measurement again beside bench/busy_load (two builds of a
// scratch copy of the tree), so that "a busy machine" is the same for anyone who repeats
// it; and the load average that each report starts with. TAMBREL_BUSY_LOAD is the
// script's path, set by the benchmark's CMake target.

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace tambrel::bench {

// This program again beside bench/busy_load, with the arguments `rest` (all but --load);
// returns only when it could not be started.
inline int rerunWithLoad(char** argv, const std::vector<char*>& rest, const char* name) {
    std::vector<char*> args{const_cast<char*>(TAMBREL_BUSY_LOAD), const_cast<char*>("--with"),
                            argv[0]};
    args.insert(args.end(), rest.begin(), rest.end());
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "%s: could not start %s\n", name, TAMBREL_BUSY_LOAD);
    return 1;
}

// The machine's load when the measurement starts, as /proc/loadavg gives it.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

} // namespace tambrel::bench
