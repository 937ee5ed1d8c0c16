// The commands of keytool, its command line and its help.
#include "commands.h"

#include <windows.h>
#include <oleauto.h>

#include <cwchar>
#include <memory>
#include <set>

#include "failure.h"
#include "keycrypto.h"
#include "keymodule.h"
#include "session.h"
#include "text.h"

namespace KeyTool {

namespace {

// ---------------------------------------------------------------------------------------------
// Command line

struct Arguments {
    std::wstring repository = L"keys.json";
    bool trace = false;
    bool help = false;
    std::wstring command;
    std::vector<std::wstring> positional;
    std::set<std::wstring> options;  // command options, e.g. L"--reveal"
};

struct Context {
    const Arguments& arguments;
    std::unique_ptr<Session> session;
};

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

const std::vector<Command>& Commands();

[[noreturn]] void UsageError(const std::wstring& message, const wchar_t* command = nullptr) {
    Fail(kExitUsage, message + L"\nSee 'keytool " + (command ? std::wstring(command) + L" " : L"") +
                         L"--help'.");
}

Arguments Parse(const std::vector<std::wstring>& words) {
    Arguments arguments;
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::wstring& word = words[i];
        const bool positional = optionsEnded || word.size() < 2 || word[0] != L'-';
        if (positional) {
            if (arguments.command.empty())
                arguments.command = word;
            else
                arguments.positional.push_back(word);
        } else if (word == L"--") {
            optionsEnded = true;
        } else if (word == L"--help" || word == L"-h" || word == L"/?") {
            arguments.help = true;
        } else if (word == L"--trace") {
            arguments.trace = true;
        } else if (word == L"--repo" || word.rfind(L"--repo=", 0) == 0) {
            if (word == L"--repo") {
                if (i + 1 >= words.size()) UsageError(L"--repo needs a file name");
                arguments.repository = words[++i];
            } else {
                arguments.repository = word.substr(7);
            }
            if (arguments.repository.empty()) UsageError(L"--repo needs a file name");
        } else {
            arguments.options.insert(word);
        }
    }
    return arguments;
}

// A positive 32-bit ID.
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
        UsageError(std::wstring(what) + L" must be a positive whole number, not '" + text + L"'",
                   command);
    return static_cast<long>(value);
}

// ---------------------------------------------------------------------------------------------
// Key states

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

std::wstring StateText(long state) {
    const wchar_t* name = StateName(state);
    return name ? std::wstring(name) : L"unknown state " + std::to_wstring(state);
}

std::wstring Described(const CallStatus& status) {
    std::wstring text = StatusText(status.hr);
    if (!status.description.empty()) text += L"\n  error information: " + status.description;
    return text;
}

[[noreturn]] void Refused(const std::wstring& command, const KeyObject& key, const wchar_t* call,
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

std::wstring ReadTitle(const KeyObject& key, const std::wstring& command) {
    BSTR title = nullptr;
    const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject,
                                         [&] { return key.Generic()->get_Title(&title); });
    std::wstring text(title ? title : L"", SysStringLen(title));
    SysFreeString(title);
    if (status.Failed()) Refused(command, key, L"Title", status);
    return text;
}

// A property of the key read through the plug-in's generic face; false when it has none.
bool ReadProperty(const KeyObject& key, const wchar_t* name, VARIANT* value,
                  const std::wstring& command) {
    BSTR nameText = SysAllocString(name);
    if (nameText == nullptr) throw std::bad_alloc();
    const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject, [&] {
        return key.Generic()->get_Property(nameText, value);
    });
    SysFreeString(nameText);
    if (status.hr == KV_E_PROPERTYNOTFOUND) return false;
    if (status.Failed()) Refused(command, key, L"Property", status);
    return true;
}

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

// ---------------------------------------------------------------------------------------------
// Categories

ComPtr<ISObjectRelativeIDs> Categories(const KeyObject& key, bool personal,
                                       const std::wstring& command) {
    ComPtr<ISCategoryContent> content;
    HRESULT hr = key.Key()->QueryInterface(IID_PPV_ARGS(&content));
    if (FAILED(hr) || !content) Refused(command, key, L"ISCategoryContent", CallStatus{hr, {}});
    ComPtr<ISObjectRelativeIDs> ids;
    const CallStatus status = CallObject(content.Get(), IID_ISCategoryContent, [&] {
        return personal ? content->get_PersonalCategories(&ids)
                        : content->get_CorporateCategories(&ids);
    });
    if (status.Failed() || !ids)
        Refused(command, key, personal ? L"PersonalCategories" : L"CorporateCategories",
                status.Failed() ? status : CallStatus{E_POINTER, {}});
    return ids;
}

