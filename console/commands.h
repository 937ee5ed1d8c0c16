// The commands of keytool, its command line and its help.
#pragma once

#include <string>
#include <vector>

#include "keycrypto.h"
#include "session.h"

namespace KeyTool {

// Runs the command line (without the program name); returns the exit code. Throws Failure.
int RunCommandLine(const std::vector<std::wstring>& arguments);

// What `create` does: a new ACTIVE key with new key material (derived with `iterations`), made by
// the key module and committed through it. `created` receives its creation time. Throws Failure.
KeyObject CreateKey(Session& session, const std::wstring& title, KeyEncoding encoding,
                    ULONG iterations, DATE& created);

}  // namespace KeyTool
