#include "run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace tambrel::testing {

int runProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath) {
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int wstatus = 0;
    if (::waitpid(pid, &wstatus, 0) != pid) {
        return -1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

} // namespace tambrel::testing