std::vector<long> CategoryIds(const KeyObject& key, bool personal, const std::wstring& command) {
    const ComPtr<ISObjectRelativeIDs> ids = Categories(key, personal, command);
    LONG count = 0;
    CallStatus status =
        CallObject(ids.Get(), IID_ISObjectRelativeIDs, [&] { return ids->get_Count(&count); });
    if (status.Failed()) Refused(command, key, L"ISObjectRelativeIDs::Count", status);
    std::vector<long> result;
    for (LONG position = 1; position <= count; ++position) {
        VARIANT index;
        VariantInit(&index);
        V_VT(&index) = VT_I4;
        V_I4(&index) = position;
        LONG id = 0;
        status = CallObject(ids.Get(), IID_ISObjectRelativeIDs,
                            [&] { return ids->get_Item(index, &id); });
        if (status.Failed()) Refused(command, key, L"ISObjectRelativeIDs::Item", status);
        result.push_back(id);
    }
    return result;
}

std::wstring IdList(const std::vector<long>& ids) {
    if (ids.empty()) return L"none";
    std::wstring text;
    for (long id : ids) text += (text.empty() ? L"" : L", ") + std::to_wstring(id);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Commands

// Opened on the first need, after the command's arguments were checked: a wrong command line
// touches no repository.
Session& OpenSession(Context& context) {
    if (!context.session) context.session = std::make_unique<Session>(context.arguments.repository);
    return *context.session;
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

int RunCreate(Context& context) {
    const std::wstring& title = context.arguments.positional[0];
    if (title.empty()) UsageError(L"the title must not be empty", L"create");
    const KeyEncoding encoding =
        context.arguments.options.count(L"--base64") ? KeyEncoding::Base64 : KeyEncoding::Hex;
    Session& session = OpenSession(context);
    KeyMaterial material = NewKeyMaterial(encoding);
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
    const DATE created = V_DATE(&value);
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
    Out(L"Created key " + std::to_wstring(key.Id()) + L" \"" + title + L"\": " +
        StateText(ReadState(key, L"create")) + L" since " + DateText(created) + L".\n");
    Out(L"  Its value and derived key are stored but not shown ('keytool show " +
        std::to_wstring(key.Id()) + L" --reveal' prints them).\n");
    return kExitOk;
}

int RunList(Context& context) {
    Session& session = OpenSession(context);
    std::vector<long> keys;
    for (const long id : session.Repository().Ids()) {
        ComPtr<ISProperties> bag;
        ComPtr<ISProperty> kind;
        VARIANT name, value;
        VariantInit(&name);
        VariantInit(&value);
        V_VT(&name) = VT_BSTR;
        V_BSTR(&name) = SysAllocString(Prop::kKind);
        if (V_BSTR(&name) == nullptr) throw std::bad_alloc();
        if (SUCCEEDED(session.Repository().CommittedProperties(id, &bag)) &&
            SUCCEEDED(bag->get_Item(name, &kind)) && SUCCEEDED(kind->get_Value(&value)) &&
            V_VT(&value) == VT_BSTR && V_BSTR(&value) != nullptr &&
            std::wcscmp(V_BSTR(&value), kKeyKind) == 0)
            keys.push_back(id);
        VariantClear(&name);
        VariantClear(&value);
    }
    if (keys.empty()) {
        Out(L"No keys in " + session.File().Path() + L".\n");
        return kExitOk;
    }
    wchar_t line[256];
    swprintf(line, 256, L"%-6ls  %-17ls  %-11ls  %-15ls  %ls\n", L"ID", L"STATE", L"COMPROMISED",
             L"ACTIVE PERIOD", L"TITLE");
    Out(line);
    for (const long id : keys) {
        const KeyObject key = session.OpenKey(id, L"list");
        const long state = ReadState(key, L"list");
        VARIANT_BOOL compromised = VARIANT_FALSE;
        CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                                       [&] { return key.Key()->get_isCompromised(&compromised); });
        if (status.Failed()) Refused(L"list", key, L"isCompromised", status);
        LONG period = 0;
        status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                            [&] { return key.Key()->get_ActivePeriodInMilliseconds(&period); });
        if (status.Failed()) Refused(L"list", key, L"ActivePeriodInMilliseconds", status);
        swprintf(line, 256, L"%-6ld  %-17ls  %-11ls  %-15ls  ", id, StateText(state).c_str(),
                 compromised ? L"yes" : L"no", DurationText(period).c_str());
        Out(line + ReadTitle(key, L"list") + L"\n");
    }
    return kExitOk;
}

