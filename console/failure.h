// How a command of the console host ends when it cannot do what was asked: a Failure carries the
// exit code and the message; main() prints the message and exits with the code.
#pragma once

#include <string>
#include <utility>

namespace KeyTool {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,     // an operation was refused or failed (plug-in, host or state check)
    kExitUsage = 2,       // the command line is wrong
    kExitRepository = 3,  // the repository file cannot be read, is malformed, or cannot be written
    kExitModule = 4,      // the key module is not registered or cannot be loaded
};

struct Failure {
    int exitCode;
    std::wstring message;
};

[[noreturn]] inline void Fail(int exitCode, std::wstring message) {
    throw Failure{exitCode, std::move(message)};
}

}  // namespace KeyTool
