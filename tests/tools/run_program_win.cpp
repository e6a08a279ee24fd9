#include "run_program.h"

#include <windows.h>

namespace tambrel::testing {

namespace {

// One argument as the C runtime's command-line parser reads it back: quoted, with the
// backslashes before a quote (and before the closing quote) doubled.
std::string quoted(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    out += '"';
    return out;
}

HANDLE inheritableFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

int runProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath) {
    std::string commandLine;
    for (const std::string& arg : argv) {
        commandLine += (commandLine.empty() ? "" : " ") + quoted(arg);
    }
    const HANDLE out = inheritableFile(outPath);
    const HANDLE err = inheritableFile(errPath);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const bool started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                         CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    for (const HANDLE h : {out, err}) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    if (!started) {
        return -1;
    }
    DWORD status = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    const bool exited = GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exited ? static_cast<int>(status) : -1;
}

} // namespace tambrel::testing
