// The repository as JSON.
#include "jsonfile.h"

#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <set>
#include <unordered_set>

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

// Text of the file as a message quotes it: escaped and bounded, as UTF-8.
std::string Quote(const std::string& raw) {
    return ToUtf8(ExcerptOfBytes(raw));
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
                Refuse(at, "unknown member \"" + Quote(member.key()) + "\"");
        StoredProperty property;
        property.name = PropertyName(entry, at);
        const std::string named = at + " (" + Quote(entry["name"].get<std::string>()) + ")";
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
            Refuse(where, "unknown member \"" + Quote(member.key()) + "\"");
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
                CannotExport(
                    id, L"the text of its property " + Excerpt(name) + L" is not valid UTF-16");
            }
        default:
            break;
    }
    CannotExport(id, L"its property " + Excerpt(name) + L" holds a value of type " +
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

// ---------------------------------------------------------------------------------------------
// Reading as a stream

// A file's text is longer in one place than a repository text may be.
struct TooLong {
    unsigned long long offset;
    bool text;  // a text value (else another token)
};

// The bytes of the source as the JSON parser reads them, one at a time, with the byte offset and
// line of the last one read and the bytes just before it, for messages. Runs of white space
// outside texts are handed on as one character (the parser keeps what it reads of a token for
// its messages, white space before it included), and a token longer than a repository text may
// hold is refused: the memory the parser uses stays bounded whatever the file holds.
class StreamReader {
  public:
    explicit StreamReader(JsonSource& source) : m_source(source), m_buffer(1u << 20) {}
    ~StreamReader() { SecureZeroMemory(m_buffer.data(), m_buffer.size()); }

    bool AtEnd() {
        Fill();
        return m_atEnd;
    }
    char Current() {
        Fill();
        return m_current;
    }
    void Advance() {
        Fill();
        m_hasCurrent = false;
    }

    unsigned long long Offset() const noexcept { return m_offset; }  // bytes read
    unsigned long long Line() const noexcept { return m_line; }
    // The last bytes read (up to 40), oldest first.
    std::string Recent() const {
        std::string recent;
        const size_t count = static_cast<size_t>(std::min<unsigned long long>(m_offset, kRecent));
        for (size_t i = 0; i < count; ++i) recent += m_recent[(m_offset - count + i) % kRecent];
        return recent;
    }

  private:
    static constexpr size_t kRecent = 40;

    // The next byte of the file, or false at its end.
    bool Raw(char& byte) {
        if (m_position == m_end) {
            if (m_eof) return false;
            SecureZeroMemory(m_buffer.data(), m_end);
            m_end = m_source.Read(m_buffer.data(), m_buffer.size());
            m_position = 0;
            if (m_end == 0) {
                m_eof = true;
                return false;
            }
        }
        byte = m_buffer[m_position++];
        m_recent[m_offset % kRecent] = byte;
        ++m_offset;
        if (byte == '\n') ++m_line;
        return true;
    }

    void Fill() {
        if (m_hasCurrent || m_atEnd) return;
        char byte = 0;
        for (;;) {
            if (!Raw(byte)) {
                m_atEnd = true;
                return;
            }
            if (m_inText) {
                if (m_escape)
                    m_escape = false;
                else if (byte == '\\')
                    m_escape = true;
                else if (byte == '"')
                    m_inText = false;
                if (++m_tokenBytes > kMaxJsonTextBytes) throw TooLong{m_offset, true};
                break;
            }
            if (byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r') {
                m_tokenBytes = 0;
                if (m_space) continue;
                m_space = true;
                break;
            }
            m_space = false;
            if (byte == '"') {
                m_inText = true;
                m_tokenBytes = 0;
            } else if (byte == '{' || byte == '}' || byte == '[' || byte == ']' || byte == ':' ||
                       byte == ',') {
                m_tokenBytes = 0;
            } else if (++m_tokenBytes > kMaxJsonTokenBytes) {
                throw TooLong{m_offset, false};
            }
            break;
        }
        m_current = byte;
        m_hasCurrent = true;
    }

    JsonSource& m_source;
    std::vector<char> m_buffer;
    size_t m_position = 0, m_end = 0;
    bool m_eof = false;
    bool m_hasCurrent = false, m_atEnd = false;
    char m_current = 0;
    unsigned long long m_offset = 0, m_line = 1;
    char m_recent[kRecent] = {};
    bool m_inText = false, m_escape = false, m_space = false;
    size_t m_tokenBytes = 0;
};

// The reader as the input iterator the JSON parser takes.
class ByteIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = char;

    explicit ByteIterator(StreamReader* reader = nullptr) : m_reader(reader) {}
    char operator*() const { return m_reader->Current(); }
    ByteIterator& operator++() {
        m_reader->Advance();
        return *this;
    }
    bool operator==(const ByteIterator& other) const { return AtEnd() == other.AtEnd(); }
    bool operator!=(const ByteIterator& other) const { return !(*this == other); }

  private:
    bool AtEnd() const { return m_reader == nullptr || m_reader->AtEnd(); }
    StreamReader* m_reader;
};

