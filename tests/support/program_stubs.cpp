#include "program_stubs.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tambrel::testing {

namespace fs = std::filesystem;

ProgramStubs::ProgramStubs() {
    char pattern[] = "/tmp/tambrel-stubs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("no folder for the stand-in programs");
    }
    root_ = pattern;
    bin_ = root_ / "bin";
    fs::create_directory(bin_);
}

ProgramStubs::~ProgramStubs() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

fs::path ProgramStubs::stub(const std::string& name, const fs::path& folder, bool executable,
                            const std::string& body) const {
    const fs::path file = folder / name;
    std::ofstream out(file);
    out << "#!/bin/sh\nMARK='" << marker(name).string() << "'\n" << body << "\n";
    out.close();
    const fs::perms readable = fs::perms::owner_read | fs::perms::owner_write |
                               fs::perms::group_read | fs::perms::others_read;
    const fs::perms runnable =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(file, executable ? readable | runnable : readable);
    return file;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> waitForMarker(const fs::path& marker, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto text = readFile(marker);
        if (!text.empty() && text.back() == '\n') {
            return text.substr(0, text.size() - 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

} // namespace tambrel::testing
