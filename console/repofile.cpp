// The repository file.
#include "repofile.h"

#include <oleauto.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "failure.h"
#include "import.h"
#include "keymodule.h"
#include "text.h"

namespace KeyTool {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kFormat[] = "keytool repository";
constexpr int kVersion = 1;
constexpr size_t kMaxFileBytes = 64u << 20;
constexpr int kMaxDepth = 32;
constexpr DWORD kLockTimeoutMs = 10000;

struct TypeName {
    VARTYPE type;
    const char* name;
};

constexpr TypeName kTypes[] = {
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I1, "VT_I1"},     {VT_I2, "VT_I2"},
    {VT_I4, "VT_I4"},       {VT_I8, "VT_I8"},     {VT_INT, "VT_INT"},   {VT_UI1, "VT_UI1"},
    {VT_UI2, "VT_UI2"},     {VT_UI4, "VT_UI4"},   {VT_UI8, "VT_UI8"},   {VT_UINT, "VT_UINT"},
    {VT_R4, "VT_R4"},       {VT_R8, "VT_R8"},     {VT_DATE, "VT_DATE"}, {VT_BOOL, "VT_BOOL"},
    {VT_BSTR, "VT_BSTR"},
};

const char* TypeNameOf(VARTYPE type) {
    for (const TypeName& known : kTypes)
        if (known.type == type) return known.name;
    return nullptr;
}

bool TypeFromName(const std::string& name, VARTYPE& type) {
    for (const TypeName& known : kTypes)
        if (name == known.name) {
            type = known.type;
            return true;
        }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Reading

// A failed check of the file's contents: where (a JSON path such as objects[1].properties[4])
// and what is wrong.
struct Malformed {
    std::string where;
    std::string what;
};

[[noreturn]] void Refuse(std::string where, std::string what) {
    throw Malformed{std::move(where), std::move(what)};
}

// The integer value of `value` if it is one within [low, high].
bool IntegerIn(const Json& value, std::int64_t low, std::int64_t high, std::int64_t& out) {
    if (value.is_number_unsigned()) {
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return false;
        out = static_cast<std::int64_t>(number);
    } else if (value.is_number_integer()) {
        out = value.get<std::int64_t>();
    } else {
        return false;
    }
    return out >= low && out <= high;
}

// `value` (a property's "value") as a VARIANT of `type`; *variant must be VT_EMPTY.
void ValueFromJson(const Json* value, VARTYPE type, VARIANT* variant, const std::string& where) {
    const auto integer = [&](std::int64_t low, std::int64_t high) {
        std::int64_t number = 0;
        if (value == nullptr || !IntegerIn(*value, low, high, number))
            Refuse(where, std::string("\"value\" must be an integer from ") + std::to_string(low) +
                              " to " + std::to_string(high) + " for " + TypeNameOf(type));
        return number;
    };
    const auto real = [&]() {
        if (value == nullptr || !value->is_number() || !std::isfinite(value->get<double>()))
            Refuse(where, std::string("\"value\" must be a number for ") + TypeNameOf(type));
        return value->get<double>();
    };
    if (type != VT_EMPTY && type != VT_NULL && value == nullptr)
        Refuse(where, std::string("a ") + TypeNameOf(type) + " property needs a \"value\"");
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            if (value != nullptr && !value->is_null())
                Refuse(where, std::string("a ") + TypeNameOf(type) + " property has no value");
            break;
        case VT_I1:
            V_I1(variant) = static_cast<CHAR>(integer(-128, 127));
            break;
        case VT_I2:
            V_I2(variant) = static_cast<SHORT>(integer(-32768, 32767));
            break;
        case VT_I4:
            V_I4(variant) = static_cast<LONG>(integer(INT32_MIN, INT32_MAX));
            break;
        case VT_INT:
            V_INT(variant) = static_cast<INT>(integer(INT32_MIN, INT32_MAX));
            break;
        case VT_I8:
            V_I8(variant) = integer(INT64_MIN, INT64_MAX);
            break;
        case VT_UI1:
            V_UI1(variant) = static_cast<BYTE>(integer(0, 255));
            break;
        case VT_UI2:
            V_UI2(variant) = static_cast<USHORT>(integer(0, 65535));
            break;
        case VT_UI4:
            V_UI4(variant) = static_cast<ULONG>(integer(0, UINT32_MAX));
            break;
        case VT_UINT:
            V_UINT(variant) = static_cast<UINT>(integer(0, UINT32_MAX));
            break;
        case VT_UI8:
            if (!value->is_number_unsigned() &&
                !(value->is_number_integer() && value->get<std::int64_t>() >= 0))
                Refuse(where, "\"value\" must be a non-negative integer for VT_UI8");
            V_UI8(variant) = value->get<std::uint64_t>();
            break;
        case VT_R4: {
            const double number = real();
            if (std::fabs(number) > std::numeric_limits<float>::max())
                Refuse(where, "\"value\" is out of range for VT_R4");
            V_R4(variant) = static_cast<float>(number);
            break;
        }
        case VT_R8:
            V_R8(variant) = real();
            break;
        case VT_DATE:
            V_DATE(variant) = real();
            break;
        case VT_BOOL:
            if (value->is_boolean())
                V_BOOL(variant) = value->get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
            else
                V_BOOL(variant) = static_cast<VARIANT_BOOL>(integer(-32768, 32767));
            break;
        case VT_BSTR: {
            if (!value->is_string()) Refuse(where, "\"value\" must be a text for VT_BSTR");
            std::wstring text;
            try {
                text = FromUtf8(value->get_ref<const std::string&>());
            } catch (const std::runtime_error&) {
                Refuse(where, "\"value\" is not valid UTF-8");
            }
            V_BSTR(variant) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            if (V_BSTR(variant) == nullptr) throw std::bad_alloc();
            break;
        }
        default:
            Refuse(where, "unsupported type");
    }
    V_VT(variant) = type;
}