// A syntax error of the JSON text, as the parser describes it.
struct SyntaxError {
    std::string what;
};

// The parser's events: the top-level members are checked as they come, each element of
// "objects" is assembled as a JSON value of its own and handed on when it is complete, and
// everything else is skipped without being kept.
class RepositoryEvents {
  public:
    using Dom = nlohmann::detail::json_sax_dom_parser<Json>;
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    explicit RepositoryEvents(const std::function<void(StoredObject&, size_t)>& take)
        : m_take(take) {}

    bool null() { return Scalar(Json(nullptr)); }
    bool boolean(bool value) { return Scalar(Json(value)); }
    bool number_integer(number_integer_t value) { return Scalar(Json(value)); }
    bool number_unsigned(number_unsigned_t value) { return Scalar(Json(value)); }
    bool number_float(number_float_t value, const string_t& text) {
        if (m_dom) return m_dom->number_float(value, text), true;
        return Scalar(Json(value));
    }
    bool string(string_t& value) {
        if (m_dom) return m_dom->string(value), true;
        return Scalar(Json(value));
    }
    bool binary(binary_t&) { return true; }

    bool start_object(std::size_t size) {
        if (m_dom) {
            ++m_depth;
            return m_dom->start_object(size);
        }
        if (m_depth == 0) {
            m_depth = 1;
            return true;
        }
        if (m_depth == 2 && m_inObjects) {
            BeginElement();
            ++m_depth;
            return m_dom->start_object(size);
        }
        return StartSkipped(false);
    }
    bool end_object() {
        if (m_dom) {
            m_dom->end_object();
            if (--m_depth == 2) EndElement();
            return true;
        }
        --m_depth;
        return true;
    }
    bool start_array(std::size_t size) {
        if (m_dom) {
            ++m_depth;
            return m_dom->start_array(size);
        }
        if (m_depth == 0) Refuse("", kNotRepository);
        if (m_depth == 2 && m_inObjects) {
            BeginElement();
            ++m_depth;
            return m_dom->start_array(size);
        }
        if (m_depth == 1 && m_member == "objects") {
            if (m_objectsSeen) Refuse("", "\"objects\" appears twice");
            m_objectsSeen = m_inObjects = true;
            m_depth = 2;
            return true;
        }
        return StartSkipped(true);
    }
    bool end_array() {
        if (m_dom) {
            m_dom->end_array();
            if (--m_depth == 2) EndElement();
            return true;
        }
        if (m_depth == 2 && m_inObjects) m_inObjects = false;
        --m_depth;
        return true;
    }
    bool key(string_t& name) {
        if (m_dom) return m_dom->key(name);
        if (m_depth == 1) m_member = name;
        return true;
    }
    bool parse_error(std::size_t, const std::string& token, const nlohmann::detail::exception& e) {
        // The parser's message without the token it last read (which may be long), and without
        // its position (which counts the characters it was handed, not the file's bytes).
        std::string message = e.what();
        const size_t column = message.find("column ");
        const size_t start =
            column == std::string::npos ? std::string::npos : message.find(": ", column);
        if (start != std::string::npos) message.erase(0, start + 2);
        const std::string lastRead = "; last read: '" + token + "'";
        const size_t read = message.find(lastRead);
        if (!token.empty() && read != std::string::npos) message.erase(read, lastRead.size());
        throw SyntaxError{message};
    }

