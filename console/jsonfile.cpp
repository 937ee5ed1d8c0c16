// The repository as JSON.
#include "jsonfile.h"

#include <oleauto.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kFormat[] = "keytool repository";
constexpr int kVersion = 1;
constexpr char kKeyMaterialMember[] = "key material";
constexpr char kLeftOut[] = "left out";

// ---------------------------------------------------------------------------------------------
// Reading

// A failed check of the text: where (a JSON path such as objects[1].properties[4]) and what is
// wrong.
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
                              " to " + std::to_string(high) + " for " + TypeName(type));
        return number;
    };
    const auto real = [&]() {
        if (value == nullptr || !value->is_number() || !std::isfinite(value->get<double>()))
            Refuse(where, std::string("\"value\" must be a number for ") + TypeName(type));
        return value->get<double>();
    };
    if (type != VT_EMPTY && type != VT_NULL && value == nullptr)
        Refuse(where, std::string("a ") + TypeName(type) + " property needs a \"value\"");
    switch (type) {
        case VT_EMPTY:
        case VT_NULL:
            if (value != nullptr && !value->is_null())
                Refuse(where, std::string("a ") + TypeName(type) + " property has no value");
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

// Checks a bag's entries (a JSON array of properties) and reads them in order.
StoredBag ReadBag(const Json& entries, const std::string& where, int depth) {
    if (!entries.is_array()) Refuse(where, "\"properties\" must be an array");
    if (depth > kMaxBagDepth) Refuse(where, "property bags are nested too deeply");
    StoredBag bag;
    std::set<std::wstring> names;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Json& entry = entries[i];
        const std::string at = where + ".properties[" + std::to_string(i) + "]";
        if (!entry.is_object()) Refuse(at, "a property must be an object");
        for (const auto& member : entry.items())
            if (member.key() != "name" && member.key() != "type" && member.key() != "value" &&
                member.key() != "flags" && member.key() != "properties")
                Refuse(at, "unknown member \"" + member.key() + "\"");
        StoredProperty property;
        property.name = PropertyName(entry, at);
        const std::string named = at + " (" + entry["name"].get<std::string>() + ")";
        if (!names.insert(Folded(property.name)).second)
            Refuse(named, "the bag names this property twice");
        const auto typeEntry = entry.find("type");
        VARTYPE type = VT_EMPTY;
        if (typeEntry == entry.end() || !typeEntry->is_string() ||
            !TypeFromName(typeEntry->get<std::string>(), type))
            Refuse(named, "\"type\" must be one of " + StorableTypeNames());
        const auto valueEntry = entry.find("value");
        ValueFromJson(valueEntry == entry.end() ? nullptr : &*valueEntry, type,
                      property.value.Receive(), named);
        std::int64_t flags = 0;
        const auto flagsEntry = entry.find("flags");
        if (flagsEntry != entry.end() && !IntegerIn(*flagsEntry, INT32_MIN, UINT32_MAX, flags))
            Refuse(named, "\"flags\" must be a 32-bit integer");
        property.flags = static_cast<LONG>(flags);
        const auto nested = entry.find("properties");
        if (nested != entry.end()) property.properties = ReadBag(*nested, named, depth + 1);
        bag.push_back(std::move(property));
    }
    return bag;
}

// Checks one object entry and reads it.
StoredObject ReadObject(const Json& object, const std::string& where) {
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
    StoredObject stored;
    stored.id = static_cast<long>(id);
    stored.properties = ReadBag(*properties, at, 0);
    TakeKindAndTitle(stored);
    // The object's own entries repeat what its bag says.
    const StoredProperty* bagId = FindProperty(stored.properties, L"SI_ID");
    long storedId = 0;
    if (bagId == nullptr || !IntegerValue(bagId->value.Get(), storedId) || storedId != id)
        Refuse(at, "its properties must hold SI_ID with the object's id");
    const StoredProperty* kind = FindProperty(stored.properties, L"SI_KIND");
    if (kind == nullptr || kind->value.Type() != VT_BSTR ||
        ToUtf8(stored.kind) != object["kind"].get<std::string>())
        Refuse(at, "its properties must hold SI_KIND with the object's kind");
    const StoredProperty* title = FindProperty(stored.properties, L"SI_NAME");
    if (title != nullptr ? title->value.Type() != VT_BSTR ||
                               ToUtf8(stored.title) != object["title"].get<std::string>()
                         : !object["title"].get<std::string>().empty())
        Refuse(at, "\"title\" differs from the SI_NAME property");
    return stored;
}