// The name of a property entry, checked.
std::wstring PropertyName(const Json& entry, const std::string& where) {
    const auto name = entry.find("name");
    if (name == entry.end() || !name->is_string() || name->get_ref<const std::string&>().empty())
        Refuse(where, "\"name\" must be a non-empty text");
    try {
        return FromUtf8(name->get_ref<const std::string&>());
    } catch (const std::runtime_error&) {
        Refuse(where, "\"name\" is not valid UTF-8");
    }
}

std::wstring Folded(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Checks a bag's entries (a JSON array of properties) and, when bag is not null, adds them to
// it in order.
void ReadBag(const Json& entries, ISProperties* bag, const std::string& where, int depth) {
    if (!entries.is_array()) Refuse(where, "\"properties\" must be an array");
    if (depth > kMaxDepth) Refuse(where, "property bags are nested too deeply");
    std::set<std::wstring> names;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Json& entry = entries[i];
        const std::string at = where + ".properties[" + std::to_string(i) + "]";
        if (!entry.is_object()) Refuse(at, "a property must be an object");
        for (const auto& member : entry.items())
            if (member.key() != "name" && member.key() != "type" && member.key() != "value" &&
                member.key() != "flags" && member.key() != "properties")
                Refuse(at, "unknown member \"" + member.key() + "\"");
        const std::wstring name = PropertyName(entry, at);
        const std::string named = at + " (" + entry["name"].get<std::string>() + ")";
        if (!names.insert(Folded(name)).second) Refuse(named, "the bag names this property twice");
        const auto typeEntry = entry.find("type");
        VARTYPE type = VT_EMPTY;
        if (typeEntry == entry.end() || !typeEntry->is_string() ||
            !TypeFromName(typeEntry->get<std::string>(), type))
            Refuse(named,
                   "\"type\" must be one of VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, "
                   "VT_INT, VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT, VT_R4, VT_R8, "
                   "VT_DATE, VT_BOOL, VT_BSTR");
        const auto valueEntry = entry.find("value");
        VARIANT value;
        VariantInit(&value);
        ValueFromJson(valueEntry == entry.end() ? nullptr : &*valueEntry, type, &value, named);
        std::int64_t flags = 0;
        const auto flagsEntry = entry.find("flags");
        if (flagsEntry != entry.end() && !IntegerIn(*flagsEntry, INT32_MIN, UINT32_MAX, flags)) {
            VariantClear(&value);
            Refuse(named, "\"flags\" must be a 32-bit integer");
        }
        ComPtr<ISProperty> property;
        if (bag != nullptr) {
            BSTR nameText = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            const HRESULT hr = nameText
                                   ? bag->Add(nameText, value, static_cast<LONG>(flags), &property)
                                   : E_OUTOFMEMORY;
            SysFreeString(nameText);
            if (FAILED(hr) || !property) {
                VariantClear(&value);
                Refuse(named, "the repository refused the property (" +
                                  ToUtf8(StatusText(FAILED(hr) ? hr : E_POINTER)) + ")");
            }
        }
        VariantClear(&value);
        const auto nested = entry.find("properties");
        if (nested != entry.end()) {
            ComPtr<ISProperties> nestedBag;
            if (property) {
                const HRESULT hr = property->get_Properties(&nestedBag);
                if (FAILED(hr) || !nestedBag)
                    Refuse(named, "the repository gave no nested bag (" +
                                      ToUtf8(StatusText(FAILED(hr) ? hr : E_POINTER)) + ")");
            }
            ReadBag(*nested, nestedBag.Get(), named, depth + 1);
        }
    }
}

