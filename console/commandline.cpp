// keytool's command line: parsing, the table of commands, the help texts and register.
#include "commands.h"

#include <windows.h>
#include <oleauto.h>

#include <cwchar>

#include <sqlite3.h>

#include "commandsupport.h"
#include "failure.h"
#include "storage.h"
#include "text.h"

#define KEYTOOL_WIDEN2(text) L##text
#define KEYTOOL_WIDEN(text) KEYTOOL_WIDEN2(text)
#define KEYTOOL_VERSION_TEXT KEYTOOL_WIDEN(KEYTOOL_VERSION)

namespace KeyTool {

namespace {

constexpr wchar_t kDefaultRepository[] = L"keys.db";
constexpr wchar_t kRepositoryVariable[] = L"KEYTOOL_REPO";
constexpr unsigned kDefaultLockTimeoutMs = 10000;

struct Command {
    const wchar_t* name;
    const wchar_t* usage;
    const wchar_t* summary;
    const wchar_t* details;
    std::vector<const wchar_t*> options;
    size_t minArguments;
    size_t maxArguments;
    int (*run)(Context&);
};

// Command options that take a value (the next word, or after '=').
constexpr const wchar_t* kValueOptions[] = {L"--state"};

const std::vector<Command>& Commands();

std::wstring EnvironmentValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(length < size ? length : 0);
    return value;
}

// Seconds as a decimal ("2", "0.5") into milliseconds, at most a day.
unsigned ParseSeconds(const std::wstring& text) {
    wchar_t* end = nullptr;
    const double seconds = text.empty() ? -1 : std::wcstod(text.c_str(), &end);
    if (end == nullptr || *end != L'\0' || !(seconds >= 0) || seconds > 86400)
        UsageError(L"--lock-timeout needs a number of seconds from 0 to 86400, not '" +
                   Excerpt(text) + L"'");
    return static_cast<unsigned>(seconds * 1000 + 0.5);
}

Arguments Parse(const std::vector<std::wstring>& words) {
    Arguments arguments;
    arguments.lockTimeoutMs = kDefaultLockTimeoutMs;
    bool optionsEnded = false;
    // "--name value" or "--name=value"; false when word is not the option.
    const auto valued = [&](size_t& i, const wchar_t* name, std::wstring& value) {
        const std::wstring& word = words[i];
        const std::wstring prefix = std::wstring(name) + L"=";
        if (word == name) {
            if (i + 1 >= words.size())
                UsageError(std::wstring(name) +
                           (word == L"--repo" ? L" needs a file name" : L" needs a value"));
            value = words[++i];
            return true;
        }
        if (word.rfind(prefix, 0) == 0) {
            value = word.substr(prefix.size());
            return true;
        }
        return false;
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        const bool positional = optionsEnded || word.size() < 2 || word[0] != L'-';
        std::wstring value;
        if (positional) {
            if (arguments.command.empty())
                arguments.command = word;
            else
                arguments.positional.push_back(word);
        } else if (word == L"--") {
            optionsEnded = true;
        } else if (word == L"--help" || word == L"-h" || word == L"/?") {
            arguments.help = true;
        } else if (word == L"--version") {
            arguments.version = true;
        } else if (word == L"--trace") {
            arguments.trace = true;
        } else if (valued(i, L"--repo", value)) {
            if (value.empty()) UsageError(L"--repo needs a file name");
            arguments.repository = value;
        } else if (valued(i, L"--lock-timeout", value)) {
            arguments.lockTimeoutMs = ParseSeconds(value);
        } else {
            bool taken = false;
            for (const wchar_t* name : kValueOptions)
                if (!taken && valued(i, name, value)) {
                    arguments.options.insert(name);
                    arguments.values[name] = value;
                    taken = true;
                }
            if (!taken) arguments.options.insert(word);
        }
    }
    if (arguments.repository.empty()) arguments.repository = EnvironmentValue(kRepositoryVariable);
    if (arguments.repository.empty()) arguments.repository = kDefaultRepository;
    return arguments;
}

int RunRegister(Context& context) {
    const std::wstring path = context.arguments.positional.empty()
                                  ? DefaultModulePath()
                                  : context.arguments.positional[0];
    RegisterModule(path);
    CLSID clsid{};
    const HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr))
        Fail(kExitModule,
             L"the module registered itself, but its ProgID is still unknown: " + StatusText(hr));
    wchar_t clsidText[40] = {};
    StringFromGUID2(clsid, clsidText, 40);
    Out(L"Registered the key module " + FullPath(path) + L"\n  ProgID " + kProgId + L" -> " +
        clsidText + L"\n");
    return kExitOk;
}

