// The commands that change keys: create, the state changes (the host's own and the key module's),
// compromise and the categories.
#include "commands.h"

#include <windows.h>
#include <oleauto.h>

#include "commandsupport.h"
#include "failure.h"
#include "keycrypto.h"
#include "keyreport.h"
#include "text.h"

namespace KeyTool {

namespace {

void WriteState(const KeyObject& key, long state, const std::wstring& command) {
    BSTR name = SysAllocString(Prop::kKeyState);
    if (name == nullptr) throw std::bad_alloc();
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    V_I4(&value) = state;
    const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject,
                                         [&] { return key.Generic()->put_Property(name, value); });
    SysFreeString(name);
    if (status.Failed()) Refused(command, key, L"Property put SI_KEY_STATE", status);
}

void AddProperty(ISProperties* bag, const wchar_t* name, const VARIANT& value, const KeyObject& key,
                 ComPtr<ISProperty>* added = nullptr) {
    BSTR nameText = SysAllocString(name);
    if (nameText == nullptr) throw std::bad_alloc();
    ComPtr<ISProperty> property;
    const CallStatus status =
        CallObject(bag, IID_ISProperties, [&] { return bag->Add(nameText, value, 0, &property); });
    SysFreeString(nameText);
    if (status.Failed()) Refused(L"create", key, L"ISProperties::Add", status);
    if (added != nullptr) *added = property;
}

void AddText(ISProperties* bag, const wchar_t* name, const std::wstring& text, const KeyObject& key,
             ComPtr<ISProperty>* added = nullptr) {
    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (V_BSTR(&value) == nullptr) throw std::bad_alloc();
    try {
        AddProperty(bag, name, value, key, added);
    } catch (...) {
        VariantClear(&value);
        throw;
    }
    VariantClear(&value);
}

}  // namespace

KeyObject CreateKey(Session& session, const std::wstring& title, KeyEncoding encoding,
                    ULONG iterations, DATE& created) {
    KeyMaterial material = NewKeyMaterial(encoding, iterations);
    const KeyObject key = session.NewKey();

    BSTR titleText = SysAllocStringLen(title.data(), static_cast<UINT>(title.size()));
    if (titleText == nullptr) throw std::bad_alloc();
    CallStatus status = CallObject(key.Generic(), IID_ISInfoObject,
                                   [&] { return key.Generic()->put_Title(titleText); });
    SysFreeString(titleText);
    if (status.Failed()) Refused(L"create", key, L"Title put", status);
    ComPtr<ISProperties> bag;
    status = CallObject(key.Generic(), IID_ISInfoObject,
                        [&] { return key.Generic()->get_Properties(&bag); });
    if (status.Failed() || !bag)
        Refused(L"create", key, L"Properties",
                status.Failed() ? status : CallStatus{E_POINTER, {}});

    VARIANT value;
    VariantInit(&value);
    AddText(bag.Get(), Prop::kValue, material.value, key);
    AddText(bag.Get(), Prop::kDerivedKey, material.derived, key);
    SecureZeroMemory(material.value.data(), material.value.size() * sizeof(wchar_t));
    SecureZeroMemory(material.derived.data(), material.derived.size() * sizeof(wchar_t));
    V_VT(&value) = VT_I4;
    V_I4(&value) = ACTIVE;
    AddProperty(bag.Get(), Prop::kKeyState, value, key);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    V_VT(&value) = VT_DATE;
    SystemTimeToVariantTime(&now, &V_DATE(&value));
    created = V_DATE(&value);
    AddProperty(bag.Get(), Prop::kCreationTime, value, key);
    V_VT(&value) = VT_I2;
    V_I2(&value) = 0;
    AddProperty(bag.Get(), Prop::kIsCompromised, value, key);
    AddText(bag.Get(), Prop::kMimeType, kKeyMimeType, key);

    // How the derived key was made, so that it can be made again from the value.
    ComPtr<ISProperty> derivation;
    AddText(bag.Get(), Prop::kDerivation, L"", key, &derivation);
    ComPtr<ISProperties> nested;
    const HRESULT hr = derivation ? derivation->get_Properties(&nested) : E_POINTER;
    if (FAILED(hr) || !nested)
        Refused(L"create", key, L"ISProperty::Properties",
                CallStatus{FAILED(hr) ? hr : E_POINTER, {}});
    AddText(nested.Get(), Prop::kAlgorithm, L"PBKDF2-HMAC-SHA256", key);
    V_VT(&value) = VT_I4;
    V_I4(&value) = static_cast<LONG>(material.iterations);
    AddProperty(nested.Get(), Prop::kIterations, value, key);
    AddText(nested.Get(), Prop::kSalt, material.salt, key);
    AddText(nested.Get(), Prop::kEncoding, encoding == KeyEncoding::Hex ? L"hex" : L"base64", key);

    session.Commit(key, L"create");
    return key;
}