// The text of a VT_BSTR property of entries, or nullptr.
const Json* FindValue(const Json& entries, const char* name) {
    for (const Json& entry : entries) {
        const auto found = entry.find("name");
        if (found != entry.end() && found->is_string() &&
            Folded(FromUtf8(found->get<std::string>())) == Folded(FromUtf8(name))) {
            const auto value = entry.find("value");
            return value == entry.end() ? nullptr : &*value;
        }
    }
    return nullptr;
}

// Checks one object entry; returns its ID.
long CheckObject(const Json& object, const std::string& where) {
    if (!object.is_object()) Refuse(where, "an object entry must be a JSON object");
    for (const auto& member : object.items())
        if (member.key() != "id" && member.key() != "kind" && member.key() != "title" &&
            member.key() != "properties")
            Refuse(where, "unknown member \"" + member.key() + "\"");
    std::int64_t id = 0;
    const auto idEntry = object.find("id");
    if (idEntry == object.end() || !IntegerIn(*idEntry, 1, INT32_MAX, id))
        Refuse(where, "\"id\" must be a positive 32-bit integer");
    const std::string at = where + " (id " + std::to_string(id) + ")";
    for (const char* text : {"kind", "title"}) {
        const auto entry = object.find(text);
        if (entry == object.end() || !entry->is_string())
            Refuse(at, std::string("\"") + text + "\" must be a text");
    }
    const auto properties = object.find("properties");
    if (properties == object.end()) Refuse(at, "the object has no \"properties\"");
    ReadBag(*properties, nullptr, at, 0);
    // The object's own entries repeat what its bag says.
    const Json* bagId = FindValue(*properties, "SI_ID");
    std::int64_t storedId = 0;
    if (bagId == nullptr || !IntegerIn(*bagId, 1, INT32_MAX, storedId) || storedId != id)
        Refuse(at, "its properties must hold SI_ID with the object's id");
    const Json* kind = FindValue(*properties, "SI_KIND");
    if (kind == nullptr || *kind != object["kind"])
        Refuse(at, "its properties must hold SI_KIND with the object's kind");
    const Json* title = FindValue(*properties, "SI_NAME");
    if (title != nullptr ? *title != object["title"] : !object["title"].get<std::string>().empty())
        Refuse(at, "\"title\" differs from the SI_NAME property");
    return static_cast<long>(id);
}

// ---------------------------------------------------------------------------------------------
// Writing

[[noreturn]] void CannotSave(long id, const std::wstring& what) {
    Fail(kExitRepository, L"cannot save object " + std::to_wstring(id) + L": " + what +
                              L"; the repository file was left as it was");
}

Json ValueToJson(const VARIANT& value, long id, const std::wstring& name) {
    switch (V_VT(&value)) {
        case VT_EMPTY:
        case VT_NULL:
            return nullptr;
        case VT_I1:
            return static_cast<int>(V_I1(&value));
        case VT_I2:
            return V_I2(&value);
        case VT_I4:
            return static_cast<std::int32_t>(V_I4(&value));
        case VT_INT:
            return V_INT(&value);
        case VT_I8:
            return static_cast<std::int64_t>(V_I8(&value));
        case VT_UI1:
            return V_UI1(&value);
        case VT_UI2:
            return V_UI2(&value);
        case VT_UI4:
            return static_cast<std::uint32_t>(V_UI4(&value));
        case VT_UINT:
            return V_UINT(&value);
        case VT_UI8:
            return static_cast<std::uint64_t>(V_UI8(&value));
        case VT_R4:
            return static_cast<double>(V_R4(&value));
        case VT_R8:
            return V_R8(&value);
        case VT_DATE:
            return V_DATE(&value);
        case VT_BOOL:
            if (V_BOOL(&value) == VARIANT_TRUE) return true;
            if (V_BOOL(&value) == VARIANT_FALSE) return false;
            return V_BOOL(&value);
        case VT_BSTR:
            try {
                return ToUtf8(std::wstring_view(V_BSTR(&value), SysStringLen(V_BSTR(&value))));
            } catch (const std::runtime_error&) {
                CannotSave(id, L"the text of its property " + name + L" is not valid UTF-16");
            }
        default:
            break;
    }
    CannotSave(id, L"its property " + name + L" holds a value of type " +
                       std::to_wstring(V_VT(&value)) + L" that the repository file cannot hold");
}

