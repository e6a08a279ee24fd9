#pragma once
// The tool tests' rig: tambrel-pattern run as a separate process, as scripts run it, in a
// private folder, with its standard output, standard error and exit status.

#include "tests/tools/run_program.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tambrel::testing {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class TambrelPatternTool : public ::testing::Test {
protected:
    TambrelPatternTool()
        : dir(fs::temp_directory_path() / ("tambrel-pattern-cli-" + std::to_string(::getpid()))) {
        fs::create_directories(dir);
    }
    ~TambrelPatternTool() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }

    // Runs the tool with `args`; standard output goes to `outPath` (a file of the test's
    // own unless given).
    Result run(const std::vector<std::string>& args, std::string outPath = {}) const {
        return runUnder({}, args, std::move(outPath));
    }

    // The same, started through `launcher` (a program and its first arguments), which
    // then starts the tool with the rest.
    Result runUnder(std::vector<std::string> launcher, const std::vector<std::string>& args,
                    std::string outPath = {}) const {
        const fs::path errPath = dir / "stderr";
        const bool ownOut = outPath.empty();
        if (ownOut) {
            outPath = (dir / "stdout").string();
        }
        std::vector<std::string> argv = std::move(launcher);
        argv.push_back(TAMBREL_PATTERN_TOOL);
        argv.insert(argv.end(), args.begin(), args.end());
        Result r;
        r.status = runProgram(argv, outPath, errPath.string());
        if (r.status < 0) {
            ADD_FAILURE() << argv.front() << " did not start or did not exit";
            return r;
        }
        if (ownOut) {
            r.out = slurp(outPath);
        }
        r.err = slurp(errPath);
        return r;
    }

    // A call that must fail: its arguments, and the reason standard error gives for it.
    struct Failure {
        std::vector<std::string> args;
        std::string err;
    };

    // Each call exits 1 with its reason on one line, writes nothing to standard output,
    // and leaves the test's folder holding just `left`.
    void expectFailures(const std::vector<Failure>& failures,
                        const std::vector<std::string>& left) const {
        for (const Failure& f : failures) {
            const Result r = run(f.args);
            EXPECT_EQ(r.status, 1) << f.err;
            EXPECT_EQ(r.err, "tambrel-pattern: " + f.err + "\n");
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(filesLeft(), left);
        }
    }

    // A full disk, as a limit of `blocks` on the size of files: `args`, which write `out`,
    // fail on it and the file there before stays as it was.
    void expectFullDiskKeepsOldFile(const std::string& out, int blocks,
                                    const std::vector<std::string>& args) const {
        std::ofstream(out, std::ios::binary) << "the old file";
        const Result full = runUnder(
            {"/bin/sh", "-c", "ulimit -f " + std::to_string(blocks) + " && exec \"$0\" \"$@\""},
            args);
        EXPECT_EQ(full.status, 1);
        EXPECT_EQ(full.err, "tambrel-pattern: " + out + ": File too large\n");
        EXPECT_EQ(slurp(out), "the old file");
    }

    // The names in the test's folder, its own stdout and stderr files left out.
    std::vector<std::string> filesLeft() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name != "stdout" && name != "stderr") {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

} // namespace tambrel::testing