    // The checks of the top-level members, once the whole text was read.
    void Finish() const {
        if (!m_format || *m_format != kFormat)
            Refuse("", std::string("it does not start as a repository file (\"format\": \"") +
                           kFormat + "\")");
        if (!m_version || *m_version != kVersion)
            Refuse("", "its version is not " + std::to_string(kVersion));
        if (!m_objectsSeen) Refuse("", "\"objects\" must be an array");
        if (m_material && *m_material == kLeftOut) throw KeyMaterialLeftOut{};
    }

    struct KeyMaterialLeftOut {};

  private:
    static constexpr char kNotRepository[] =
        "it does not start as a repository file (\"format\": \"keytool repository\")";

    bool Scalar(Json value) {
        if (m_dom) {
            // The DOM parser's own handlers take the value as the parser hands it.
            if (value.is_null()) return m_dom->null();
            if (value.is_boolean()) return m_dom->boolean(value.get<bool>());
            if (value.is_number_unsigned())
                return m_dom->number_unsigned(value.get<number_unsigned_t>());
            if (value.is_number_integer())
                return m_dom->number_integer(value.get<number_integer_t>());
            return false;
        }
        if (m_depth == 0) Refuse("", kNotRepository);
        if (m_depth == 2 && m_inObjects) {
            Element(value);
            return true;
        }
        if (m_depth == 1) Member(std::move(value));
        return true;
    }

    // A member of the top-level object.
    void Member(Json value) {
        if (m_member == "format") {
            m_format = std::move(value);
            if (*m_format != kFormat) Finish();
        } else if (m_member == "version") {
            m_version = std::move(value);
        } else if (m_member == "key material") {
            m_material = std::move(value);
            // An export without key material is refused before its objects are read.
            if (*m_material == kLeftOut && (!m_format || *m_format == kFormat))
                throw KeyMaterialLeftOut{};
        } else if (m_member == "objects") {
            Refuse("", "\"objects\" must be an array");
        }
    }

    // A container that is not kept: a top-level member's value other than "objects".
    bool StartSkipped(bool array) {
        if (m_depth == 1) {
            if (m_member == "objects" && !array) Refuse("", "\"objects\" must be an array");
            Member(array ? Json::array() : Json::object());
        }
        ++m_depth;
        return true;
    }

    void BeginElement() {
        m_element = Json();
        m_dom.emplace(m_element, true);
    }
    void EndElement() {
        m_dom.reset();
        Element(m_element);
        m_element = Json();
    }
    // One element of "objects", checked and handed on.
    void Element(const Json& element) {
        const size_t index = m_index++;
        StoredObject object = ReadObject(element, "objects[" + std::to_string(index) + "]");
        if (!m_ids.insert(object.id).second)
            Refuse("objects[" + std::to_string(index) + "]",
                   "the id " + std::to_string(object.id) + " appears twice");
        m_take(object, index);
    }

    const std::function<void(StoredObject&, size_t)>& m_take;
    int m_depth = 0;  // containers open
    std::string m_member;
    bool m_inObjects = false, m_objectsSeen = false;
    std::optional<Json> m_format, m_version, m_material;
    Json m_element;
    std::optional<Dom> m_dom;
    size_t m_index = 0;
    std::unordered_set<long> m_ids;
};

// ---------------------------------------------------------------------------------------------
// Writing

// A JSON value as dump(2) writes it at `depth` levels of nesting.
std::string Indented(const Json& value, int depth) {
    std::string text = value.dump(2);
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    size_t start = 0;
    out += indent;
    for (size_t newline = text.find('\n'); newline != std::string::npos;
         newline = text.find('\n', start)) {
        // Texts are written with their line breaks escaped: every newline is the dump's own.
        out.append(text, start, newline + 1 - start);
        out += indent;
        start = newline + 1;
    }
    out.append(text, start, std::string::npos);
    SecureZeroMemory(text.data(), text.size());
    return out;
}

}  // namespace

