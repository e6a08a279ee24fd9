#include "run_program.h"

#include "tests/support/child_process.h"

#include <sys/wait.h>

namespace tambrel::testing {

int runProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath) {
    const int status = waitChild(spawnChild(argv, {outPath, errPath}));
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace tambrel::testing
