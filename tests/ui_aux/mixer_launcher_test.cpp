// Which mixer Volume starts: the first of the known mixers found in the PATH of the
// moment, with its arguments. Starting it is platform/'s (tests/platform).

#include "ui/mixer_launcher.h"

#include "tests/support/program_stubs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using tambrel::findMixer;
using tambrel::launchMixer;
using tambrel::MixerCommand;
using tambrel::testing::waitForMarker;

namespace {

class MixerLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? std::optional<std::string>(path) : std::nullopt;
    }

    void TearDown() override {
        if (savedPath_) {
            ::setenv("PATH", savedPath_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
    }

    fs::path stub(const std::string& name, const fs::path& folder, bool executable = true) {
        return stubs_.stub(name, folder, executable);
    }
    fs::path stub(const std::string& name) { return stubs_.stub(name); }
    fs::path marker(const std::string& name) const { return stubs_.marker(name); }

    tambrel::testing::ProgramStubs stubs_;
    const fs::path root_ = stubs_.root();
    const fs::path bin_ = stubs_.bin();
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

TEST_F(MixerLauncherTest, AMixerThatCannotStartIsAFailedLaunch) {
    // The one mixer found has no interpreter to run it: exec fails, and so does Volume.
    const fs::path noInterpreter = bin_ / "kmix";
    std::ofstream(noInterpreter) << "#!/nonexistent/interpreter\n";
    fs::permissions(noInterpreter, fs::perms::owner_all);
    ::setenv("PATH", bin_.c_str(), 1);
    EXPECT_EQ(findMixer(bin_.string())->program, noInterpreter.string());
    EXPECT_FALSE(launchMixer());
}

} // namespace