// ---------------------------------------------------------------------------------------------
// Writing

[[noreturn]] void CannotExport(long id, const std::wstring& what) {
    Fail(kExitRepository, L"cannot export object " + std::to_wstring(id) + L": " + what);
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
                CannotExport(id, L"the text of its property " + name + L" is not valid UTF-16");
            }
        default:
            break;
    }
    CannotExport(id, L"its property " + name + L" holds a value of type " +
                         std::to_wstring(V_VT(&value)) + L" that JSON cannot carry");
}

Json BagToJson(const StoredBag& bag, long id, bool withKeyMaterial) {
    Json entries = Json::array();
    for (const StoredProperty& property : bag) {
        if (!withKeyMaterial && IsKeyMaterial(property.name)) continue;
        Json entry;
        entry["name"] = ToUtf8(property.name);
        entry["type"] = TypeName(property.value.Type());
        Json value = ValueToJson(property.value.Get(), id, property.name);
        if (!value.is_null()) entry["value"] = std::move(value);
        if (property.flags != 0) entry["flags"] = static_cast<std::int32_t>(property.flags);
        if (!property.properties.empty())
            entry["properties"] = BagToJson(property.properties, id, withKeyMaterial);
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace

bool IsKeyMaterial(const std::wstring& propertyName) {
    return SameName(propertyName, L"SI_VALUE") || SameName(propertyName, L"SI_DERIVED_KEY");
}

std::vector<StoredObject> ParseRepositoryJson(const std::string& bytes) {
    const auto refuse = [&](const std::string& reason) {
        std::wstring text;
        try {
            text = FromUtf8(reason);
        } catch (const std::runtime_error&) {
            text = L"(the reason is not valid UTF-8)";
        }
        throw InvalidRepositoryJson{text};
    };
    std::vector<StoredObject> objects;
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
        const auto objectsEntry = root.find("objects");
        if (objectsEntry == root.end() || !objectsEntry->is_array())
            refuse("\"objects\" must be an array");
        std::set<long> ids;
        for (size_t i = 0; i < objectsEntry->size(); ++i) {
            StoredObject object =
                ReadObject((*objectsEntry)[i], "objects[" + std::to_string(i) + "]");
            if (!ids.insert(object.id).second)
                refuse("objects[" + std::to_string(i) + "]: the id " + std::to_string(object.id) +
                       " appears twice");
            objects.push_back(std::move(object));
        }
        const auto material = root.find(kKeyMaterialMember);
        if (material != root.end() && *material == kLeftOut)
            throw InvalidRepositoryJson{
                L"it is an export without the key material (made without --reveal): its keys "
                L"have no values",
                true};
    } catch (const Malformed& malformed) {
        refuse(malformed.where + ": " + malformed.what);
    } catch (const Json::exception& error) {
        refuse(error.what());
    }
    return objects;
}

std::string RepositoryJson(const std::vector<StoredObject>& objects, bool withKeyMaterial) {
    Json root;
    root["format"] = kFormat;
    root["version"] = kVersion;
    if (!withKeyMaterial) root[kKeyMaterialMember] = kLeftOut;
    root["objects"] = Json::array();
    for (const StoredObject& stored : objects) {
        Json object;
        object["id"] = static_cast<std::int32_t>(stored.id);
        object["kind"] = ToUtf8(stored.kind);
        object["title"] = ToUtf8(stored.title);
        object["properties"] = BagToJson(stored.properties, stored.id, withKeyMaterial);
        root["objects"].push_back(std::move(object));
    }
    return root.dump(2) + "\n";
}

}  // namespace KeyTool
