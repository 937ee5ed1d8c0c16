// What list, show and verify report of a key.
#include "keyreport.h"

#include <oleauto.h>

#include "commandsupport.h"
#include "progress.h"
#include "scoped.h"
#include "text.h"

namespace KeyTool {

namespace {

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

// The names a report looks up, made once: a name goes [in] to the calls, so one copy serves
// every key on every thread. Null for a name whose allocation failed.
struct PropertyNames {
    ComLib::ScopedBstr creationTime{Prop::kCreationTime}, mimeType{Prop::kMimeType},
        derivation{Prop::kDerivation};
    ComLib::ScopedBstr parts[4] = {
        ComLib::ScopedBstr(Prop::kAlgorithm), ComLib::ScopedBstr(Prop::kIterations),
        ComLib::ScopedBstr(Prop::kEncoding), ComLib::ScopedBstr(Prop::kSalt)};
};
const PropertyNames& Names() {
    static const PropertyNames names;
    return names;
}

// A VARIANT that lends `name` to an [in] argument (the caller keeps the string).
VARIANT Lent(BSTR name) {
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = name;
    return argument;
}

// The value of a property of the key read through the plug-in's generic face, converted.
HRESULT PropertyAs(const KeyObject& key, BSTR name, VARTYPE type, ComLib::ScopedVariant& value) {
    if (name == nullptr) return E_OUTOFMEMORY;
    const CallStatus status = CallObject(key.Generic(), IID_ISInfoObject, [&] {
        return key.Generic()->get_Property(name, value.Receive());
    });
    return status.Failed() ? status.hr : value.ChangeType(type);
}

// The derivation record: the bag nested in SI_KEY_DERIVATION.
void ReadDerivation(const KeyObject& key, KeyReport& report) {
    const PropertyNames& names = Names();
    ComPtr<ISProperties> bag;
    ComPtr<ISProperty> property;
    ComPtr<ISProperties> nested;
    if (names.derivation.Get() == nullptr || FAILED(key.Generic()->get_Properties(&bag)) || !bag ||
        FAILED(bag->get_Item(Lent(names.derivation.Get()), &property)) ||
        FAILED(property->get_Properties(&nested)) || !nested)
        return;
    std::wstring* parts[4] = {&report.algorithm, &report.iterations, &report.encoding,
                              &report.salt};
    for (int i = 0; i < 4; ++i) {
        ComLib::ScopedVariant value;
        ComPtr<ISProperty> part;
        if (names.parts[i].Get() != nullptr &&
            SUCCEEDED(nested->get_Item(Lent(names.parts[i].Get()), &part)) &&
            SUCCEEDED(part->get_Value(value.Receive())) && SUCCEEDED(value.ChangeType(VT_BSTR)))
            *parts[i] = TextOf(V_BSTR(&value.Get()));
    }
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

}  // namespace

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
        const HRESULT hr = PropertyAs(key, Names().creationTime.Get(), VT_DATE, value);
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
        const HRESULT hr = PropertyAs(key, Names().mimeType.Get(), VT_BSTR, value);
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

void ForEachReport(Session& session, const std::vector<long>& ids, bool details, bool reveal,
                   const wchar_t* command,
                   const std::function<void(size_t index, KeyReport& report)>& work) {
    // One thread: two that make key objects at once wait for each other on the heap's lock far
    // more than they gain (100,000 keys with the details on an idle two-core machine: 2.5 s on
    // one thread, over 6 s on two).
    Database::Scanner scanner(session.Db(), ids);
    Progress progress(L"keys", ids.size());
    for (size_t index = 0;; ++index) {
        long id = 0;
        std::optional<StoredObject> object;
        std::optional<Failure> damaged;
        try {
            if (!scanner.Next(id, object)) break;
        } catch (const Failure& failure) {
            damaged = failure;
        }
        progress.Update(index + 1);
        KeyReport report;
        if (damaged) {
            report.id = id;
            report.problems.push_back(Problem{L"load", S_OK, damaged->message});
        } else {
            try {
                const KeyObject key = session.ReadStoredKey(id, object, command);
                report = Inspect(key, details, reveal, command);
            } catch (const Failure& failure) {
                report = Unopened(session, id, failure);
            }
        }
        work(index, report);
    }
    progress.Clear();
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

JsonText::JsonText(size_t margin) : m_margin(margin) {
    m_text.reserve(768);
    m_text.append(margin, ' ');
}

void JsonText::Open(char bracket) {
    m_text += bracket;
    m_empty.push_back(true);
}

void JsonText::Close(char bracket) {
    if (!m_empty.back()) NewLine(m_empty.size() - 1);
    m_empty.pop_back();
    m_text += bracket;
}

void JsonText::Key(std::string_view name) {
    Element();
    m_text += '"';
    m_text += name;
    m_text += "\": ";
}

void JsonText::Element() {
    if (!m_empty.back()) m_text += ',';
    m_empty.back() = false;
    NewLine(m_empty.size());
}

void JsonText::String(std::wstring_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]))
            ++i;
        else if (IS_HIGH_SURROGATE(text[i]) || IS_LOW_SURROGATE(text[i]))
            return Escaped(SafeText(text));  // not valid UTF-16: made safe, as Utf8 does
    }
    Escaped(text);
}

