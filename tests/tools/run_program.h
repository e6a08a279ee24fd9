#pragma once
// Starts a program as scripts do and waits for it: the tool tests' one way to run
// tambrel-pattern, on Linux and on Windows alike, and to read back the files it wrote.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tambrel::testing {

// Runs argv[0] with the other arguments, standard output and standard error written to the
// files named (created or emptied). Returns the exit status, or -1 when the program could
// not be started or did not end by exiting.
int runProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath);

// The whole of a file, byte for byte; empty if it cannot be read.
inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace tambrel::testing
