#pragma once
// A program run as a separate process, as scripts run it, in a private folder of the test's
// own, with its standard output, standard error and exit status.

#include "tests/tools/run_program.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tambrel::testing {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class ProgramRig : public ::testing::Test {
protected:
    // `folder` names the test's folder, made afresh in the temporary folder.
    ProgramRig(std::string program, const std::string& folder)
        : dir(fs::temp_directory_path() / (folder + "-" + std::to_string(::getpid()))),
          program_(std::move(program)) {
        fs::create_directories(dir);
    }
    ~ProgramRig() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }

    // Runs the program with `args`; standard output goes to `outPath` (a file of the test's
    // own unless given).
    Result run(const std::vector<std::string>& args, std::string outPath = {}) const {
        return runUnder({}, args, std::move(outPath));
    }

    // The same, started through `launcher` (a program and its first arguments), which
    // then starts the program with the rest.
    Result runUnder(std::vector<std::string> launcher, const std::vector<std::string>& args,
                    std::string outPath = {}) const {
        const fs::path errPath = dir / "stderr";
        const bool ownOut = outPath.empty();
        if (ownOut) {
            outPath = (dir / "stdout").string();
        }
        std::vector<std::string> argv = std::move(launcher);
        argv.push_back(program_);
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

private:
    std::string program_;
};

} // namespace tambrel::testing
