#pragma once
// Stand-in programs for the tests that start one: shell scripts in a folder of the test's
// own that leave a marker file behind when they run, so that a test sees whether a program
// ran, and with what, without waiting for it to end.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace tambrel::testing {

class ProgramStubs {
public:
    // The test's folder, and the bin/ in it where the stand-ins go by default.
    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& bin() const { return bin_; }

    // A fresh folder under /tmp with an empty bin/ in it; removed with everything in it.
    ProgramStubs();
    ~ProgramStubs();
    ProgramStubs(const ProgramStubs&) = delete;
    ProgramStubs& operator=(const ProgramStubs&) = delete;

    // A stand-in program `name` in `folder`: runs `body` with MARK naming its marker file.
    // By default it writes its arguments there, as one line.
    std::filesystem::path stub(const std::string& name, const std::filesystem::path& folder,
                               bool executable = true,
                               const std::string& body = "echo \"$*\" > \"$MARK\"") const;
    std::filesystem::path stub(const std::string& name) const { return stub(name, bin_); }

    std::filesystem::path marker(const std::string& name) const {
        return root_ / (name + ".marker");
    }

private:
    std::filesystem::path root_;
    std::filesystem::path bin_;
};

// The whole text of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Waits until a stub has written its whole marker line (the start does not wait) and gives
// that line; nothing when none came within `limit`.
std::optional<std::string> waitForMarker(const std::filesystem::path& marker,
                                         std::chrono::milliseconds limit = std::chrono::seconds(2));

} // namespace tambrel::testing
