// The files a user picks, on Windows: every byte as it is on the disk (no text mode),
// nothing read from a pipe, a device or a folder, and a replacement that is whole or none.

#include "platform/files.h"

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
    EXPECT_EQ(readRegularFile(path.string(), 1 << 20).bytes, bytes);
    EXPECT_FALSE(readRegularFile(path.string(), 5).bytes.has_value()); // over the limit
    // Replaced whole, CR LF and all, and nothing left beside it.
    EXPECT_EQ(replaceFile(path.string(), "4/4\r\n\x1A"s), std::nullopt);
    EXPECT_EQ(readRegularFile(path.string(), 1 << 20).bytes, "4/4\r\n\x1A"s);
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".tambrel-new"));
    std::filesystem::remove(path);
    const FileRead missing = readRegularFile(path.string(), 1 << 20);
    EXPECT_FALSE(missing.bytes.has_value());
    EXPECT_FALSE(missing.error.empty());
    // A folder that does not exist takes no file, and says why.
    EXPECT_NE(replaceFile((path / "no" / "such.qel").string(), "x"), std::nullopt);
}

TEST(RegularFileOnWindows, PipesDevicesAndFoldersAreRefusedAtOnce) {
    // A pipe whose server never writes would block a plain read forever.
    const std::string pipe =
        "\\\\.\\pipe\\tambrel-regular-file-" + std::to_string(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_EQ(readRegularFile(pipe, 1 << 20).error, "not a regular file");
    CloseHandle(server);
    EXPECT_EQ(readRegularFile("NUL", 1 << 20).error, "not a regular file");
    EXPECT_FALSE(readRegularFile(std::filesystem::temp_directory_path().string(), 1 << 20).bytes);
}

} // namespace
} // namespace tambrel::platform
