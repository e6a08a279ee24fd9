#pragma once
// Starts a program as scripts do and waits for it: the tool tests' one way to run
// tambrel-pattern, on Linux and on Windows alike.

#include <string>
#include <vector>

namespace tambrel::testing {

// Runs argv[0] with the other arguments, standard output and standard error written to the
// files named (created or emptied). Returns the exit status, or -1 when the program could
// not be started or did not end by exiting.
int runProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath);

} // namespace tambrel::testing