int RunCreate(Context& context) {
    const std::wstring& title = context.arguments.positional[0];
    if (title.empty()) UsageError(L"the title must not be empty", L"create");
    if (HasControlCharacters(title))
        UsageError(L"the title must not hold control characters or line breaks (it reads '" +
                       Excerpt(title) + L"')",
                   L"create");
    const KeyEncoding encoding = context.Has(L"--base64") ? KeyEncoding::Base64 : KeyEncoding::Hex;
    Session& session = OpenSession(context);
    DATE created = 0;
    const KeyObject key = CreateKey(session, title, encoding, kDerivationIterations, created);
    Out(L"Created key " + std::to_wstring(key.Id()) + L" \"" + SafeText(title) + L"\": " +
        StateText(ReadState(key, L"create")) + L" since " + DateText(created) + L".\n");
    Out(L"  Its value and derived key are stored but not shown ('keytool show " +
        std::to_wstring(key.Id()) + L" --reveal' prints them).\n");
    return kExitOk;
}

// deactivate and revoke: the host's own writes of SI_KEY_STATE.
int RunHostTransition(Context& context, const wchar_t* command, long target,
                      std::initializer_list<long> from, const wchar_t* rule) {
    const long id = ParseId(context.arguments.positional[0], L"the key ID", command);
    Session& session = OpenSession(context);
    const KeyObject key = session.OpenKey(id, command);
    const long before = ReadState(key, command);
    bool allowed = false;
    for (long state : from) allowed = allowed || state == before;
    if (!allowed)
        Fail(kExitRefused, std::wstring(command) + L" refused for key " + std::to_wstring(id) +
                               L": the key is " + StateText(before) + L"; " + rule + L" (" +
                               StatusText(KV_E_INVALIDSTATETRANSITION) + L")");
    WriteState(key, target, command);
    session.Commit(key, command);
    Out(L"Key " + std::to_wstring(id) + L": " + StateText(before) + L" -> " +
        StateText(ReadState(key, command)) + L".\n");
    return kExitOk;
}

int RunDeactivate(Context& context) {
    return RunHostTransition(context, L"deactivate", DEACTIVATED, {ACTIVE},
                             L"only an ACTIVE key can be deactivated");
}

int RunRevoke(Context& context) {
    return RunHostTransition(context, L"revoke", REVOKED, {ACTIVE, DEACTIVATED, REKEY_SUSPENDED},
                             L"a key can be revoked when it is ACTIVE, DEACTIVATED or "
                             L"REKEY_SUSPENDED (suspend a running re-key first)");
}