int RunShow(Context& context) {
    const long id = ParseId(context.arguments.positional[0], L"the key ID", L"show");
    const bool reveal = context.arguments.options.count(L"--reveal") != 0;
    Session& session = OpenSession(context);
    const KeyObject key = session.OpenKey(id, L"show");
    const std::wstring command = L"show";

    const long state = ReadState(key, command);
    VARIANT_BOOL compromised = VARIANT_FALSE;
    CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                                   [&] { return key.Key()->get_isCompromised(&compromised); });
    if (status.Failed()) Refused(command, key, L"isCompromised", status);
    LONG period = 0;
    status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                        [&] { return key.Key()->get_ActivePeriodInMilliseconds(&period); });
    if (status.Failed()) Refused(command, key, L"ActivePeriodInMilliseconds", status);

    std::wstring text = L"Key " + std::to_wstring(id) + L" \"" + ReadTitle(key, command) + L"\"\n";
    text +=
        L"  state:                " + StateText(state) + L" (" + std::to_wstring(state) + L")\n";
    text += L"  compromised:          " + std::wstring(compromised ? L"yes" : L"no") + L"\n";
    VARIANT value;
    VariantInit(&value);
    if (ReadProperty(key, Prop::kCreationTime, &value, command) &&
        SUCCEEDED(VariantChangeType(&value, &value, 0, VT_DATE)))
        text += L"  created:              " + DateText(V_DATE(&value)) + L"\n";
    VariantClear(&value);
    text += L"  active period:        " + DurationText(period) + L"\n";
    if (ReadProperty(key, Prop::kMimeType, &value, command) &&
        SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR)))
        text += L"  MIME type:            " + std::wstring(V_BSTR(&value)) + L"\n";
    VariantClear(&value);

    if (reveal) {
        BSTR secret = nullptr;
        status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                            [&] { return key.Key()->get_KeyValue(&secret); });
        if (status.Failed()) Refused(command, key, L"KeyValue", status);
        text += L"  key value:            " + std::wstring(secret ? secret : L"") + L"\n";
        SysFreeString(secret);
        secret = nullptr;
        status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                            [&] { return key.Key()->get_DerivedKey(&secret); });
        if (status.Failed()) Refused(command, key, L"DerivedKey", status);
        text += L"  derived key:          " + std::wstring(secret ? secret : L"") + L"\n";
        SysFreeString(secret);
    } else {
        text += L"  key value:            (hidden; add --reveal to print it)\n";
        text += L"  derived key:          (hidden; add --reveal to print it)\n";
    }

    // The derivation record, read from the bag nested in SI_KEY_DERIVATION.
    std::wstring derivation = L"(not recorded)";
    ComPtr<ISProperties> bag;
    if (SUCCEEDED(key.Generic()->get_Properties(&bag)) && bag) {
        VARIANT name;
        V_VT(&name) = VT_BSTR;
        V_BSTR(&name) = SysAllocString(Prop::kDerivation);
        ComPtr<ISProperty> property;
        ComPtr<ISProperties> nested;
        if (V_BSTR(&name) && SUCCEEDED(bag->get_Item(name, &property)) &&
            SUCCEEDED(property->get_Properties(&nested)) && nested) {
            std::wstring parts[3];
            const wchar_t* names[3] = {Prop::kAlgorithm, Prop::kIterations, Prop::kEncoding};
            for (int i = 0; i < 3; ++i) {
                VARIANT item;
                VariantInit(&item);
                ComPtr<ISProperty> part;
                BSTR partName = SysAllocString(names[i]);
                V_VT(&item) = VT_BSTR;
                V_BSTR(&item) = partName;
                VARIANT partValue;
                VariantInit(&partValue);
                if (partName && SUCCEEDED(nested->get_Item(item, &part)) &&
                    SUCCEEDED(part->get_Value(&partValue)) &&
                    SUCCEEDED(VariantChangeType(&partValue, &partValue, 0, VT_BSTR)))
                    parts[i] = V_BSTR(&partValue);
                VariantClear(&partValue);
                VariantClear(&item);
            }
            if (!parts[0].empty())
                derivation =
                    parts[0] + L", " + parts[1] + L" iterations, salt and keys in " + parts[2];
        }
        VariantClear(&name);
    }
    text += L"  derivation:           " + derivation + L"\n";
    text += L"  corporate categories: " + IdList(CategoryIds(key, false, command)) + L"\n";
    text += L"  personal categories:  " + IdList(CategoryIds(key, true, command)) + L"\n";
    Out(text);
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
         L"list",
         L"list the keys: ID, state, compromised, active period, title",
         L"Lists every key of the repository with its state (by name), whether it is marked\n"
         L"compromised, how long it has been active (as the key module reports it) and its title.",
         {},
         0,
         0,
         RunList},
        {L"show",
         L"show <id> [--reveal]",
         L"show one key with its categories",
         L"Shows a key's title, state, compromised flag, creation time, active period, MIME type,\n"
         L"how its derived key was made, and its corporate and personal categories. The key\n"
         L"value and the derived key are printed only with --reveal.",
         {L"--reveal"},
         1,
         1,
         RunShow},
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

