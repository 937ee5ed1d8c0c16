// What the command files share.
#include "commandsupport.h"

#include <windows.h>
#include <oleauto.h>

#include "failure.h"
#include "text.h"

namespace KeyTool {

void UsageError(const std::wstring& message, const wchar_t* command) {
    Fail(kExitUsage, message + L"\nSee 'keytool " + (command ? std::wstring(command) + L" " : L"") +
                         L"--help'.");
}

long ParseId(const std::wstring& text, const wchar_t* what, const wchar_t* command) {
    bool valid = !text.empty() && text.size() <= 10;
    long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            valid = false;
            break;
        }
        value = value * 10 + (c - L'0');
    }
    if (!valid || value <= 0 || value > 0x7FFFFFFF)
        UsageError(
            std::wstring(what) + L" must be a positive whole number, not '" + Excerpt(text) + L"'",
            command);
    return static_cast<long>(value);
}

Session& OpenSession(Context& context, Database::Access access) {
    if (!context.session)
        context.session = std::make_unique<Session>(
            RepositoryOptions{context.arguments.repository, context.arguments.lockTimeoutMs},
            access);
    return *context.session;
}

const wchar_t* StateName(long state) {
    switch (state) {
        case 1:
            return L"ACTIVE";
        case 2:
            return L"DEACTIVATED";
        case 3:
            return L"REKEY_SUSPENDED";
        case 4:
            return L"REKEY_IN_PROGRESS";
        case 5:
            return L"REVOKED";
        default:
            return nullptr;
    }
}

std::optional<long> StateFromName(const std::wstring& name) {
    for (long state = 1; state <= 5; ++state) {
        const wchar_t* known = StateName(state);
        if (CompareStringOrdinal(known, -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) return state;
    }
    return std::nullopt;
}

std::wstring StateText(long state) {
    const wchar_t* name = StateName(state);
    return name ? std::wstring(name) : L"unknown state " + std::to_wstring(state);
}

std::wstring Described(const CallStatus& status) {
    std::wstring text = StatusText(status.hr);
    if (!status.description.empty())
        text += L"\n  error information: " + Excerpt(status.description, kDescriptionLength);
    return text;
}

void Refused(const std::wstring& command, const KeyObject& key, const wchar_t* call,
             const CallStatus& status) {
    Fail(kExitRefused, command + L" failed for key " + std::to_wstring(key.Id()) + L" (" + call +
                           L"): " + Described(status));
}

long ReadState(const KeyObject& key, const std::wstring& command) {
    KvKeyState state{};
    const CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                                         [&] { return key.Key()->get_KeyState(&state); });
    if (status.Failed()) Refused(command, key, L"KeyState", status);
    return static_cast<long>(state);
}

}  // namespace KeyTool