bool IsKeyMaterial(const std::wstring& propertyName) {
    return SameName(propertyName, L"SI_VALUE") || SameName(propertyName, L"SI_DERIVED_KEY");
}

void ReadRepositoryJson(JsonSource& source,
                        const std::function<void(StoredObject& object, size_t index)>& take,
                        const std::function<void(unsigned long long bytes)>& progress) {
    const auto invalid = [](const std::string& reason) -> InvalidRepositoryJson {
        std::wstring text;
        try {
            text = FromUtf8(reason);
        } catch (const std::runtime_error&) {
            text = ExcerptOfBytes(reason, 400);
        }
        return InvalidRepositoryJson{text};
    };
    StreamReader reader(source);
    // Where the reader is, for a message: the byte offset (of the last byte read) and the line,
    // and the bytes just before.
    const auto at = [&] {
        const unsigned long long offset = reader.Offset();
        return "at line " + ToUtf8(Grouped(reader.Line())) + ", byte offset " +
               ToUtf8(Grouped(offset == 0 ? 0 : offset - 1)) + " (after \"" +
               ToUtf8(ExcerptOfBytes(reader.Recent(), 40)) + "\")";
    };
    const std::function<void(StoredObject&, size_t)> counted = [&](StoredObject& object,
                                                                   size_t index) {
        take(object, index);
        if (progress) progress(reader.Offset());
    };
    RepositoryEvents events(counted);
    try {
        if (reader.AtEnd()) throw invalid("it is empty");
        Json::sax_parse(ByteIterator(&reader), ByteIterator(), &events);
        events.Finish();
    } catch (const SyntaxError& error) {
        throw invalid("it is not complete JSON (" + error.what + ") " + at());
    } catch (const TooLong& tooLong) {
        throw invalid(
            std::string(tooLong.text ? "a text is longer than " : "a value is longer than ") +
            ToUtf8(Grouped(tooLong.text ? kMaxJsonTextBytes : kMaxJsonTokenBytes)) +
            " bytes, more than a repository holds, " + at());
    } catch (const Malformed& malformed) {
        throw invalid(malformed.where.empty() ? malformed.what
                                              : malformed.where + ": " + malformed.what);
    } catch (const RepositoryEvents::KeyMaterialLeftOut&) {
        throw InvalidRepositoryJson{
            L"it is an export without the key material (made without --reveal): its keys "
            L"have no values",
            true};
    } catch (const Json::exception& error) {
        throw invalid(ToUtf8(ExcerptOfBytes(error.what(), 200)) + " " + at());
    }
}

RepositoryJsonWriter::RepositoryJsonWriter(bool withKeyMaterial,
                                           std::function<void(std::string_view)> sink)
    : m_withKeyMaterial(withKeyMaterial), m_sink(std::move(sink)) {
    std::string head = std::string("{\n  \"format\": \"") + kFormat +
                       "\",\n  \"version\": " + std::to_string(kVersion) + ",\n";
    if (!withKeyMaterial)
        head += std::string("  \"") + kKeyMaterialMember + "\": \"" + kLeftOut + "\",\n";
    head += "  \"objects\": ";
    m_sink(head);
}

void RepositoryJsonWriter::Add(const StoredObject& stored) {
    Json object;
    object["id"] = static_cast<std::int32_t>(stored.id);
    try {
        object["kind"] = ToUtf8(stored.kind);
        object["title"] = ToUtf8(stored.title);
    } catch (const std::runtime_error&) {
        CannotExport(stored.id, L"its kind or title is not valid UTF-16");
    }
    object["properties"] = BagToJson(stored.properties, stored.id, m_withKeyMaterial);
    std::string text = (m_count == 0 ? "[\n" : ",\n") + Indented(object, 2);
    ++m_count;
    m_sink(text);
    SecureZeroMemory(text.data(), text.size());
}

void RepositoryJsonWriter::Finish() {
    m_sink(m_count == 0 ? "[]\n}\n" : "\n  ]\n}\n");
}

}  // namespace KeyTool
