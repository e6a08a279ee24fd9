// Starting another program as one of its own: it runs with the arguments given, the start
// tells whether its exec worked, and what runs is neither our child nor holder of our files.

#include "platform/program_start.h"
#include "tests/support/program_stubs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Makes fcntl(F_SETFD) fail in the start's children, which inherit it with the fork.
std::atomic<bool> failSetFd{false};

} // namespace

// Every fcntl of this program comes here, and goes on to the system's own.
extern "C" int fcntl(int fd, int command, ...) {
    va_list rest;
    va_start(rest, command);
    const long argument = va_arg(rest, long);
    va_end(rest);
    if (command == F_SETFD && failSetFd.load()) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
}

namespace tambrel::platform {
namespace {

namespace fs = std::filesystem;
using tambrel::testing::readFile;
using tambrel::testing::waitForMarker;

class ProgramStartTest : public ::testing::Test {
protected:
    tambrel::testing::ProgramStubs stubs;
};

TEST_F(ProgramStartTest, TheProgramGetsEachArgumentAsGiven) {
    const fs::path helper = stubs.stub("helper", stubs.bin(), true, "echo \"$#:$*\" > \"$MARK\"");
    EXPECT_TRUE(startProgram(helper.string(), {}));
    EXPECT_EQ(waitForMarker(stubs.marker("helper")), std::optional<std::string>("0:"));
    fs::remove(stubs.marker("helper"));
    EXPECT_TRUE(startProgram(helper.string(), {"-e", "two words"}));
    EXPECT_EQ(waitForMarker(stubs.marker("helper")), std::optional<std::string>("2:-e two words"));
}

TEST_F(ProgramStartTest, AProgramThatCannotBeExecutedIsAFailedStart) {
    // Executable bit but no "#!" line: exec refuses it (ENOEXEC).
    const fs::path garbage = stubs.bin() / "not-a-program";
    std::ofstream(garbage) << "\x7f"
                              "not a program\n";
    fs::permissions(garbage, fs::perms::owner_all);
    EXPECT_FALSE(startProgram(garbage.string(), {}));

    const fs::path noInterpreter = stubs.bin() / "no-interpreter";
    std::ofstream(noInterpreter) << "#!/nonexistent/interpreter\n";
    fs::permissions(noInterpreter, fs::perms::owner_all);
    EXPECT_FALSE(startProgram(noInterpreter.string(), {}));

    EXPECT_FALSE(startProgram((stubs.bin() / "missing").string(), {}));
    EXPECT_FALSE(startProgram("", {}));
}

// The report pipe must close at the program's exec: should marking it close-on-exec fail,
// that is a failed start, not a caller that waits for the program to end.
TEST_F(ProgramStartTest, AReportPipeThatCannotBeMarkedIsAFailedStart) {
    const fs::path program = stubs.stub("helper");
    failSetFd = true;
    const bool started = startProgram(program.string(), {});
    failSetFd = false;
    EXPECT_FALSE(started);
    EXPECT_FALSE(waitForMarker(stubs.marker("helper"), std::chrono::milliseconds(300)).has_value())
        << "the program ran";
}

// The open descriptors of a running program, after exec has closed what it closes.
std::vector<std::string> descriptorsOf(const fs::path& proc) {
    // The exe link changes a moment before exec closes the close-on-exec files, so a
    // descriptor may still show briefly; one that was leaked stays.
    std::vector<std::string> fds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    do {
        fds.clear();
        for (const auto& entry : fs::directory_iterator(proc / "fd")) {
            fds.push_back(entry.path().filename().string());
        }
        std::sort(fds.begin(), fds.end());
    } while (fds.size() != 3 && std::chrono::steady_clock::now() < deadline);
    return fds;
}

TEST_F(ProgramStartTest, TheProgramIsDetachedAndLeavesNoZombie) {
    // A descriptor of ours without close-on-exec, as a MIDI or sound connection may be.
    const int ours = ::dup(STDERR_FILENO);
    ASSERT_GE(ours, 0);
    const fs::path program =
        stubs.stub("helper", stubs.bin(), true, "echo $$ > \"$MARK\"\nexec /bin/sleep 10");
    ASSERT_TRUE(startProgram(program.string(), {}));
    const auto pidText = waitForMarker(stubs.marker("helper"));
    ASSERT_TRUE(pidText.has_value());
    const pid_t pid = std::stoi(*pidText);
    const fs::path proc = fs::path("/proc") / std::to_string(pid);

    // Wait for the stub to become sleep, so that what we see is the exec'd program.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fs::read_symlink(proc / "exe").filename() != "sleep" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(fs::read_symlink(proc / "exe").filename(), "sleep");

    EXPECT_NE(::getsid(pid), ::getsid(0)) << "the program has a session of its own";
    std::istringstream stat(readFile(proc / "stat"));
    std::string skip;
    pid_t parent = 0;
    stat >> skip >> skip >> skip >> parent;
    EXPECT_NE(parent, ::getpid()) << "the program is not our child";

    EXPECT_EQ(descriptorsOf(proc), (std::vector<std::string>{"0", "1", "2"}))
        << "only the standard three";
    for (const char* fd : {"0", "1", "2"}) {
        EXPECT_EQ(fs::read_symlink(proc / "fd" / fd), "/dev/null") << fd;
    }

    // Nothing is left for us to reap: no child at all, running or zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ::kill(pid, SIGKILL);
    ::close(ours);
}

} // namespace
} // namespace tambrel::platform
