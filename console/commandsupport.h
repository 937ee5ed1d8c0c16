// What the command files share: the parsed command line, the session a command opens, key
// states by name, and how a refusal is reported. Each command group has a file of its own:
// commandline.cpp (parsing, the command table, help, register), changecommands.cpp (create and
// the changes of one key), readcommands.cpp (list, show, verify; keyreport.h reads a key for them)
// and transfercommands.cpp (export, import).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database.h"
#include "keymodule.h"
#include "session.h"

namespace KeyTool {

struct Arguments {
    std::wstring repository;
    unsigned lockTimeoutMs = 0;
    bool trace = false;
    bool help = false;
    bool version = false;
    std::wstring command;
    std::vector<std::wstring> positional;
    std::set<std::wstring> options;               // command options, e.g. L"--reveal"
    std::map<std::wstring, std::wstring> values;  // command options with a value, e.g. --state
};

struct Context {
    const Arguments& arguments;
    std::unique_ptr<Session> session;
    bool Has(const wchar_t* option) const { return arguments.options.count(option) != 0; }
};

// A wrong command line: exit code 2, with a pointer to the help of `command` (or keytool's).
[[noreturn]] void UsageError(const std::wstring& message, const wchar_t* command = nullptr);

// A positive 32-bit ID; a usage error naming `what` otherwise.
long ParseId(const std::wstring& text, const wchar_t* what, const wchar_t* command);

// Opened on the first need, after the command's arguments were checked: a wrong command line
// touches no repository.
Session& OpenSession(Context& context, Database::Access access = Database::Access::Write);
inline constexpr Database::Access kRead = Database::Access::Read;

// Key states: "ACTIVE" .. "REVOKED" for 1 .. 5, null for another number.
const wchar_t* StateName(long state);
std::optional<long> StateFromName(const std::wstring& name);
std::wstring StateText(long state);  // the name, or "unknown state 7"

// A status with the error information's description, if any.
std::wstring Described(const CallStatus& status);
// Fails with exit code 1: `command` failed for the key in the member `call`.
[[noreturn]] void Refused(const std::wstring& command, const KeyObject& key, const wchar_t* call,
                          const CallStatus& status);
// The key's state, read through the key module; Refused when it cannot be read.
long ReadState(const KeyObject& key, const std::wstring& command);

// The commands (each returns the exit code or throws Failure).
int RunCreate(Context& context);
int RunDeactivate(Context& context);
int RunRevoke(Context& context);
int RunStartRekey(Context& context);
int RunSuspendRekey(Context& context);
int RunResumeRekey(Context& context);
int RunCompromise(Context& context);
int RunAddCategory(Context& context);
int RunRemoveCategory(Context& context);
int RunList(Context& context);
int RunShow(Context& context);
int RunVerify(Context& context);
int RunExport(Context& context);
int RunImport(Context& context);

}  // namespace KeyTool
