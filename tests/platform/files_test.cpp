// Reading and replacing the files a user picks by name: nothing that is not a plain file
// is read, and a replacement leaves the new contents whole or the old file as it was.

#include "platform/file_beside.h"
#include "platform/files.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tambrel::platform {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

constexpr std::size_t kMax = 1 << 20;

class FilesTest : public ::testing::Test {
protected:
    FilesTest()
        : dir(fs::temp_directory_path() / ("tambrel-files-test-" + std::to_string(::getpid()))) {
        fs::create_directories(dir);
    }
    ~FilesTest() override {
        fs::permissions(dir, fs::perms::owner_all);
        fs::remove_all(dir);
    }

    std::string write(const std::string& name, const std::string& bytes) const {
        const fs::path path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
    std::string contents(const std::string& path) const {
        return readRegularFile(path, kMax).bytes.value_or("<unreadable>");
    }
    // Nothing but the named files: a failed save leaves no half-written file beside them.
    std::size_t filesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
    }

    // Runs `work` in a child process (for a resource limit or another user that must not
    // outlast the test) and gives its exit status.
    static int inChild(const std::function<int()>& work) {
        const int status = tambrel::testing::waitChild(tambrel::testing::forkChild(work));
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    fs::path dir;
};

TEST_F(FilesTest, ReadsEveryByteOfAPlainFileOnly) {
    const std::string bytes = "a\r\n\0b\r\xFF"s;
    EXPECT_EQ(readRegularFile(write("raw.qel", bytes), kMax).bytes, bytes);
    EXPECT_EQ(readRegularFile(write("empty.qel", ""), kMax).bytes, "");
    const FileRead missing = readRegularFile((dir / "missing.qel").string(), kMax);
    EXPECT_FALSE(missing.bytes.has_value());
    EXPECT_EQ(missing.error, "No such file or directory");
    EXPECT_EQ(readRegularFile(dir.string(), kMax).error, "Is a directory");
}

TEST_F(FilesTest, PipesDevicesAndHugeFilesAreRefusedAtOnce) {
    // A pipe with no writer would block a plain read forever, and /dev/zero never ends.
    const std::string fifo = (dir / "pipe.qel").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readRegularFile(fifo, kMax).error, "not a regular file");
    EXPECT_FALSE(readRegularFile("/dev/zero", kMax).bytes.has_value());
    const std::string huge(kMax + 1, '0');
    EXPECT_EQ(readRegularFile(write("huge.qel", huge), kMax).error, "File too large");
    const std::string largest(kMax, '0');
    EXPECT_EQ(readRegularFile(write("largest.qel", largest), kMax).bytes, largest);
}

