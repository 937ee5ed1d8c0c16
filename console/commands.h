// The commands of keytool, its command line and its help.
#pragma once

#include <string>
#include <vector>

namespace KeyTool {

// Runs the command line (without the program name); returns the exit code. Throws Failure.
int RunCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace KeyTool
