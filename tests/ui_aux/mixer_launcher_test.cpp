#include "ui/mixer_launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using tambrel::findMixer;
using tambrel::launchMixer;
using tambrel::MixerCommand;
using tambrel::startDetached;

namespace {

// Makes fcntl(F_SETFD) fail in the launcher's children, which inherit it with the fork.
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

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until a stub has written its whole marker line (the launch does not wait).
std::optional<std::string>
waitForMarker(const fs::path& marker, std::chrono::milliseconds limit = std::chrono::seconds(2)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto text = readFile(marker);
        if (!text.empty() && text.back() == '\n') {
            return text.substr(0, text.size() - 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

class MixerLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tambrel-mixer-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        bin_ = root_ / "bin";
        fs::create_directory(bin_);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? std::optional<std::string>(path) : std::nullopt;
    }

    void TearDown() override {
        if (savedPath_) {
            ::setenv("PATH", savedPath_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // A stand-in mixer: writes its arguments (or its pid) into <name>.marker.
    fs::path stub(const std::string& name, const fs::path& folder, bool executable = true,
                  const std::string& body = "echo \"$*\" > \"$MARK\"") {
        const fs::path file = folder / name;
        std::ofstream out(file);
        out << "#!/bin/sh\nMARK='" << marker(name).string() << "'\n" << body << "\n";
        out.close();
        fs::permissions(file, executable ? fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec
                                         : fs::perms::owner_read | fs::perms::owner_write |
                                               fs::perms::group_read | fs::perms::others_read);
        return file;
    }
    fs::path stub(const std::string& name) { return stub(name, bin_); }

    fs::path marker(const std::string& name) const { return root_ / (name + ".marker"); }

    fs::path root_;
    fs::path bin_;
    std::optional<std::string> savedPath_;
};

TEST_F(MixerLauncherTest, VolumeStartsTheMixerFoundInPathWithoutWaiting) {
    stub("pavucontrol");
    ::setenv("PATH", bin_.c_str(), 1);
    EXPECT_TRUE(launchMixer());
    EXPECT_EQ(waitForMarker(marker("pavucontrol")), std::optional<std::string>(""));
}

TEST_F(MixerLauncherTest, TheMixersArePreferredInTheirFixedOrder) {
    const std::vector<std::string> order = {"pavucontrol",          "pwvucontrol", "pavucontrol-qt",
                                            "gnome-control-center", "kmix",        "qasmixer",
                                            "alsamixergui"};
    for (const auto& name : order) {
        stub(name);
    }
    stub("alsamixer");
    stub("xterm");
    // Take away the preferred mixer one at a time: each time the next one is chosen.
    for (const auto& name : order) {
        const auto found = findMixer(bin_.string());
        ASSERT_TRUE(found.has_value()) << name;
        EXPECT_EQ(found->program, (bin_ / name).string());
        const std::vector<std::string> expectedArgs = name == "gnome-control-center"
                                                          ? std::vector<std::string>{"sound"}
                                                          : std::vector<std::string>{};
        EXPECT_EQ(found->args, expectedArgs) << name;
        fs::remove(bin_ / name);
    }
    EXPECT_EQ(findMixer(bin_.string()),
              (MixerCommand{(bin_ / "xterm").string(), {"-e", (bin_ / "alsamixer").string()}}));
}

TEST_F(MixerLauncherTest, KmixLosesToPwvucontrolAndOnlyTheChosenOneRuns) {
    stub("kmix");
    stub("pwvucontrol");
    ::setenv("PATH", bin_.c_str(), 1);
    ASSERT_TRUE(launchMixer());
    EXPECT_TRUE(waitForMarker(marker("pwvucontrol")).has_value());
    EXPECT_FALSE(fs::exists(marker("kmix")));
}

TEST_F(MixerLauncherTest, GnomeSettingsOpensAtItsSoundPanel) {
    stub("gnome-control-center");
    ::setenv("PATH", bin_.c_str(), 1);
    ASSERT_TRUE(launchMixer());
    EXPECT_EQ(waitForMarker(marker("gnome-control-center")), std::optional<std::string>("sound"));
}

TEST_F(MixerLauncherTest, AlsamixerNeedsATerminalAndPrefersTheDesktopsOwn) {
    stub("alsamixer");
    EXPECT_FALSE(findMixer(bin_.string()).has_value()) << "alsamixer cannot run without a terminal";
    stub("xterm");
    EXPECT_EQ(findMixer(bin_.string())->program, (bin_ / "xterm").string());
    stub("x-terminal-emulator");
    EXPECT_EQ(findMixer(bin_.string()), (MixerCommand{(bin_ / "x-terminal-emulator").string(),
                                                      {"-e", (bin_ / "alsamixer").string()}}));
    fs::remove(bin_ / "alsamixer");
    EXPECT_FALSE(findMixer(bin_.string()).has_value()) << "a terminal alone is no mixer";
}

TEST_F(MixerLauncherTest, NoMixerMeansFalseAndNothingRuns) {
    stub("ls");
    stub("pavucontrol", root_); // in the current folder below, but not in PATH
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    for (const char* path : {"", ":", "::", "/nonexistent-folder"}) {
        ::setenv("PATH", path, 1);
        EXPECT_FALSE(launchMixer()) << "PATH=\"" << path << "\"";
    }
    ::setenv("PATH", bin_.c_str(), 1);
    EXPECT_FALSE(launchMixer());
    ::unsetenv("PATH");
    EXPECT_FALSE(launchMixer());
    fs::current_path(before);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(marker("ls")));
    EXPECT_FALSE(fs::exists(marker("pavucontrol")));
}

TEST_F(MixerLauncherTest, OnlyExecutableFilesCount) {
    stub("pavucontrol", bin_, /*executable=*/false);
    fs::create_directory(bin_ / "pwvucontrol");
    fs::permissions(bin_ / "pwvucontrol", fs::perms::all);
    stub("kmix");
    ::setenv("PATH", bin_.c_str(), 1);
    EXPECT_EQ(findMixer(bin_.string())->program, (bin_ / "kmix").string());
    ASSERT_TRUE(launchMixer());
    EXPECT_TRUE(waitForMarker(marker("kmix")).has_value());
    EXPECT_FALSE(fs::exists(marker("pavucontrol")));
}

TEST_F(MixerLauncherTest, EarlierPathFolderWinsForTheSameMixer) {
    const fs::path second = root_ / "second";
    fs::create_directory(second);
    stub("pavucontrol", second);
    stub("pavucontrol", bin_);
    EXPECT_EQ(findMixer(bin_.string() + ":" + second.string())->program,
              (bin_ / "pavucontrol").string());
    EXPECT_EQ(findMixer(second.string() + "/::" + bin_.string())->program,
              (second / "pavucontrol").string());
}

TEST_F(MixerLauncherTest, EachPressLooksAtTheCurrentPath) {
    const fs::path empty = root_ / "empty";
    fs::create_directory(empty);
    stub("qasmixer");
    ::setenv("PATH", empty.c_str(), 1);
    EXPECT_FALSE(launchMixer());
    ::setenv("PATH", (empty.string() + ":" + bin_.string()).c_str(), 1);
    EXPECT_TRUE(launchMixer());
    EXPECT_TRUE(waitForMarker(marker("qasmixer")).has_value());
}

TEST_F(MixerLauncherTest, AProgramThatCannotBeExecutedIsAFailedStart) {
    // Executable bit but no "#!" line: exec refuses it (ENOEXEC).
    const fs::path garbage = bin_ / "pavucontrol";
    std::ofstream(garbage) << "\x7f"
                              "not a program\n";
    fs::permissions(garbage, fs::perms::owner_all);
    EXPECT_FALSE(startDetached({garbage.string(), {}}));

    const fs::path noInterpreter = bin_ / "kmix";
    std::ofstream(noInterpreter) << "#!/nonexistent/interpreter\n";
    fs::permissions(noInterpreter, fs::perms::owner_all);
    EXPECT_FALSE(startDetached({noInterpreter.string(), {}}));

    EXPECT_FALSE(startDetached({(bin_ / "missing").string(), {}}));
    EXPECT_FALSE(startDetached({"", {}}));

    // Whole launch: the one mixer found cannot start.
    ::setenv("PATH", bin_.c_str(), 1);
    fs::remove(noInterpreter);
    EXPECT_FALSE(launchMixer());
}

// The report pipe must close at the mixer's exec: should marking it close-on-exec fail,
// that is a failed start, not a window that waits for the mixer to end.
TEST_F(MixerLauncherTest, AReportPipeThatCannotBeMarkedIsAFailedStart) {
    const fs::path mixer = stub("pavucontrol");
    failSetFd = true;
    const bool started = startDetached({mixer.string(), {}});
    failSetFd = false;
    EXPECT_FALSE(started);
    EXPECT_FALSE(waitForMarker(marker("pavucontrol"), std::chrono::milliseconds(300)).has_value())
        << "the mixer ran";
}

TEST_F(MixerLauncherTest, TheMixerIsDetachedAndLeavesNoZombie) {
    // A descriptor of ours without close-on-exec, as a MIDI or sound connection may be.
    const int ours = ::dup(STDERR_FILENO);
    ASSERT_GE(ours, 0);
    stub("pavucontrol", bin_, true, "echo $$ > \"$MARK\"\nexec /bin/sleep 10");
    ::setenv("PATH", bin_.c_str(), 1);
    ASSERT_TRUE(launchMixer());
    const auto pidText = waitForMarker(marker("pavucontrol"));
    ASSERT_TRUE(pidText.has_value());
    const pid_t pid = std::stoi(*pidText);
    const fs::path proc = fs::path("/proc") / std::to_string(pid);

    // Wait for the stub to become sleep, so that what we see is the exec'd mixer.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (fs::read_symlink(proc / "exe").filename() != "sleep" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(fs::read_symlink(proc / "exe").filename(), "sleep");

    EXPECT_NE(::getsid(pid), ::getsid(0)) << "the mixer has a session of its own";
    std::istringstream stat(readFile(proc / "stat"));
    std::string skip;
    pid_t parent = 0;
    stat >> skip >> skip >> skip >> parent;
    EXPECT_NE(parent, ::getpid()) << "the mixer is not our child";

    // The exe link changes a moment before exec closes the close-on-exec files, so a
    // descriptor may still show briefly; one that was leaked stays.
    std::vector<std::string> fds;
    const auto fdDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    do {
        fds.clear();
        for (const auto& entry : fs::directory_iterator(proc / "fd")) {
            fds.push_back(entry.path().filename().string());
        }
        std::sort(fds.begin(), fds.end());
    } while (fds.size() != 3 && std::chrono::steady_clock::now() < fdDeadline);
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"})) << "only the standard three";
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