TEST_F(FilesTest, ReplaceWritesANewFileOrTheWholeNewContents) {
    const std::string fresh = (dir / "fresh.qel").string();
    EXPECT_EQ(replaceFile(fresh, "new"), std::nullopt);
    EXPECT_EQ(contents(fresh), "new");
    const std::string old = write("old.qel", "a longer old text");
    ::chmod(old.c_str(), 0640);
    EXPECT_EQ(replaceFile(old, "short"), std::nullopt);
    EXPECT_EQ(contents(old), "short");
    // The file keeps its permissions, and nothing else is left in the folder.
    EXPECT_EQ(fs::status(old).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(filesInDir(), 2u);
}

TEST_F(FilesTest, EveryFailedReplaceKeepsTheOldFile) {
    const std::string old = write("old.qel", "the user's pattern");
    EXPECT_EQ(replaceFile((dir / "no-such-folder" / "x.qel").string(), "new"),
              "No such file or directory");
    EXPECT_EQ(replaceFile(dir.string(), "new"), "Is a directory");
    EXPECT_EQ(replaceFile(old + "/x.qel", "new"), "Not a directory");
    // A file-size limit cuts the write short: the old file must not be cut with it.
    const int status = inChild([&] {
        const rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const auto failed = replaceFile(old, "a pattern longer than eight bytes");
        return failed == "File too large" ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(contents(old), "the user's pattern");
    EXPECT_EQ(filesInDir(), 1u);
}

TEST_F(FilesTest, ReplaceFollowsALinkAndKeepsIt) {
    const std::string target = write("target.qel", "old");
    const fs::path link = dir / "link.qel";
    fs::create_symlink(target, link);
    EXPECT_EQ(replaceFile(link.string(), "new"), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contents(target), "new");
}

// A link to a file not there yet is kept and its target created, as editors do, by both
// writers; a link that cannot be followed is refused with the system's reason.
TEST_F(FilesTest, ADanglingLinkGetsItsTargetAndALoopIsRefused) {
    fs::create_directory(dir / "songs");
    fs::create_symlink("songs/new.qel", dir / "link.qel");
    fs::create_symlink("link.qel", dir / "chain.qel");
    EXPECT_EQ(replaceFile((dir / "chain.qel").string(), "new"), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(dir / "link.qel"));
    EXPECT_TRUE(fs::is_symlink(dir / "chain.qel"));
    EXPECT_EQ(contents((dir / "songs" / "new.qel").string()), "new");

    fs::create_symlink(dir / "songs" / "render.wav", dir / "render.wav");
    {
        FileBeside render((dir / "render.wav").string());
        ASSERT_GE(render.descriptor(), 0) << render.error();
        EXPECT_EQ(render.commit(), std::nullopt);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "render.wav"));
    EXPECT_TRUE(fs::is_regular_file(dir / "songs" / "render.wav"));

    fs::create_symlink("loop-b.qel", dir / "loop-a.qel");
    fs::create_symlink("loop-a.qel", dir / "loop-b.qel");
    EXPECT_EQ(replaceFile((dir / "loop-a.qel").string(), "new"), std::string(std::strerror(ELOOP)));
    EXPECT_EQ(FileBeside((dir / "loop-b.qel").string()).error(), std::string(std::strerror(ELOOP)));
    EXPECT_TRUE(fs::is_symlink(dir / "loop-a.qel"));
    EXPECT_TRUE(fs::is_symlink(dir / "loop-b.qel"));
    EXPECT_EQ(filesInDir(), 6u);
}

// A target that turns into a folder with files in it before the rename cannot be replaced:
// the commit says so, and the folder and its files stay.
TEST_F(FilesTest, ACommitOntoAFolderFailsAndLeavesIt) {
    const std::string target = (dir / "out.wav").string();
    FileBeside file(target);
    ASSERT_GE(file.descriptor(), 0) << file.error();
    ASSERT_EQ(::write(file.descriptor(), "RIFF", 4), 4);
    fs::create_directory(target);
    write("out.wav/kept", "the user's file");
    EXPECT_EQ(file.commit(), std::string(std::strerror(EISDIR)));
    EXPECT_EQ(contents(target + "/kept"), "the user's file");
    EXPECT_EQ(filesInDir(), 1u);
}

// A folder that takes no new file still lets its writable files be saved over, as a
// plain overwrite always did; should that write fail, the old contents come back.
TEST_F(FilesTest, AFolderThatTakesNoNewFileStillLetsItsFilesBeSaved) {
    const std::string file = write("song.qel", "old pattern");
    // Root may create files anywhere: the child becomes an ordinary user for this.
    const bool root = ::geteuid() == 0;
    const uid_t nobody = 65534;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), nobody, nobody), 0);
    }
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    auto asUser = [root](const std::function<int()>& work) {
        return inChild([&] {
            if (root && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
                return 99;
            }
            return work();
        });
    };
    EXPECT_EQ(asUser([&] { return replaceFile((dir / "new.qel").string(), "x") ? 0 : 1; }), 0)
        << "the folder took a new file after all";
    EXPECT_EQ(asUser([&] { return replaceFile(file, "new pattern, longer") ? 1 : 0; }), 0);
    EXPECT_EQ(contents(file), "new pattern, longer");
    EXPECT_EQ(asUser([&] {
                  const rlimit limit{24, 24};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  return replaceFile(file, "a pattern far longer than twenty-four bytes") ? 0 : 1;
              }),
              0);
    EXPECT_EQ(contents(file), "new pattern, longer");
    EXPECT_EQ(filesInDir(), 1u);
}

} // namespace
} // namespace tambrel::platform
