#pragma once
// The tool tests' rig: tambrel-pattern run as a separate process, as scripts run it, in a
// private folder, with its standard output, standard error and exit status.

#include "tests/tools/program_rig.h"

#include <string>
#include <vector>

namespace tambrel::testing {

class TambrelPatternTool : public ProgramRig {
protected:
    TambrelPatternTool() : ProgramRig(TAMBREL_PATTERN_TOOL, "tambrel-pattern-cli") {}

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
};

} // namespace tambrel::testing
