#include "platform/regular_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace tambrel::platform {
namespace {

TEST(RegularFile, PipesAndDevicesAreRefusedAtOnce) {
    // A pipe with no writer would block a plain read forever, and /dev/zero never ends.
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("tambrel-regular-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "pipe.qel").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(readRegularFile(fifo, 1 << 20).has_value());
    EXPECT_FALSE(readRegularFile("/dev/zero", 1 << 20).has_value());
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace tambrel::platform