int RunHelp(Context& context);

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {L"create",
         L"create <title> [--base64]",
         L"make a new ACTIVE key",
         L"Makes a key object with a new random 32-byte value (from the system's random\n"
         L"generator) and a derived key (PBKDF2 with HMAC-SHA-256, a random salt and 100000\n"
         L"iterations), state ACTIVE, creation time now and the key MIME type, and commits it.\n"
         L"The value and the derived key are written as hex, or as Base64 with --base64.\n"
         L"Neither is printed; 'show <id> --reveal' prints them.",
         {L"--base64"},
         1,
         1,
         RunCreate},
        {L"list",
         L"list [--state <name>] [--compromised] [--json]",
         L"list the keys: ID, state, compromised, active period, title",
         L"Lists every key of the repository with its state (by name), whether it is marked\n"
         L"compromised, how long it has been active (as the key module reports it) and its title.\n"
         L"--state ACTIVE (DEACTIVATED, REKEY_SUSPENDED, REKEY_IN_PROGRESS, REVOKED) lists only "
         L"the\n"
         L"keys in that state, --compromised only those marked compromised. A key that cannot be\n"
         L"read in full still gets its row, with '?' for what is missing and the member and "
         L"status\n"
         L"that failed; the exit code is then 1. --json writes the list as JSON (see the README).",
         {L"--state", L"--compromised", L"--json"},
         0,
         0,
         RunList},
        {L"show",
         L"show <id> [--reveal] [--json]",
         L"show one key with its categories",
         L"Shows a key's title, state, compromised flag, creation time, active period, MIME type,\n"
         L"how its derived key was made, and its corporate and personal categories. The key\n"
         L"value and the derived key are printed only with --reveal. --json writes it as JSON.",
         {L"--reveal", L"--json"},
         1,
         1,
         RunShow},
        {L"verify",
         L"verify [<id>...] [--json]",
         L"check the keys' derived keys against their values",
         L"Makes each key's derived key again from its value, salt and iteration count (PBKDF2\n"
         L"with HMAC-SHA-256) and reports the keys whose derived key, value encoding or\n"
         L"derivation parameters do not match (exit code 1). Without IDs it checks every key.\n"
         L"No key material is printed. --json writes the result as JSON.",
         {L"--json"},
         0,
         1000000,
         RunVerify},
        {L"export",
         L"export [<file>] [--reveal]",
         L"write the repository as JSON",
         L"Writes every object of the repository in the JSON repository format (to standard\n"
         L"output, or to the file, which is then readable by you only). Without --reveal the key\n"
         L"values and derived keys are left out, and the export says so; such an export cannot be\n"
         L"imported.",
         {L"--reveal"},
         0,
         1,
         RunExport},
        {L"import",
         L"import <file>",
         L"add the objects of a JSON repository file",
         L"Reads a JSON repository file (an export, or the keys.json of an earlier keytool) and\n"
         L"adds its objects under their own IDs, all in one transaction: if the file is not\n"
         L"valid, or an ID is taken already, nothing is imported.",
         {},
         1,
         1,
         RunImport},
        {L"deactivate",
         L"deactivate <id>",
         L"ACTIVE -> DEACTIVATED (the host's own change)",
         L"Writes DEACTIVATED into the key's state. Only an ACTIVE key can be deactivated.",
         {},
         1,
         1,
         RunDeactivate},
        {L"revoke",
         L"revoke <id>",
         L"-> REVOKED (the host's own change)",
         L"Writes REVOKED into the key's state. A key can be revoked when it is ACTIVE,\n"
         L"DEACTIVATED or REKEY_SUSPENDED; a running re-key must be suspended first, and a\n"
         L"revoked key stays revoked.",
         {},
         1,
         1,
         RunRevoke},
        {L"start-rekey",
         L"start-rekey <id>",
         L"DEACTIVATED -> REKEY_IN_PROGRESS (key module)",
         L"Asks the key module to start re-encrypting data with a new key (StartRekey). The "
         L"module\n"
         L"refuses it unless the key is DEACTIVATED.",
         {},
         1,
         1,
         RunStartRekey},
        {L"suspend-rekey",
         L"suspend-rekey <id>",
         L"REKEY_IN_PROGRESS -> REKEY_SUSPENDED (key module)",
         L"Asks the key module to suspend a re-key (SuspendRekey). The module refuses it unless\n"
         L"the key is REKEY_IN_PROGRESS.",
         {},
         1,
         1,
         RunSuspendRekey},
        {L"resume-rekey",
         L"resume-rekey <id>",
         L"REKEY_SUSPENDED -> REKEY_IN_PROGRESS (key module)",
         L"Asks the key module to resume a suspended re-key (ResumeRekey). The module refuses it\n"
         L"unless the key is REKEY_SUSPENDED.",
         {},
         1,
         1,
         RunResumeRekey},
        {L"compromise",
         L"compromise <id>",
         L"mark a key compromised (key module)",
         L"Asks the key module to mark the key compromised (SetCompromised). The module refuses "
         L"it\n"
         L"for an ACTIVE key; in any other state the flag is set and the state stays as it is.",
         {},
         1,
         1,
         RunCompromise},
        {L"add-category",
         L"add-category <id> <category id> [--personal]",
         L"put a key into a category",
         L"Adds the category ID to the key's corporate categories, or with --personal to its\n"
         L"personal categories, through the key module's category collections.",
         {L"--personal"},
         2,
         2,
         RunAddCategory},
        {L"remove-category",
         L"remove-category <id> <category id> [--personal]",
         L"take a key out of a category",
         L"Removes the category ID from the key's corporate categories, or with --personal from\n"
         L"its personal categories.",
         {L"--personal"},
         2,
         2,
         RunRemoveCategory},
        {L"register",
         L"register [<path of CryptoGraphicKey.dll>]",
         L"register the key module",
         L"Loads the key module and calls its DllRegisterServer, which registers the key class,\n"
         L"its ProgID and its type library. Without a path it takes CryptoGraphicKey.dll next to\n"
         L"keytool.exe, or the build tree's module folder.",
         {},
         0,
         1,
         RunRegister},
        {L"help", L"help [<command>]", L"describe keytool or one command", L"", {}, 0, 1, RunHelp},
    };
    return commands;
}

