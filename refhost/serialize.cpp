// A bag as text and back: the form of ISInfoObject::Serialize, Delta and their inverses.
//
// One line per property, fields separated by tabs:  name  flags(hex)  type  value
// - type is the VARTYPE in decimal; value its text in the invariant locale (VT_BSTR the text
//   itself, VT_ARRAY|VT_UI1 the bytes in hex, VT_EMPTY and VT_NULL nothing);
// - type "N" marks a property whose value is its own nested bag (a list element made by
//   AppendBag);
// - a line "{" right after a property opens that property's nested bag, "}" closes it;
// - a first line "#list<TAB>count name<TAB>prefix" in a bag records a list setup other than
//   ("SI_TOTAL", "").
// Tabs, line breaks and backslashes in names and texts are escaped as \t, \n, \r and \\.
// Values that have no text form (other objects, other arrays) are written as VT_EMPTY.
#include <cwchar>
#include <functional>
#include <mutex>
#include <vector>

#include "bag.h"

namespace RefHost::Detail {

namespace {

constexpr int kMaxDepth = 64;

void AppendEscaped(std::wstring& out, std::wstring_view text) {
    for (wchar_t c : text) {
        switch (c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\t':
                out += L"\\t";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            default:
                out += c;
                break;
        }
    }
}

bool Unescape(std::wstring_view text, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case L'\\':
                out += L'\\';
                break;
            case L't':
                out += L'\t';
                break;
            case L'n':
                out += L'\n';
                break;
            case L'r':
                out += L'\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

bool IsScalar(VARTYPE type) {
    switch (type) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
        case VT_BOOL:
        case VT_ERROR:
            return true;
        default:
            return false;
    }
}

// The value's type and text as written; false when it has no text form.
bool ValueText(const VARIANT& value, VARTYPE& type, std::wstring& text) {
    type = V_VT(&value);
    text.clear();
    if (type == VT_EMPTY || type == VT_NULL) return true;
    if (type == VT_BSTR) {
        AppendEscaped(text, TextOf(V_BSTR(&value)));
        return true;
    }
    if (type == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* array = V_ARRAY(&value);
        if (array == nullptr || SafeArrayGetDim(array) != 1) return false;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        const BYTE* bytes = nullptr;
        if (FAILED(SafeArrayAccessData(array, (void**)&bytes))) return false;
        static const wchar_t digits[] = L"0123456789ABCDEF";
        for (LONG i = 0; i < upper - lower + 1; ++i) {
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
        }
        SafeArrayUnaccessData(array);
        return true;
    }
    if (type == VT_ERROR) {
        text = DecimalText(V_ERROR(&value));
        return true;
    }
    if (!IsScalar(type)) return false;
    std::wstring plain;
    if (FAILED(VariantToText(value, plain))) return false;
    AppendEscaped(text, plain);
    return true;
}

HRESULT ParseValue(VARTYPE type, std::wstring_view text, Variant& value) {
    std::wstring plain;
    if (!Unescape(text, plain)) return E_INVALIDARG;
    value.Clear();
    if (type == VT_EMPTY || type == VT_NULL) {
        if (!plain.empty()) return E_INVALIDARG;
        V_VT(value.get()) = type;
        return S_OK;
    }
    if (type == VT_BSTR) {
        value.SetText(plain);
        return S_OK;
    }
    if (type == (VT_ARRAY | VT_UI1)) {
        if (plain.size() % 2 != 0) return E_INVALIDARG;
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(plain.size() / 2));
        if (array == nullptr) return E_OUTOFMEMORY;
        BYTE* bytes = nullptr;
        SafeArrayAccessData(array, (void**)&bytes);
        auto nibble = [](wchar_t c) -> int {
            if (c >= L'0' && c <= L'9') return c - L'0';
            if (c >= L'A' && c <= L'F') return c - L'A' + 10;
            if (c >= L'a' && c <= L'f') return c - L'a' + 10;
            return -1;
        };
        bool valid = true;
        for (size_t i = 0; i < plain.size() / 2; ++i) {
            const int high = nibble(plain[2 * i]), low = nibble(plain[2 * i + 1]);
            if (high < 0 || low < 0) valid = false;
            bytes[i] = static_cast<BYTE>((high << 4) | (low & 15));
        }
        SafeArrayUnaccessData(array);
        if (!valid) {
            SafeArrayDestroy(array);
            return E_INVALIDARG;
        }
        V_VT(value.get()) = VT_ARRAY | VT_UI1;
        V_ARRAY(value.get()) = array;
        return S_OK;
    }
    if (type == VT_ERROR) {
        wchar_t* end = nullptr;
        const long code = std::wcstol(plain.c_str(), &end, 10);
        if (plain.empty() || *end != L'\0') return E_INVALIDARG;
        V_VT(value.get()) = VT_ERROR;
        V_ERROR(value.get()) = code;
        return S_OK;
    }
    if (!IsScalar(type)) return E_INVALIDARG;
    Variant textValue;
    textValue.SetText(plain);
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeTypeEx(&converted, textValue.get(), LOCALE_INVARIANT, 0, type)))
        return E_INVALIDARG;
    value.Take(converted);
    return S_OK;
}