void JsonText::NewLine(size_t level) {
    m_text += '\n';
    m_text.append(m_margin + 2 * level, ' ');
}

void JsonText::Escaped(std::wstring_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    m_text += '"';
    for (const wchar_t c : text) {
        switch (c) {
            case L'"':
                m_text += "\\\"";
                continue;
            case L'\\':
                m_text += "\\\\";
                continue;
            case L'\b':
                m_text += "\\b";
                continue;
            case L'\f':
                m_text += "\\f";
                continue;
            case L'\n':
                m_text += "\\n";
                continue;
            case L'\r':
                m_text += "\\r";
                continue;
            case L'\t':
                m_text += "\\t";
                continue;
            default:
                break;
        }
        if (c >= 0x20 && c < 0x7F) {
            m_text += static_cast<char>(c);
            continue;
        }
        const char unit[] = {
            '\\',        'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15],
            kHex[c & 15]};
        m_text.append(unit, sizeof unit);
    }
    m_text += '"';
}

namespace {

template <typename T, typename Write>
void OrNull(JsonText& json, const std::optional<T>& value, Write&& write) {
    value ? write(*value) : json.Null();
}

void Ids(JsonText& json, const std::optional<std::vector<long>>& ids) {
    OrNull(json, ids, [&](const std::vector<long>& list) {
        json.Open('[');
        for (const long id : list) {
            json.Element();
            json.Number(id);
        }
        json.Close(']');
    });
}

}  // namespace

std::string KeyJson(const KeyReport& report, bool details, size_t margin) {
    JsonText json(margin);
    json.Open('{');
    json.Key("id");
    json.Number(report.id);
    json.Key("title");
    OrNull(json, report.title, [&](const std::wstring& title) { json.String(title); });
    const wchar_t* name = report.state ? StateName(*report.state) : nullptr;
    json.Key("state");
    name ? json.String(name) : json.Null();
    json.Key("stateNumber");
    OrNull(json, report.state, [&](long state) { json.Number(state); });
    json.Key("compromised");
    OrNull(json, report.compromised, [&](bool compromised) { json.Bool(compromised); });
    json.Key("created");
    OrNull(json, report.created, [&](DATE created) {
        const std::string iso = IsoUtcText(created);
        json.String(std::wstring(iso.begin(), iso.end()));
    });
    json.Key("activePeriodMs");
    OrNull(json, report.period, [&](long period) { json.Number(period); });
    if (details) {
        json.Key("categories");
        json.Open('{');
        json.Key("corporate");
        Ids(json, report.corporate);
        json.Key("personal");
        Ids(json, report.personal);
        json.Close('}');
        json.Key("mimeType");
        OrNull(json, report.mimeType, [&](const std::wstring& type) { json.String(type); });
        json.Key("derivation");
        if (report.algorithm.empty()) {
            json.Null();
        } else {
            json.Open('{');
            json.Key("algorithm");
            json.String(report.algorithm);
            json.Key("iterations");
            json.String(report.iterations);
            json.Key("encoding");
            json.String(report.encoding);
            json.Close('}');
        }
    }
    if (report.value) {
        json.Key("value");
        json.String(*report.value);
    }
    if (report.derived) {
        json.Key("derivedKey");
        json.String(*report.derived);
    }
    json.Key("problems");
    json.Open('[');
    for (const Problem& problem : report.problems) {
        json.Element();
        json.Open('{');
        json.Key("member");
        json.String(problem.member);
        if (problem.hr != S_OK) {
            json.Key("status");
            json.String(HexStatus(problem.hr));
            json.Key("name");
            json.String(StatusName(problem.hr));
            json.Key("meaning");
            json.String(StatusMeaning(problem.hr));
        } else {
            json.Key("message");
            json.String(problem.text);
        }
        json.Close('}');
    }
    json.Close(']');
    json.Close('}');
    return std::move(json.Text());
}

void OutJson(const Json& document) {
    OutUtf8(document.dump(2, ' ', true) + "\n");
}

void OutJsonWithItems(const Json& head, const char* name, const std::string& items,
                      const Json& tail) {
    // Written in three pieces, so that the elements are not copied once more.
    std::string text = head.dump(2, ' ', true);
    text.resize(text.size() - 2);  // "\n}"
    text += ",\n  " + Json(name).dump() + (items.empty() ? ": []" : ": [\n");
    OutUtf8(text);
    text = items.empty() ? "" : "\n  ]";
    if (tail.empty())
        text += "\n}";
    else
        text += ",\n" + tail.dump(2, ' ', true).substr(2);  // without "{\n"
    text += "\n";
    OutUtf8(items);
    OutUtf8(text);
}

Json Document(const char* format, Session& session) {
    Json document;
    document["format"] = format;
    document["version"] = 1;
    document["repository"] = Utf8(session.Path());
    return document;
}

}  // namespace KeyTool