const Command* FindCommand(const std::wstring& name) {
    for (const Command& command : Commands())
        if (name == command.name) return &command;
    return nullptr;
}

// Help lines are at most this wide.
constexpr size_t kHelpWidth = 79;

// `text` (one paragraph; its line breaks are taken as spaces) broken into lines of at most
// kHelpWidth columns, the first going on from `column`, the others indented by `indent`.
std::wstring Wrap(std::wstring_view text, size_t indent, size_t column) {
    std::wstring out;
    size_t start = 0;
    while (start < text.size()) {
        while (start < text.size() && (text[start] == L' ' || text[start] == L'\n')) ++start;
        size_t end = start;
        while (end < text.size() && text[end] != L' ' && text[end] != L'\n') ++end;
        if (end == start) break;
        const std::wstring_view word = text.substr(start, end - start);
        if (column > indent && column + 1 + word.size() > kHelpWidth) {
            out += L"\n" + std::wstring(indent, L' ');
            column = indent;
        } else if (column > indent || !out.empty()) {
            out += L' ';
            ++column;
        }
        out += word;
        column += word.size();
        start = end;
    }
    return out;
}

std::wstring ProgramHelp() {
    constexpr size_t kSummaryColumn = 30;
    std::wstring text =
        Wrap(
            L"keytool - keeps cryptographic keys in a repository database and manages them "
            L"through the key module (CryptoGraphicKey.dll), which it drives through COM as the "
            L"platform's host does.",
            0, 0) +
        L"\n\nUsage: keytool [--repo <file>] [--lock-timeout <seconds>] [--trace] <command>\n"
        L"               [<arguments>]\n\nCommands:\n";
    for (const Command& command : Commands()) {
        std::wstring line = L"  " + std::wstring(command.usage);
        if (line.size() + 2 > kSummaryColumn)
            line += L"\n", line += std::wstring(kSummaryColumn, L' ');
        else
            line += std::wstring(kSummaryColumn - line.size(), L' ');
        text += line + Wrap(command.summary, kSummaryColumn, kSummaryColumn) + L"\n";
    }
    text +=
        L"\nOptions:\n"
        L"  --repo <file>  the repository, an SQLite database (default: the environment\n"
        L"                 variable KEYTOOL_REPO, else keys.db in the current folder); a\n"
        L"                 command that writes creates it, readable by you only\n"
        L"  --lock-timeout <seconds>\n"
        L"                 how long to wait for another keytool working on the repository\n"
        L"                 (default 10)\n"
        L"  --trace        show the key module's trace lines and the host's commit steps\n"
        L"                 on standard error\n"
        L"  --version      the versions of keytool, of its repository schema and SQLite\n"
        L"  --help         this text; 'keytool <command> --help' describes one command\n\n" +
        Wrap(
            L"Exit codes: 0 done; 1 refused or failed (the message names the operation and the "
            L"status), or a key that could not be read or verified; 2 wrong command line; 3 the "
            L"repository (or a file to import) is missing, cannot be read, is not valid or "
            L"cannot be written; 4 the key module is not registered or cannot be loaded.",
            0, 0) +
        L"\n";
    return text;
}

