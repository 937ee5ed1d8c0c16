// The commands of keytool, its command line and its help.
#include "commands.h"

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cwchar>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <memory>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "failure.h"
#include "jsonfile.h"
#include "keycrypto.h"
#include "storage.h"
#include "keymodule.h"
#include "session.h"
#include "text.h"

#define KEYTOOL_WIDEN2(text) L##text
#define KEYTOOL_WIDEN(text) KEYTOOL_WIDEN2(text)
#define KEYTOOL_VERSION_TEXT KEYTOOL_WIDEN(KEYTOOL_VERSION)

namespace KeyTool {

namespace {

// ---------------------------------------------------------------------------------------------
// Command line

constexpr wchar_t kDefaultRepository[] = L"keys.db";
constexpr wchar_t kRepositoryVariable[] = L"KEYTOOL_REPO";
constexpr unsigned kDefaultLockTimeoutMs = 10000;

struct Arguments {
    std::wstring repository;
    unsigned lockTimeoutMs = kDefaultLockTimeoutMs;
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

[[noreturn]] void UsageError(const std::wstring& message, const wchar_t* command = nullptr) {
    Fail(kExitUsage, message + L"\nSee 'keytool " + (command ? std::wstring(command) + L" " : L"") +
                         L"--help'.");
}

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
                   SafeText(text) + L"'");
    return static_cast<unsigned>(seconds * 1000 + 0.5);
}

Arguments Parse(const std::vector<std::wstring>& words) {
    Arguments arguments;
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
        UsageError(
            std::wstring(what) + L" must be a positive whole number, not '" + SafeText(text) + L"'",
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
Session& OpenSession(Context& context, Database::Access access = Database::Access::Write) {
    if (!context.session)
        context.session = std::make_unique<Session>(
            RepositoryOptions{context.arguments.repository, context.arguments.lockTimeoutMs},
            access);
    return *context.session;
}

constexpr Database::Access kRead = Database::Access::Read;

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

namespace {

int RunCreate(Context& context) {
    const std::wstring& title = context.arguments.positional[0];
    if (title.empty()) UsageError(L"the title must not be empty", L"create");
    if (HasControlCharacters(title))
        UsageError(L"the title must not hold control characters or line breaks (it reads '" +
                       SafeText(title) + L"')",
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

// ---------------------------------------------------------------------------------------------
// What list, show and verify report of a key

using Json = nlohmann::ordered_json;

// A member of the key that could not be read, and why.
struct Problem {
    std::wstring member;  // e.g. L"KeyState"
    HRESULT hr = S_OK;
    std::wstring text;  // a description when there is no status (the key could not be opened)
};

struct KeyReport {
    long id = 0;
    std::optional<std::wstring> title;
    std::optional<long> state;
    std::optional<bool> compromised;
    std::optional<DATE> created;
    std::optional<long> period;
    std::optional<std::wstring> mimeType;
    std::optional<std::vector<long>> corporate, personal;
    std::wstring algorithm, iterations, encoding, salt;  // the derivation record, or empty
    std::optional<std::wstring> value, derived;          // only when revealed
    std::vector<Problem> problems;
};

// Reads one member; a failure is recorded in the report instead of ending the command.
template <typename Read>
void Try(KeyReport& report, const wchar_t* member, Read&& read) {
    try {
        const HRESULT hr = read();
        if (FAILED(hr)) report.problems.push_back(Problem{member, hr, {}});
    } catch (const Failure& failure) {
        report.problems.push_back(Problem{member, S_OK, failure.message});
    }
}

std::wstring TextOf(BSTR text) {
    return std::wstring(text ? text : L"", SysStringLen(text));
}

// The value of a property of the key read through the plug-in's generic face, converted.
HRESULT PropertyAs(const KeyObject& key, const wchar_t* name, VARTYPE type,
                   ComLib::ScopedVariant& value) {
    ComLib::ScopedBstr nameText(name);
    if (nameText.Get() == nullptr) return E_OUTOFMEMORY;
    const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject, [&] {
        return key.Generic()->get_Property(nameText.Get(), value.Receive());
    });
    return status.Failed() ? status.hr : value.ChangeType(type);
}

// The derivation record: the bag nested in SI_KEY_DERIVATION.
void ReadDerivation(const KeyObject& key, KeyReport& report) {
    ComPtr<ISProperties> bag;
    ComLib::ScopedVariant name;
    ComPtr<ISProperty> property;
    ComPtr<ISProperties> nested;
    if (FAILED(key.Generic()->get_Properties(&bag)) || !bag ||
        FAILED(name.SetBstr(Prop::kDerivation)) || FAILED(bag->get_Item(name.Get(), &property)) ||
        FAILED(property->get_Properties(&nested)) || !nested)
        return;
    std::wstring* parts[4] = {&report.algorithm, &report.iterations, &report.encoding,
                              &report.salt};
    const wchar_t* names[4] = {Prop::kAlgorithm, Prop::kIterations, Prop::kEncoding, Prop::kSalt};
    for (int i = 0; i < 4; ++i) {
        ComLib::ScopedVariant item, value;
        ComPtr<ISProperty> part;
        if (SUCCEEDED(item.SetBstr(names[i])) && SUCCEEDED(nested->get_Item(item.Get(), &part)) &&
            SUCCEEDED(part->get_Value(value.Receive())) && SUCCEEDED(value.ChangeType(VT_BSTR)))
            *parts[i] = TextOf(V_BSTR(&value.Get()));
    }
}

// Everything list (details false) or show (details true) reports of a key, each member read
// through the key module; a member that fails is a problem of the report.
KeyReport Inspect(const KeyObject& key, bool details, bool reveal, const std::wstring& command) {
    KeyReport report;
    report.id = key.Id();
    Try(report, L"Title", [&] {
        ComLib::ScopedBstr title;
        const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject, [&] {
            return key.Generic()->get_Title(title.Receive());
        });
        if (!status.Failed()) report.title = TextOf(title.Get());
        return status.hr;
    });
    Try(report, L"KeyState", [&] {
        KvKeyState state{};
        const CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase,
                                             [&] { return key.Key()->get_KeyState(&state); });
        if (!status.Failed()) report.state = static_cast<long>(state);
        return status.hr;
    });
    Try(report, L"isCompromised", [&] {
        VARIANT_BOOL compromised = VARIANT_FALSE;
        const CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase, [&] {
            return key.Key()->get_isCompromised(&compromised);
        });
        if (!status.Failed()) report.compromised = compromised != VARIANT_FALSE;
        return status.hr;
    });
    Try(report, L"ActivePeriodInMilliseconds", [&] {
        LONG period = 0;
        const CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase, [&] {
            return key.Key()->get_ActivePeriodInMilliseconds(&period);
        });
        if (!status.Failed()) report.period = period;
        return status.hr;
    });
    Try(report, L"Property SI_CREATION_TIME", [&] {
        ComLib::ScopedVariant value;
        const HRESULT hr = PropertyAs(key, Prop::kCreationTime, VT_DATE, value);
        if (hr == KV_E_PROPERTYNOTFOUND) return S_OK;
        if (SUCCEEDED(hr)) {
            SYSTEMTIME check{};
            if (!VariantTimeToSystemTime(V_DATE(&value.Get()), &check)) return DISP_E_OVERFLOW;
            report.created = V_DATE(&value.Get());
        }
        return hr;
    });
    if (!details && !reveal) return report;
    Try(report, L"Property SI_MIMETYPE", [&] {
        ComLib::ScopedVariant value;
        const HRESULT hr = PropertyAs(key, Prop::kMimeType, VT_BSTR, value);
        if (SUCCEEDED(hr)) report.mimeType = TextOf(V_BSTR(&value.Get()));
        return hr == KV_E_PROPERTYNOTFOUND ? S_OK : hr;
    });
    ReadDerivation(key, report);
    Try(report, L"CorporateCategories", [&] {
        report.corporate = CategoryIds(key, false, command);
        return S_OK;
    });
    Try(report, L"PersonalCategories", [&] {
        report.personal = CategoryIds(key, true, command);
        return S_OK;
    });
    if (!reveal) return report;
    const auto secret = [&](const wchar_t* member, auto getter, std::optional<std::wstring>& out) {
        Try(report, member, [&] {
            ComLib::ScopedBstr text;
            const CallStatus status = CallObject(key.Key(), IID_ISCryptoGraphicKeyBase, [&] {
                return (key.Key()->*getter)(text.Receive());
            });
            if (!status.Failed()) out = TextOf(text.Get());
            return status.hr;
        });
    };
    secret(L"KeyValue", &ISCryptoGraphicKeyBase::get_KeyValue, report.value);
    secret(L"DerivedKey", &ISCryptoGraphicKeyBase::get_DerivedKey, report.derived);
    return report;
}

// A report for a key that could not even be opened: its stored title, and the reason.
KeyReport Unopened(Session& session, long id, const Failure& failure) {
    KeyReport report;
    report.id = id;
    try {
        if (std::optional<StoredObject> stored = session.Db().Read(id))
            report.title = stored->title;
    } catch (const Failure&) {
    }
    report.problems.push_back(Problem{L"load", S_OK, failure.message});
    return report;
}

// The report of key `id` for a command that goes through many keys: a key that cannot even be
// opened gets a report that says why; the in-memory copy of the key is dropped afterwards.
KeyReport ReportOf(Session& session, long id, bool details, bool reveal, const wchar_t* command) {
    KeyReport report;
    try {
        const KeyObject key = session.OpenKey(id, command);
        report = Inspect(key, details, reveal, command);
    } catch (const Failure& failure) {
        report = Unopened(session, id, failure);
    }
    session.Forget(id);
    return report;
}

// The reports of many keys, in the order of ids. The keys are read on two threads: most of the
// time goes into making each key object and its host object, which the module and the host do
// on any thread.
template <typename Report>
std::vector<KeyReport> ReportsOf(const std::vector<long>& ids, Report&& report) {
    std::vector<KeyReport> reports(ids.size());
    std::atomic<size_t> next{0};
    std::exception_ptr failed;
    std::mutex failure;
    const auto work = [&] {
        try {
            for (size_t i = next++; i < ids.size(); i = next++) reports[i] = report(ids[i]);
        } catch (...) {
            std::lock_guard<std::mutex> guard(failure);
            failed = std::current_exception();
            next = ids.size();
        }
    };
    std::thread helper;
    if (ids.size() > 1)
        helper = std::thread([&] {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            work();
            if (SUCCEEDED(com)) CoUninitialize();
        });
    work();
    if (helper.joinable()) helper.join();
    if (failed) std::rethrow_exception(failed);
    return reports;
}

std::wstring ProblemText(const Problem& problem) {
    if (problem.hr != S_OK)
        return problem.member + L": " + HexStatus(problem.hr) + L" " + StatusName(problem.hr) +
               L" (" + StatusMeaning(problem.hr) + L")";
    return problem.member + L": " + SafeText(problem.text);
}

std::string Utf8(const std::wstring& text) {
    try {
        return ToUtf8(text);
    } catch (const std::runtime_error&) {
        return ToUtf8(SafeText(text));  // unpaired surrogates, escaped
    }
}

template <typename T, typename Convert>
Json Optional(const std::optional<T>& value, Convert&& convert) {
    return value ? Json(convert(*value)) : Json(nullptr);
}

Json ReportJson(const KeyReport& report, bool details) {
    Json key;
    key["id"] = report.id;
    key["title"] = Optional(report.title, Utf8);
    const wchar_t* name = report.state ? StateName(*report.state) : nullptr;
    key["state"] = name ? Json(Utf8(name)) : Json(nullptr);
    key["stateNumber"] = Optional(report.state, [](long v) { return v; });
    key["compromised"] = Optional(report.compromised, [](bool v) { return v; });
    key["created"] = Optional(report.created, [](DATE v) { return IsoUtcText(v); });
    key["activePeriodMs"] = Optional(report.period, [](long v) { return v; });
    Json categories;
    categories["corporate"] =
        Optional(report.corporate, [](const std::vector<long>& v) { return v; });
    categories["personal"] =
        Optional(report.personal, [](const std::vector<long>& v) { return v; });
    if (details) {
        key["categories"] = std::move(categories);
        key["mimeType"] = Optional(report.mimeType, Utf8);
        Json derivation;
        derivation["algorithm"] = Utf8(report.algorithm);
        derivation["iterations"] = Utf8(report.iterations);
        derivation["encoding"] = Utf8(report.encoding);
        key["derivation"] = report.algorithm.empty() ? Json(nullptr) : derivation;
    }
    if (report.value) key["value"] = Utf8(*report.value);
    if (report.derived) key["derivedKey"] = Utf8(*report.derived);
    Json problems = Json::array();
    for (const Problem& problem : report.problems) {
        Json entry;
        entry["member"] = Utf8(problem.member);
        if (problem.hr != S_OK) {
            entry["status"] = Utf8(HexStatus(problem.hr));
            entry["name"] = Utf8(StatusName(problem.hr));
            entry["meaning"] = Utf8(StatusMeaning(problem.hr));
        } else {
            entry["message"] = Utf8(problem.text);
        }
        problems.push_back(std::move(entry));
    }
    key["problems"] = std::move(problems);
    return key;
}

// JSON output: only ASCII, so that no text of the repository reaches a terminal unescaped.
void OutJson(const Json& document) {
    Out(FromUtf8(document.dump(2, ' ', true) + "\n"));
}

Json Document(const char* format, Session& session) {
    Json document;
    document["format"] = format;
    document["version"] = 1;
    document["repository"] = Utf8(session.Path());
    return document;
}

int RunList(Context& context) {
    IdFilter filter;
    if (context.Has(L"--state")) {
        filter.state = StateFromName(context.arguments.values.at(L"--state"));
        if (!filter.state)
            UsageError(
                L"--state takes ACTIVE, DEACTIVATED, REKEY_SUSPENDED, REKEY_IN_PROGRESS or "
                L"REVOKED, not '" +
                    SafeText(context.arguments.values.at(L"--state")) + L"'",
                L"list");
    }
    filter.compromisedOnly = context.Has(L"--compromised");
    const bool json = context.Has(L"--json");
    Session& session = OpenSession(context, kRead);
    const std::vector<long> ids = session.Db().Ids(kKeyKind, filter);

    Json keys = Json::array();
    std::wstring text;
    size_t shown = 0, unreadable = 0;
    wchar_t line[256];
    const std::vector<KeyReport> reports =
        ReportsOf(ids, [&](long id) { return ReportOf(session, id, json, false, L"list"); });
    for (const KeyReport& report : reports) {
        const long id = report.id;
        // The filters hold for what the key module reports; a key whose state or flag cannot
        // be read is shown, with its problem.
        if (filter.state && report.state && *report.state != *filter.state) continue;
        if (filter.compromisedOnly && report.compromised && !*report.compromised) continue;
        ++shown;
        if (!report.problems.empty()) ++unreadable;
        if (json) {
            keys.push_back(ReportJson(report, true));
            continue;
        }
        swprintf(line, 256, L"%-6ld  %-17ls  %-11ls  %-15ls  ", id,
                 report.state ? StateText(*report.state).c_str() : L"?",
                 report.compromised ? (*report.compromised ? L"yes" : L"no") : L"?",
                 report.period ? DurationText(*report.period).c_str() : L"?");
        text += line + (report.title ? SafeText(*report.title) : std::wstring(L"?"));
        for (const Problem& problem : report.problems)
            text += L"  [cannot read " + ProblemText(problem) + L"]";
        text += L"\n";
    }
    session.Db().Commit();
    if (json) {
        Json document = Document("keytool list", session);
        document["keys"] = std::move(keys);
        OutJson(document);
    } else if (shown == 0) {
        Out(std::wstring(ids.empty() && !filter.state && !filter.compromisedOnly
                             ? L"No keys in "
                             : L"No matching keys in ") +
            session.Path() + L".\n");
    } else {
        swprintf(line, 256, L"%-6ls  %-17ls  %-11ls  %-15ls  %ls\n", L"ID", L"STATE",
                 L"COMPROMISED", L"ACTIVE PERIOD", L"TITLE");
        Out(line + text);
    }
    if (unreadable > 0) {
        Err(L"keytool: " + std::to_wstring(unreadable) + L" of " + std::to_wstring(shown) +
            L" key(s) could not be read in full; their rows say what is wrong.\n");
        return kExitRefused;
    }
    return kExitOk;
}

int RunShow(Context& context) {
    const long id = ParseId(context.arguments.positional[0], L"the key ID", L"show");
    const bool reveal = context.Has(L"--reveal");
    Session& session = OpenSession(context, kRead);
    const KeyObject key = session.OpenKey(id, L"show");
    const KeyReport report = Inspect(key, true, reveal, L"show");
    session.Db().Commit();
    if (context.Has(L"--json")) {
        Json document = Document("keytool show", session);
        document["key"] = ReportJson(report, true);
        OutJson(document);
        return report.problems.empty() ? kExitOk : kExitRefused;
    }
    const auto field = [](const wchar_t* label, const std::wstring& value) {
        wchar_t head[32];
        swprintf(head, 32, L"  %-22ls", (std::wstring(label) + L":").c_str());
        return head + value + L"\n";
    };
    const auto or_unreadable = [](const std::optional<std::wstring>& value) {
        return value ? *value : std::wstring(L"(cannot be read)");
    };
    std::wstring text =
        L"Key " + std::to_wstring(id) + L" \"" +
        or_unreadable(report.title ? std::optional(SafeText(*report.title)) : std::nullopt) +
        L"\"\n";
    text += field(L"state", report.state ? StateText(*report.state) + L" (" +
                                               std::to_wstring(*report.state) + L")"
                                         : L"(cannot be read)");
    text += field(L"compromised", report.compromised ? (*report.compromised ? L"yes" : L"no")
                                                     : L"(cannot be read)");
    if (report.created) text += field(L"created", DateText(*report.created));
    text +=
        field(L"active period", report.period ? DurationText(*report.period) : L"(cannot be read)");
    if (report.mimeType) text += field(L"MIME type", SafeText(*report.mimeType));
    if (reveal) {
        text += field(L"key value", or_unreadable(report.value));
        text += field(L"derived key", or_unreadable(report.derived));
    } else {
        text += field(L"key value", L"(hidden; add --reveal to print it)");
        text += field(L"derived key", L"(hidden; add --reveal to print it)");
    }
    text += field(L"derivation",
                  report.algorithm.empty()
                      ? L"(not recorded)"
                      : SafeText(report.algorithm) + L", " + SafeText(report.iterations) +
                            L" iterations, salt and keys in " + SafeText(report.encoding));
    text += field(L"corporate categories",
                  report.corporate ? IdList(*report.corporate) : L"(cannot be read)");
    text += field(L"personal categories",
                  report.personal ? IdList(*report.personal) : L"(cannot be read)");
    for (const Problem& problem : report.problems)
        text += field(L"cannot read", ProblemText(problem));
    Out(text);
    return report.problems.empty() ? kExitOk : kExitRefused;
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

int RunExport(Context& context) {
    const bool reveal = context.Has(L"--reveal");
    Session& session = OpenSession(context, kRead);
    std::vector<StoredObject> objects;
    for (const long id : session.Db().AllIds()) objects.push_back(*session.Db().Read(id));
    session.Db().Commit();
    std::string json = RepositoryJson(objects, reveal);
    if (context.arguments.positional.empty()) {
        Out(FromUtf8(json));
    } else {
        const std::wstring path = FullPath(context.arguments.positional[0]);
        WriteFileAtomically(path, json);
        Err(L"keytool: exported " + std::to_wstring(objects.size()) + L" object(s) to " + path +
            L"\n");
    }
    SecureZeroMemory(json.data(), json.size());
    if (!reveal)
        Err(L"keytool: the key values and derived keys were left out of the export (the export "
            L"says so); add --reveal to include them.\n");
    return kExitOk;
}

int RunImport(Context& context) {
    const std::wstring path = FullPath(context.arguments.positional[0]);
    std::string bytes = ReadWholeFile(path, size_t{1} << 30);
    std::vector<StoredObject> objects;
    try {
        objects = ParseRepositoryJson(bytes);
    } catch (const InvalidRepositoryJson& invalid) {
        SecureZeroMemory(bytes.data(), bytes.size());
        Fail(kExitRepository,
             L"cannot import " + path + L": " +
                 (invalid.keyMaterialLeftOut ? invalid.reason
                                             : L"it is not a valid repository: " + invalid.reason) +
                 L".\nNothing was imported; the file was left untouched.");
    }
    SecureZeroMemory(bytes.data(), bytes.size());
    Session& session = OpenSession(context);
    std::sort(objects.begin(), objects.end(),
              [](const StoredObject& a, const StoredObject& b) { return a.id < b.id; });
    std::wstring taken;
    for (const StoredObject& object : objects)
        if (session.Db().KindOf(object.id))
            taken += (taken.empty() ? L"" : L", ") + std::to_wstring(object.id);
    if (!taken.empty())
        Fail(kExitRefused, L"cannot import " + path + L": the repository " + session.Path() +
                               L" holds objects with the IDs " + taken +
                               L" already.\nNothing was imported.");
    // All objects or none: the repository must take each one as it is before any is written.
    try {
        for (const StoredObject& object : objects) session.CheckLoadable(object, path);
    } catch (const Failure& failure) {
        Fail(failure.exitCode, L"cannot import " + path + L": " + failure.message +
                                   L".\nNothing was imported; the file was left untouched.");
    }
    for (const StoredObject& object : objects) session.Db().Write(object);
    session.Db().Commit();
    size_t keys = 0;
    for (const StoredObject& object : objects) keys += object.kind == kKeyKind ? 1 : 0;
    Out(L"Imported " + std::to_wstring(objects.size()) + L" object(s) (" + std::to_wstring(keys) +
        L" key(s)) from " + path + L" into " + session.Path() + L".\n");
    return kExitOk;
}

// What is wrong with a key's material: its derived key made again from its value, salt and
// iteration count (PBKDF2-HMAC-SHA-256), and the encodings. Empty when all is well.
std::vector<std::wstring> CheckMaterial(const KeyReport& report) {
    std::vector<std::wstring> problems;
    for (const Problem& problem : report.problems)
        problems.push_back(L"cannot read " + ProblemText(problem));
    if (!problems.empty()) return problems;
    if (report.algorithm.empty()) {
        problems.push_back(L"derivation parameters: the key has no derivation record (" +
                           std::wstring(Prop::kDerivation) + L")");
        return problems;
    }
    if (report.algorithm != L"PBKDF2-HMAC-SHA256")
        problems.push_back(L"derivation parameters: unknown algorithm '" +
                           SafeText(report.algorithm) + L"'");
    KeyEncoding encoding = KeyEncoding::Hex;
    if (report.encoding == L"base64")
        encoding = KeyEncoding::Base64;
    else if (report.encoding != L"hex")
        problems.push_back(L"value encoding: unknown encoding '" + SafeText(report.encoding) +
                           L"'");
    wchar_t* end = nullptr;
    const unsigned long long iterations = std::wcstoull(report.iterations.c_str(), &end, 10);
    const bool iterationsValid =
        !report.iterations.empty() && *end == L'\0' && iterations >= 1 && iterations <= 100000000;
    if (!iterationsValid)
        problems.push_back(L"derivation parameters: the iteration count '" +
                           SafeText(report.iterations) +
                           L"' is not a whole number from 1 to "
                           L"100000000");
    if (!problems.empty()) return problems;

    std::vector<BYTE> value, derived, salt;
    const std::wstring name = encoding == KeyEncoding::Hex ? L"hex" : L"Base64";
    if (!DecodeBytes(*report.value, encoding, value) || value.empty())
        problems.push_back(L"value encoding: the key value is not valid " + name);
    if (!DecodeBytes(*report.derived, encoding, derived) || derived.empty())
        problems.push_back(L"value encoding: the derived key is not valid " + name);
    if (!DecodeBytes(report.salt, encoding, salt) || salt.empty())
        problems.push_back(L"derivation parameters: the salt is missing or not valid " + name);
    if (problems.empty() && DeriveKey(value, salt, static_cast<ULONG>(iterations)) != derived)
        problems.push_back(L"derived key: it does not match the key value (PBKDF2-HMAC-SHA256, " +
                           report.iterations + L" iterations)");
    SecureZeroMemory(value.data(), value.size());
    SecureZeroMemory(derived.data(), derived.size());
    return problems;
}

int RunVerify(Context& context) {
    std::vector<long> ids;
    for (const std::wstring& word : context.arguments.positional)
        ids.push_back(ParseId(word, L"the key ID", L"verify"));
    const bool json = context.Has(L"--json");
    Session& session = OpenSession(context, kRead);
    if (ids.empty()) ids = session.Db().Ids(kKeyKind);
    Json keys = Json::array();
    std::wstring text;
    size_t failed = 0;
    for (const long id : ids) {
        KeyReport report = ReportOf(session, id, true, true, L"verify");
        const std::vector<std::wstring> problems = CheckMaterial(report);
        if (report.value) SecureZeroMemory(report.value->data(), report.value->size() * 2);
        if (report.derived) SecureZeroMemory(report.derived->data(), report.derived->size() * 2);
        if (!problems.empty()) ++failed;
        const std::wstring title = report.title ? SafeText(*report.title) : L"?";
        if (json) {
            Json entry;
            entry["id"] = id;
            entry["title"] = Optional(report.title, Utf8);
            entry["ok"] = problems.empty();
            Json list = Json::array();
            for (const std::wstring& problem : problems) list.push_back(Utf8(problem));
            entry["problems"] = std::move(list);
            keys.push_back(std::move(entry));
            continue;
        }
        wchar_t head[64];
        swprintf(head, 64, L"%-6ld  %-8ls  ", id, problems.empty() ? L"ok" : L"MISMATCH");
        text += head + title + L"\n";
        for (const std::wstring& problem : problems) text += L"        - " + problem + L"\n";
    }
    session.Db().Commit();
    if (json) {
        Json document = Document("keytool verify", session);
        document["keys"] = std::move(keys);
        document["checked"] = ids.size();
        document["failed"] = failed;
        OutJson(document);
    } else {
        Out(text + L"Verified " + std::to_wstring(ids.size()) + L" key(s): " +
            (failed == 0 ? std::wstring(L"all match.")
                         : std::to_wstring(failed) + L" with problems.") +
            L"\n");
    }
    return failed == 0 ? kExitOk : kExitRefused;
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

std::wstring ProgramHelp() {
    std::wstring text =
        L"keytool - keeps cryptographic keys in a repository database and manages them through "
        L"the\n"
        L"key module (CryptoGraphicKey.dll), which it drives through COM as the platform's host\n"
        L"does.\n\n"
        L"Usage: keytool [--repo <file>] [--lock-timeout <seconds>] [--trace] <command>\n"
        L"               [<arguments>]\n\nCommands:\n";
    for (const Command& command : Commands()) {
        wchar_t line[160];
        swprintf(line, 160, L"  %-50ls %ls\n", command.usage, command.summary);
        text += line;
    }
    text +=
        L"\nOptions:\n"
        L"  --repo <file>  the repository, an SQLite database (default: the environment variable\n"
        L"                 KEYTOOL_REPO, else keys.db in the current folder); it is created on\n"
        L"                 first use, readable by you only\n"
        L"  --lock-timeout <seconds>\n"
        L"                 how long to wait for another keytool working on the repository\n"
        L"                 (default 10)\n"
        L"  --trace        show the key module's trace lines and the host's commit steps on\n"
        L"                 standard error\n"
        L"  --version      the versions of keytool, of its repository schema and of SQLite\n"
        L"  --help         this text; 'keytool <command> --help' describes one command\n\n"
        L"Exit codes: 0 done; 1 refused or failed (the message names the operation and the\n"
        L"status), or a key that could not be read or verified; 2 wrong command line; 3 the\n"
        L"repository (or a file to import) cannot be read, is not valid or cannot be written;\n"
        L"4 the key module is not registered or cannot be loaded.\n";
    return text;
}

std::wstring CommandHelp(const Command& command) {
    std::wstring text = std::wstring(
                            L"Usage: keytool [--repo <file>] [--lock-timeout <seconds>] "
                            L"[--trace] ") +
                        command.usage + L"\n\n" + command.summary + L".\n";
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