void CheckSave(HRESULT hr, long id, const wchar_t* call) {
    if (FAILED(hr))
        CannotSave(id, std::wstring(L"reading its properties failed (") + call + L": " +
                           StatusText(hr) + L")");
}

Json BagToJson(ISProperties* bag, long id, int depth) {
    if (depth > kMaxDepth) CannotSave(id, L"its property bags are nested too deeply");
    Json entries = Json::array();
    ComPtr<IUnknown> enumerator;
    CheckSave(bag->get__NewEnum(&enumerator), id, L"ISProperties::_NewEnum");
    ComPtr<IEnumVARIANT> items;
    CheckSave(enumerator.As(&items), id, L"IEnumVARIANT");
    for (;;) {
        VARIANT item;
        VariantInit(&item);
        ULONG fetched = 0;
        const HRESULT next = items->Next(1, &item, &fetched);
        CheckSave(next, id, L"IEnumVARIANT::Next");
        if (next != S_OK || fetched == 0) break;
        ComPtr<ISProperty> property;
        HRESULT hr = (V_VT(&item) == VT_DISPATCH || V_VT(&item) == VT_UNKNOWN) && V_UNKNOWN(&item)
                         ? V_UNKNOWN(&item)->QueryInterface(IID_PPV_ARGS(&property))
                         : E_NOINTERFACE;
        VariantClear(&item);
        CheckSave(hr, id, L"ISProperty");

        BSTR nameText = nullptr;
        CheckSave(property->get_Name(&nameText), id, L"ISProperty::Name");
        const std::wstring name(nameText ? nameText : L"", SysStringLen(nameText));
        SysFreeString(nameText);
        VARIANT value;
        VariantInit(&value);
        hr = property->get_Value(&value);
        if (FAILED(hr)) VariantClear(&value);
        CheckSave(hr, id, L"ISProperty::Value");
        LONG flags = 0;
        hr = property->get_Flags(&flags);
        if (FAILED(hr)) VariantClear(&value);
        CheckSave(hr, id, L"ISProperty::Flags");

        Json entry;
        try {
            entry["name"] = ToUtf8(name);
        } catch (const std::runtime_error&) {
            VariantClear(&value);
            CannotSave(id, L"a property name is not valid UTF-16");
        }
        const char* typeName = TypeNameOf(V_VT(&value));
        Json converted;
        try {
            converted = ValueToJson(value, id, name);
        } catch (...) {
            VariantClear(&value);
            throw;
        }
        VariantClear(&value);
        entry["type"] = typeName;
        if (!converted.is_null()) entry["value"] = std::move(converted);
        if (flags != 0) entry["flags"] = static_cast<std::int32_t>(flags);
        ComPtr<ISProperties> nested;
        CheckSave(property->get_Properties(&nested), id, L"ISProperty::Properties");
        LONG count = 0;
        if (nested) CheckSave(nested->get_Count(&count), id, L"ISProperties::Count");
        if (count > 0) entry["properties"] = BagToJson(nested.Get(), id, depth + 1);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The object entry of committed object id.
Json ObjectToJson(RefHost::Repository& repository, long id) {
    ComPtr<ISProperties> bag;
    CheckSave(repository.CommittedProperties(id, &bag), id, L"Repository::CommittedProperties");
    Json properties = BagToJson(bag.Get(), id, 0);
    Json object;
    object["id"] = static_cast<std::int32_t>(id);
    const Json* kind = FindValue(properties, "SI_KIND");
    const Json* title = FindValue(properties, "SI_NAME");
    object["kind"] = kind != nullptr && kind->is_string() ? *kind : Json("");
    object["title"] = title != nullptr && title->is_string() ? *title : Json("");
    object["properties"] = std::move(properties);
    return object;
}

std::string Serialize(const std::map<long, Json>& objects) {
    Json root;
    root["format"] = kFormat;
    root["version"] = kVersion;
    root["objects"] = Json::array();
    for (const auto& entry : objects) root["objects"].push_back(entry.second);
    return root.dump(2) + "\n";
}

}  // namespace

struct RepositoryFile::Contents {
    std::map<long, Json> objects;  // as read from the file, by ID
};

RepositoryFile::RepositoryFile(const std::wstring& path)
    : m_path(FullPath(path)), m_contents(std::make_unique<Contents>()) {
    m_lock = std::make_unique<FileLock>(m_path, kLockTimeoutMs);
    if (!PathExists(m_path)) {
        WriteFileAtomically(m_path, Serialize({}));
        m_created = true;
        return;
    }
    const std::string bytes = ReadWholeFile(m_path, kMaxFileBytes);
    const auto refuse = [&](const std::string& reason) {
        std::wstring text;
        try {
            text = FromUtf8(reason);
        } catch (const std::runtime_error&) {
            text = L"(the reason is not valid UTF-8)";
        }
        Fail(kExitRepository, L"the repository file " + m_path + L" is not a valid repository: " +
                                  text +
                                  L".\nIt was left untouched: repair it, move it away, or name "
                                  L"another file with --repo.");
    };
    try {
        if (bytes.empty()) refuse("it is empty");
        Json root;
        try {
            root = Json::parse(bytes);
        } catch (const Json::parse_error& error) {
            std::string message = error.what();
            const size_t end = message.find("] ");
            if (message.rfind("[json.exception.", 0) == 0 && end != std::string::npos)
                message.erase(0, end + 2);
            refuse("it is not complete JSON (" + message + ")");
        }
        if (!root.is_object() || root.find("format") == root.end() || root["format"] != kFormat)
            refuse(std::string("it does not start as a repository file (\"format\": \"") + kFormat +
                   "\")");
        if (root.find("version") == root.end() || root["version"] != kVersion)
            refuse("its version is not " + std::to_string(kVersion));
        const auto objects = root.find("objects");
        if (objects == root.end() || !objects->is_array()) refuse("\"objects\" must be an array");
        for (size_t i = 0; i < objects->size(); ++i) {
            const long id = CheckObject((*objects)[i], "objects[" + std::to_string(i) + "]");
            if (!m_contents->objects.emplace(id, (*objects)[i]).second)
                refuse("objects[" + std::to_string(i) + "]: the id " + std::to_string(id) +
                       " appears twice");
        }
    } catch (const Malformed& malformed) {
        refuse(malformed.where + ": " + malformed.what);
    } catch (const Json::exception& error) {
        refuse(error.what());
    }
}

RepositoryFile::~RepositoryFile() = default;

void RepositoryFile::LoadInto(RefHost::Repository& repository) {
    for (const auto& [id, object] : m_contents->objects) {
        const std::string where = "object " + std::to_string(id);
        const std::wstring kind = FromUtf8(object["kind"].get<std::string>());
        ComPtr<ISInfoObject> host;
        HRESULT hr = RefHost::NewObjectWithId(repository, kind, id, &host);
        ComPtr<ISProperties> bag;
        if (SUCCEEDED(hr)) hr = host->get_Properties(&bag);
        if (SUCCEEDED(hr) && !bag) hr = E_POINTER;
        if (SUCCEEDED(hr)) hr = bag->Clear();
        if (FAILED(hr))
            Fail(kExitRepository, L"the repository file " + m_path + L" holds object " +
                                      std::to_wstring(id) + L" of kind " + kind +
                                      L", which the repository refused: " + StatusText(hr) +
                                      L".\nIt was left untouched.");
        try {
            ReadBag(object["properties"], bag.Get(), where, 0);
        } catch (const Malformed& malformed) {
            Fail(kExitRepository, L"the repository file " + m_path +
                                      L" is not a valid repository: " +
                                      FromUtf8(malformed.where + ": " + malformed.what) +
                                      L".\nIt was left untouched.");
        }
        hr = repository.Store(host.Get());
        if (FAILED(hr))
            Fail(kExitRepository, L"the repository refused object " + std::to_wstring(id) +
                                      L" of " + m_path + L": " + StatusText(hr) +
                                      L".\nIt was left untouched.");
    }
}

void RepositoryFile::Save(RefHost::Repository& repository) {
    std::map<long, Json> objects;
    try {
        for (const long id : repository.Ids()) {
            const auto read = m_contents->objects.find(id);
            if (read != m_contents->objects.end() && m_changed.count(id) == 0)
                objects.emplace(id, read->second);
            else
                objects.emplace(id, ObjectToJson(repository, id));
        }
        WriteFileAtomically(m_path, Serialize(objects));
    } catch (const Json::exception& error) {
        Fail(kExitRepository, L"cannot save the repository: " + FromUtf8(error.what()) +
                                  L"; the repository file was left as it was");
    }
    m_contents->objects = std::move(objects);
    m_changed.clear();
}

}  // namespace KeyTool