std::wstring ProgramHelp() {
    std::wstring text =
        L"keytool - keeps cryptographic keys in a repository file and manages them through the\n"
        L"key module (CryptoGraphicKey.dll), which it drives through COM as the platform's host\n"
        L"does.\n\n"
        L"Usage: keytool [--repo <file>] [--trace] <command> [<arguments>]\n\nCommands:\n";
    for (const Command& command : Commands()) {
        wchar_t line[160];
        swprintf(line, 160, L"  %-50ls %ls\n", command.usage, command.summary);
        text += line;
    }
    text +=
        L"\nOptions:\n"
        L"  --repo <file>  the repository file (default: keys.json in the current folder); it is\n"
        L"                 created on first use and replaced as a whole after every change\n"
        L"  --trace        show the key module's trace lines and the host's commit steps on\n"
        L"                 standard error\n"
        L"  --help         this text; 'keytool <command> --help' describes one command\n\n"
        L"Exit codes: 0 done; 1 refused or failed (the message names the operation and the\n"
        L"status); 2 wrong command line; 3 the repository file cannot be read, is not valid or\n"
        L"cannot be written; 4 the key module is not registered or cannot be loaded.\n";
    return text;
}

std::wstring CommandHelp(const Command& command) {
    std::wstring text = std::wstring(L"Usage: keytool [--repo <file>] [--trace] ") + command.usage +
                        L"\n\n" + command.summary + L".\n";
    if (command.details[0] != L'\0') text += L"\n" + std::wstring(command.details) + L"\n";
    return text;
}

int RunHelp(Context& context) {
    if (context.arguments.positional.empty()) {
        Out(ProgramHelp());
        return kExitOk;
    }
    const Command* command = FindCommand(context.arguments.positional[0]);
    if (command == nullptr)
        UsageError(L"there is no command '" + context.arguments.positional[0] + L"'");
    Out(CommandHelp(*command));
    return kExitOk;
}

}  // namespace

int RunCommandLine(const std::vector<std::wstring>& words) {
    const Arguments arguments = Parse(words);
    if (arguments.command.empty()) {
        if (arguments.help) {
            Out(ProgramHelp());
            return kExitOk;
        }
        UsageError(L"no command given");
    }
    const Command* command = FindCommand(arguments.command);
    if (command == nullptr) UsageError(L"there is no command '" + arguments.command + L"'");
    if (arguments.help) {
        Out(CommandHelp(*command));
        return kExitOk;
    }
    for (const std::wstring& option : arguments.options) {
        bool known = false;
        for (const wchar_t* allowed : command->options) known = known || option == allowed;
        if (!known)
            UsageError(L"'" + std::wstring(command->name) + L"' has no option " + option,
                       command->name);
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