// The commands carried out by the key module's own members.
int RunPluginCommand(Context& context, const wchar_t* command, const wchar_t* member,
                     HRESULT (STDMETHODCALLTYPE ISCryptoGraphicKeyBase::*call)(),
                     const wchar_t* rule) {
    const long id = ParseId(context.arguments.positional[0], L"the key ID", command);
    Session& session = OpenSession(context);
    const KeyObject key = session.OpenKey(id, command);
    const long before = ReadState(key, command);
    const CallStatus status =
        CallObject(key.Key(), IID_ISCryptoGraphicKeyBase, [&] { return (key.Key()->*call)(); });
    if (status.Failed())
        Fail(kExitRefused, std::wstring(command) + L" refused for key " + std::to_wstring(id) +
                               L" by the key module (" + member + L"): " + Described(status) +
                               L"\n  The key is " + StateText(ReadState(key, command)) + L"; " +
                               rule + L".");
    session.Commit(key, command);
    const long after = ReadState(key, command);
    if (call == &ISCryptoGraphicKeyBase::SetCompromised)
        Out(L"Key " + std::to_wstring(id) + L" is marked compromised (" + member +
            L"); its state stays " + StateText(after) + L".\n");
    else
        Out(L"Key " + std::to_wstring(id) + L": " + StateText(before) + L" -> " + StateText(after) +
            L" (" + member + L").\n");
    return kExitOk;
}

int RunStartRekey(Context& context) {
    return RunPluginCommand(context, L"start-rekey", L"StartRekey",
                            &ISCryptoGraphicKeyBase::StartRekey,
                            L"a re-key starts from DEACTIVATED");
}

int RunSuspendRekey(Context& context) {
    return RunPluginCommand(context, L"suspend-rekey", L"SuspendRekey",
                            &ISCryptoGraphicKeyBase::SuspendRekey,
                            L"only a re-key in progress (REKEY_IN_PROGRESS) can be suspended");
}

int RunResumeRekey(Context& context) {
    return RunPluginCommand(context, L"resume-rekey", L"ResumeRekey",
                            &ISCryptoGraphicKeyBase::ResumeRekey,
                            L"only a suspended re-key (REKEY_SUSPENDED) can be resumed");
}

int RunCompromise(Context& context) {
    return RunPluginCommand(context, L"compromise", L"SetCompromised",
                            &ISCryptoGraphicKeyBase::SetCompromised,
                            L"an ACTIVE key cannot be marked compromised: deactivate it first");
}

int RunCategory(Context& context, bool add) {
    const wchar_t* command = add ? L"add-category" : L"remove-category";
    const long id = ParseId(context.arguments.positional[0], L"the key ID", command);
    const long category = ParseId(context.arguments.positional[1], L"the category ID", command);
    const bool personal = context.arguments.options.count(L"--personal") != 0;
    const wchar_t* list = personal ? L"personal" : L"corporate";
    Session& session = OpenSession(context);
    const KeyObject key = session.OpenKey(id, command);
    const ComPtr<ISObjectRelativeIDs> ids = Categories(key, personal, command);
    CallStatus status;
    if (add) {
        status = CallObject(ids.Get(), IID_ISObjectRelativeIDs, [&] { return ids->Add(category); });
    } else {
        const std::wstring index = L"#" + std::to_wstring(category);
        VARIANT value;
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = SysAllocString(index.c_str());
        if (V_BSTR(&value) == nullptr) throw std::bad_alloc();
        status = CallObject(ids.Get(), IID_ISObjectRelativeIDs, [&] { return ids->Delete(value); });
        VariantClear(&value);
    }
    if (status.Failed())
        Fail(kExitRefused, std::wstring(command) + L" refused for key " + std::to_wstring(id) +
                               L": the " + list + L" categories answered " +
                               (add ? L"Add(" : L"Delete(\"#") + std::to_wstring(category) +
                               (add ? L")" : L"\")") + L" with " + Described(status));
    session.Commit(key, command);
    Out(L"Key " + std::to_wstring(id) + (add ? L" is now in " : L" is no longer in ") + list +
        L" category " + std::to_wstring(category) + L"; " + list + L" categories: " +
        IdList(CategoryIds(key, personal, command)) + L".\n");
    return kExitOk;
}

int RunAddCategory(Context& context) {
    return RunCategory(context, true);
}

int RunRemoveCategory(Context& context) {
    return RunCategory(context, false);
}

}  // namespace KeyTool
