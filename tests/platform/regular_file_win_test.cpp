// Reading a pattern file on Windows: every byte as it is on the disk (no text mode), and
// nothing from a pipe, a device or a folder.

#include "platform/regular_file.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tambrel::platform {
namespace {

using namespace std::string_literals;

TEST(RegularFileOnWindows, BytesComeAsTheyAreOnTheDisk) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("tambrel-regular-file-" + std::to_string(GetCurrentProcessId()) + ".qel");
    // CR LF, a lone LF, a NUL and the DOS end-of-file mark, which text mode would change.
    const std::string bytes = "6/8\r\n90\n\0x\x1A"
                              "after\r"s;
    std::ofstream(path, std::ios::binary) << bytes;
    EXPECT_EQ(readRegularFile(path.string(), 1 << 20), bytes);
    EXPECT_FALSE(readRegularFile(path.string(), 5).has_value()); // over the limit
    std::filesystem::remove(path);
    EXPECT_FALSE(readRegularFile(path.string(), 1 << 20).has_value());
}

TEST(RegularFileOnWindows, PipesDevicesAndFoldersAreRefusedAtOnce) {
    // A pipe whose server never writes would block a plain read forever.
    const std::string pipe =
        "\\\\.\\pipe\\tambrel-regular-file-" + std::to_string(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(readRegularFile(pipe, 1 << 20).has_value());
    CloseHandle(server);
    EXPECT_FALSE(readRegularFile("NUL", 1 << 20).has_value());
    EXPECT_FALSE(
        readRegularFile(std::filesystem::temp_directory_path().string(), 1 << 20).has_value());
}

} // namespace
} // namespace tambrel::platform