// Splits text into lines (the last may lack its break).
std::vector<std::wstring_view> Lines(std::wstring_view text) {
    std::vector<std::wstring_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring_view::npos) end = text.size();
        std::wstring_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::wstring_view> Fields(std::wstring_view line) {
    std::vector<std::wstring_view> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find(L'\t', start);
        if (tab == std::wstring_view::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

}  // namespace

std::wstring CBag::SerializeText() {
    std::wstring out;
    std::lock_guard<HostLock> guard(m_tree->lock);
    // Recursion over nested bags of the same tree (same lock, already held).
    struct Writer {
        std::wstring& out;
        void Bag(const CBag& bag, int depth) {
            if (depth > kMaxDepth) return;
            if (!SameName(bag.m_countName, L"SI_TOTAL") || !bag.m_prefix.empty()) {
                out += L"#list\t";
                AppendEscaped(out, bag.m_countName);
                out += L'\t';
                AppendEscaped(out, bag.m_prefix);
                out += L'\n';
            }
            for (const auto& property : bag.m_ordinary)
                if (property) Property(*property.Get(), property->m_name, depth);
            for (size_t i = 0; i < bag.m_elements.size(); ++i)
                if (bag.m_elements[i].property)
                    Property(*bag.m_elements[i].property.Get(), bag.ElementNameLocked(i + 1),
                             depth);
        }
        void Property(const CProperty& property, const std::wstring& name, int depth) {
            AppendEscaped(out, name);
            wchar_t flags[16];
            swprintf(flags, 16, L"\t%lX\t", static_cast<unsigned long>(property.m_flags));
            out += flags;
            const VARIANT& value = property.m_value.ref();
            const bool ownNested =
                property.m_nested && V_VT(&value) == VT_DISPATCH &&
                V_DISPATCH(&value) == static_cast<ISProperties*>(property.m_nested.Get());
            VARTYPE type = VT_EMPTY;
            std::wstring text;
            if (ownNested) {
                out += L"N\t";
            } else {
                if (!ValueText(value, type, text)) {
                    type = VT_EMPTY;
                    text.clear();
                }
                out += DecimalText(type);
                out += L'\t';
                out += text;
            }
            out += L'\n';
            if (property.m_nested) {
                out += L"{\n";
                Bag(*property.m_nested.Get(), depth + 1);
                out += L"}\n";
            }
        }
    } writer{out};
    writer.Bag(*this, 0);
    return out;
}

namespace {

// Reads bags from lines into host bags (not yet shared, so no lock is taken).
struct Reader {
    std::vector<std::wstring_view> lines;
    size_t next = 0;

    // Reads properties until the end or a "}" line (consumed when inBag).
    HRESULT Bag(CBag& bag, int depth, bool inBag,
                const std::function<HRESULT(CBag&, const std::wstring&, Variant&, long,
                                            ComPtr<CProperty>*)>& add,
                const std::function<HRESULT(CBag&, BSTR, BSTR)>& setup,
                const std::function<HRESULT(CProperty&, ComPtr<CBag>*)>& nested,
                const std::function<void(CProperty&, CBag&)>& valueIsNested) {
        if (depth > kMaxDepth) return E_INVALIDARG;
        bool first = true;
        while (next < lines.size()) {
            const std::wstring_view line = lines[next++];
            if (line.empty()) continue;
            if (line == L"}") return inBag ? S_OK : E_INVALIDARG;
            const auto fields = Fields(line);
            if (first && fields.size() == 3 && fields[0] == L"#list") {
                std::wstring count, prefix;
                if (!Unescape(fields[1], count) || !Unescape(fields[2], prefix))
                    return E_INVALIDARG;
                Bstr countText(count), prefixText(prefix);
                HRESULT hr = setup(bag, countText.get(), prefixText.get());
                if (FAILED(hr)) return hr;
                first = false;
                continue;
            }
            first = false;
            if (fields.size() != 4) return E_INVALIDARG;
            std::wstring name;
            if (!Unescape(fields[0], name) || name.empty()) return E_INVALIDARG;
            wchar_t* end = nullptr;
            const std::wstring flagText(fields[1]);
            const unsigned long flags = std::wcstoul(flagText.c_str(), &end, 16);
            if (flagText.empty() || *end != L'\0') return E_INVALIDARG;
            const bool ownNested = fields[2] == L"N";
            Variant value;
            if (!ownNested) {
                const std::wstring typeText(fields[2]);
                const unsigned long type = std::wcstoul(typeText.c_str(), &end, 10);
                if (typeText.empty() || *end != L'\0' || type > 0xFFFF) return E_INVALIDARG;
                HRESULT hr = ParseValue(static_cast<VARTYPE>(type), fields[3], value);
                if (FAILED(hr)) return hr;
            } else if (!fields[3].empty()) {
                return E_INVALIDARG;
            }
            ComPtr<CProperty> property;
            HRESULT hr = add(bag, name, value, static_cast<long>(flags), &property);
            if (FAILED(hr)) return hr;
            const bool opens = next < lines.size() && lines[next] == L"{";
            if (ownNested && !opens) return E_INVALIDARG;
            if (opens) {
                ++next;
                ComPtr<CBag> inner;
                hr = nested(*property.Get(), &inner);
                if (FAILED(hr)) return hr;
                hr = Bag(*inner.Get(), depth + 1, true, add, setup, nested, valueIsNested);
                if (FAILED(hr)) return hr;
                if (ownNested) valueIsNested(*property.Get(), *inner.Get());
            }
        }
        return inBag ? E_INVALIDARG : S_OK;
    }
};

}  // namespace

HRESULT CBag::DeserializeText(std::wstring_view text) {
    ComPtr<CBag> parsed = Create();
    Reader reader{Lines(text)};
    HRESULT hr = reader.Bag(
        *parsed.Get(), 0, false,
        [](CBag& bag, const std::wstring& name, Variant& value, long flags,
           ComPtr<CProperty>* property) {
            return bag.AddLocked(name, *value.get(), flags, true, property);
        },
        [](CBag& bag, BSTR count, BSTR prefix) {
            HookSuppressed quiet;
            return bag.m_list.Setup(count, prefix);
        },
        [](CProperty& property, ComPtr<CBag>* inner) {
            if (!property.m_nested) property.m_nested = Make<CBag>(property.m_tree);
            *inner = property.m_nested;
            return S_OK;
        },
        [](CProperty& property, CBag& inner) {
            VARIANT self;
            V_VT(&self) = VT_DISPATCH;
            V_DISPATCH(&self) = static_cast<ISProperties*>(&inner);
            property.m_value.CopyFrom(self);
        });
    if (FAILED(hr)) return hr;
    ReplaceContents(*parsed.Get());
    return S_OK;
}

HRESULT CBag::MergeText(std::wstring_view text) {
    ComPtr<CBag> parsed = Create();
    HRESULT hr = parsed->DeserializeText(text);
    if (FAILED(hr)) return hr;
    // Each property of the text replaces (or adds) its namesake; a nested bag in the text
    // replaces the nested bag's contents.
    std::vector<std::pair<std::wstring, ComPtr<CProperty>>> properties;
    {
        std::lock_guard<HostLock> guard(parsed->m_tree->lock);
        for (const auto& property : parsed->m_ordinary)
            if (property) properties.emplace_back(property->m_name, property);
        for (size_t i = 0; i < parsed->m_elements.size(); ++i)
            if (parsed->m_elements[i].property)
                properties.emplace_back(parsed->ElementNameLocked(i + 1),
                                        parsed->m_elements[i].property);
    }
    for (auto& [name, source] : properties) {
        const VARIANT& value = source->m_value.ref();
        const bool ownNested =
            source->m_nested && V_VT(&value) == VT_DISPATCH &&
            V_DISPATCH(&value) == static_cast<ISProperties*>(source->m_nested.Get());
        ComPtr<CBag> inner;
        if (source->m_nested) {
            hr = NestedBag(name, source->m_flags, &inner);
            if (FAILED(hr)) return hr;
            inner->ReplaceContents(*source->m_nested.Get());
        }
        if (ownNested) {
            VARIANT self;
            V_VT(&self) = VT_DISPATCH;
            V_DISPATCH(&self) = static_cast<ISProperties*>(inner.Get());
            hr = AddProperty(name, self, source->m_flags);
        } else {
            hr = AddProperty(name, value, source->m_flags);
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace RefHost::Detail