std::wstring CommandHelp(const Command& command) {
    std::wstring text =
        L"Usage: keytool [--repo <file>] [--lock-timeout <seconds>] [--trace]\n"
        L"               " +
        Wrap(command.usage, 15, 15) + L"\n\n" + Wrap(command.summary, 0, 0) + L".\n";
    if (command.details[0] != L'\0') text += L"\n" + Wrap(command.details, 0, 0) + L"\n";
    return text;
}

int RunHelp(Context& context) {
    if (context.arguments.positional.empty()) {
        Out(ProgramHelp());
        return kExitOk;
    }
    const Command* command = FindCommand(context.arguments.positional[0]);
    if (command == nullptr)
        UsageError(L"there is no command '" + Excerpt(context.arguments.positional[0]) + L"'");
    Out(CommandHelp(*command));
    return kExitOk;
}

}  // namespace

int RunCommandLine(const std::vector<std::wstring>& words) {
    const Arguments arguments = Parse(words);
    if (arguments.version) {
        Out(L"keytool " KEYTOOL_VERSION_TEXT L" (repository schema " +
            std::to_wstring(kSchemaVersion) + L", SQLite " + FromUtf8(sqlite3_libversion()) +
            L")\n");
        return kExitOk;
    }
    if (arguments.command.empty()) {
        if (arguments.help) {
            Out(ProgramHelp());
            return kExitOk;
        }
        UsageError(L"no command given");
    }
    const Command* command = FindCommand(arguments.command);
    if (command == nullptr)
        UsageError(L"there is no command '" + Excerpt(arguments.command) + L"'");
    if (arguments.help) {
        Out(CommandHelp(*command));
        return kExitOk;
    }
    for (const std::wstring& option : arguments.options) {
        bool known = false;
        for (const wchar_t* allowed : command->options) known = known || option == allowed;
        if (!known)
            UsageError(L"'" + std::wstring(command->name) + L"' has no option " + Excerpt(option),
                       command->name);
    }
    if (arguments.command == L"create" && arguments.positional.size() > 1) {
        std::wstring title;
        for (const std::wstring& word : arguments.positional)
            title += (title.empty() ? L"" : L" ") + word;
        UsageError(
            L"create takes one title: a title with spaces is written in quotes, as in "
            L"keytool create \"" +
                Excerpt(title) + L"\"",
            L"create");
    }
    if (arguments.positional.size() < command->minArguments ||
        arguments.positional.size() > command->maxArguments)
        UsageError(std::wstring(L"usage: keytool ") + command->usage, command->name);

    if (arguments.trace) {
        // Before anything loads the module: it reads its logger settings when it is loaded.
        EnableModuleTrace();
        SetHostTrace(true);
    }
    Context context{arguments, nullptr};
    return command->run(context);
}

}  // namespace KeyTool
