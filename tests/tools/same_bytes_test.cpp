// tambrel-pattern built for Windows, run under Wine, against this Linux build's: the same
// bytes on standard output for the worked example and for every built-in rhythm. Built with
// the Linux build; `make test-windows` runs it, with TAMBREL_WINDOWS_PATTERN_TOOL holding the
// command that runs the Windows program (its words separated by '|').

#include "tests/patterns/worked_example.h"
#include "tests/patterns_presets/preset_tables.h"
#include "tests/tools/run_program.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tambrel::testing::slurp;

class SameBytesOnWindows : public ::testing::Test {
protected:
    SameBytesOnWindows()
        : dir(fs::temp_directory_path() / ("tambrel-same-bytes-" + std::to_string(::getpid()))) {
        fs::create_directories(dir);
        const char* command = std::getenv("TAMBREL_WINDOWS_PATTERN_TOOL");
        std::istringstream words(command == nullptr ? "" : command);
        for (std::string word; std::getline(words, word, '|');) {
            windowsTool.push_back(word);
        }
    }
    ~SameBytesOnWindows() override { fs::remove_all(dir); }

    // Standard output of one tool with `args`, which must succeed.
    std::string output(std::vector<std::string> tool, const std::vector<std::string>& args) {
        tool.insert(tool.end(), args.begin(), args.end());
        const fs::path out = dir / "stdout";
        EXPECT_EQ(tambrel::testing::runProgram(tool, out.string(), (dir / "stderr").string()), 0)
            << tool.front() << " " << args.front() << ": " << slurp(dir / "stderr");
        return slurp(out);
    }

    void expectSameBytes(const std::vector<std::string>& args) {
        const std::string onLinux = output({TAMBREL_PATTERN_TOOL}, args);
        EXPECT_FALSE(onLinux.empty());
        EXPECT_EQ(output(windowsTool, args), onLinux) << args.back();
    }

    fs::path dir;
    std::vector<std::string> windowsTool;
};

TEST_F(SameBytesOnWindows, WorkedExampleAndEveryPreset) {
    ASSERT_FALSE(windowsTool.empty()) << "TAMBREL_WINDOWS_PATTERN_TOOL is not set";
    const fs::path example = dir / "example.qel";
    std::ofstream(example, std::ios::binary) << tambrel::testing::kWorkedExample;
    expectSameBytes({"normalize", example.string()});
    expectSameBytes({"presets"});
    for (const auto& preset : preset_tables::kExpected) {
        expectSameBytes({"preset", std::string(preset.caption)});
    }
}

} // namespace
