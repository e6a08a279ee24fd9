// The one way tests and benchmarks start programs: what reaches the caller of a program
// that ran, of one that could not start, and of one that would not end.

#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <thread>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace tambrel::testing {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ChildProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tambrel-child.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(ChildProcess, ExitStatusOutputAndEnvironmentReachTheCaller) {
    const std::string out = (dir / "out").string();
    const std::string err = (dir / "err").string();
    const std::vector<std::string> env = {"WORD=given"};
    const pid_t pid =
        spawnChild({"sh", "-c", "echo $WORD; echo oops >&2; exit 3"}, {out, err}, &env);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(reapChild(pid, std::chrono::seconds(10)), 3);
    EXPECT_EQ(contents(out), "given\n");
    EXPECT_EQ(contents(err), "oops\n");

    // One file for both keeps both, in order; a second run empties it first.
    const int status = waitChild(spawnChild({"sh", "-c", "echo a; echo b >&2"}, {out, out}));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(contents(out), "a\nb\n");
    EXPECT_EQ(lastLinesOf(out, 1), "\n  b");
}

TEST_F(ChildProcess, AProgramThatCannotStartIsNoChild) {
    EXPECT_EQ(spawnChild({(dir / "missing").string()}), -1);
    EXPECT_EQ(waitChild(-1), -1);
}

TEST_F(ChildProcess, OnlyAnExecutableFileInAFolderOfPathIsAProgramThere) {
    std::ofstream(dir / "plain") << "#!/bin/sh\n";
    std::ofstream(dir / "runnable") << "#!/bin/sh\n";
    fs::permissions(dir / "runnable", fs::perms::owner_exec, fs::perm_options::add);
    const char* saved = std::getenv("PATH");
    const std::string path = saved != nullptr ? saved : "";
    setenv("PATH", ("/nowhere:" + dir.string()).c_str(), 1);
    const bool runnable = programInPath("runnable");
    const bool plain = programInPath("plain");
    const bool sh = programInPath("sh");
    setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(runnable) << "found in the last folder";
    EXPECT_FALSE(plain) << "not executable";
    EXPECT_FALSE(sh) << "only PATH's folders are looked in";
    EXPECT_TRUE(programInPath("sh"));
}

TEST_F(ChildProcess, AChildThatWillNotEndIsKilledAtTheLimit) {
    const pid_t pid = spawnChild({"sleep", "30"});
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(childExited(pid));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reapChild(pid, std::chrono::milliseconds(50)), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(kill(pid, 0), -1) << "still there";
}

TEST_F(ChildProcess, ForkedWorkEndsWithItsResultOrItsSignal) {
    int status = waitChild(forkChild([] { return 7; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    status = waitChild(forkChild([] { return raise(SIGTERM); }));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// A deadline ends a process that is still at work when it passes, and only such a one.
TEST_F(ChildProcess, ADeadlineEndsOnlyWorkThatOutlivesIt) {
    int status = waitChild(forkChild([] {
        Deadline deadline(std::chrono::seconds(1), "stuck work");
        std::this_thread::sleep_for(std::chrono::seconds(10));
        return 0;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 124) << status;
    status = waitChild(forkChild([] {
        { Deadline deadline(std::chrono::seconds(1), "quick work"); }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return 0;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace tambrel::testing
