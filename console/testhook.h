// The test hook: the environment variable KEYTOOL_TEST_HOOK makes keytool end abruptly at a
// chosen moment, as a crash or a kill would, or slows it down, so that tests can check what a
// crash leaves behind. The database reads it (see database.h for the values it knows).
#pragma once

#include <string>

namespace KeyTool {

// The value of KEYTOOL_TEST_HOOK, empty when unset.
std::wstring TestHook();
// Ends the process at once with exit code 86, as a crash or a kill would: no destructors, no
// buffers flushed.
[[noreturn]] void CrashForTest();

}  // namespace KeyTool
