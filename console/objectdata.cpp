// Committed objects in the repository's own form.
#include "objectdata.h"

#include <wrl/client.h>

#include <stdexcept>

#include "failure.h"
#include "import.h"
#include "text.h"

namespace KeyTool {

namespace {

using Microsoft::WRL::ComPtr;

struct TypeEntry {
    VARTYPE type;
    const char* name;
};

constexpr TypeEntry kTypes[] = {
    {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I1, "VT_I1"},     {VT_I2, "VT_I2"},
    {VT_I4, "VT_I4"},       {VT_I8, "VT_I8"},     {VT_INT, "VT_INT"},   {VT_UI1, "VT_UI1"},
    {VT_UI2, "VT_UI2"},     {VT_UI4, "VT_UI4"},   {VT_UI8, "VT_UI8"},   {VT_UINT, "VT_UINT"},
    {VT_R4, "VT_R4"},       {VT_R8, "VT_R8"},     {VT_DATE, "VT_DATE"}, {VT_BOOL, "VT_BOOL"},
    {VT_BSTR, "VT_BSTR"},
};

[[noreturn]] void CannotStore(long id, const std::wstring& what) {
    Fail(kExitRepository, L"cannot save object " + std::to_wstring(id) + L": " + what +
                              L"; the repository was left as it was");
}

void Check(HRESULT hr, long id, const wchar_t* call) {
    if (FAILED(hr))
        CannotStore(id, std::wstring(L"reading its properties failed (") + call + L": " +
                            StatusText(hr) + L")");
}

template <typename Bag>
auto* Find(Bag& bag, const wchar_t* name) {
    for (auto& property : bag)
        if (SameName(property.name, name)) return &property;
    return static_cast<decltype(&bag[0])>(nullptr);
}

}  // namespace

const char* TypeName(VARTYPE type) {
    for (const TypeEntry& known : kTypes)
        if (known.type == type) return known.name;
    return nullptr;
}

bool TypeFromName(const std::string& name, VARTYPE& type) {
    for (const TypeEntry& known : kTypes)
        if (name == known.name) {
            type = known.type;
            return true;
        }
    return false;
}

std::string StorableTypeNames() {
    std::string names;
    for (const TypeEntry& known : kTypes)
        names += (names.empty() ? "" : ", ") + std::string(known.name);
    return names;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

const StoredProperty* FindProperty(const StoredBag& bag, const wchar_t* name) {
    return Find(bag, name);
}

StoredProperty* FindProperty(StoredBag& bag, const wchar_t* name) {
    return Find(bag, name);
}

namespace {

StoredBag ReadHostBag(ISProperties* bag, long id, int depth) {
    if (depth > kMaxBagDepth) CannotStore(id, L"its property bags are nested too deeply");
    StoredBag stored;
    ComPtr<IUnknown> enumerator;
    Check(bag->get__NewEnum(&enumerator), id, L"ISProperties::_NewEnum");
    ComPtr<IEnumVARIANT> items;
    Check(enumerator.As(&items), id, L"IEnumVARIANT");
    for (;;) {
        ComLib::ScopedVariant item;
        ULONG fetched = 0;
        const HRESULT next = items->Next(1, item.Receive(), &fetched);
        Check(next, id, L"IEnumVARIANT::Next");
        if (next != S_OK || fetched == 0) break;
        ComPtr<ISProperty> property;
        const bool object =
            (item.Type() == VT_DISPATCH || item.Type() == VT_UNKNOWN) && V_UNKNOWN(&item.Get());
        Check(object ? V_UNKNOWN(&item.Get())->QueryInterface(IID_PPV_ARGS(&property))
                     : E_NOINTERFACE,
              id, L"ISProperty");

        StoredProperty entry;
        ComLib::ScopedBstr name;
        Check(property->get_Name(name.Receive()), id, L"ISProperty::Name");
        entry.name.assign(name.Get() ? name.Get() : L"", name.Length());
        Check(property->get_Value(entry.value.Receive()), id, L"ISProperty::Value");
        Check(property->get_Flags(&entry.flags), id, L"ISProperty::Flags");
        if (TypeName(entry.value.Type()) == nullptr)
            CannotStore(id, L"its property " + Excerpt(entry.name) + L" holds a value of type " +
                                std::to_wstring(entry.value.Type()) +
                                L" that the repository cannot hold");
        try {
            ToUtf8(entry.name);
            if (entry.value.Type() == VT_BSTR)
                ToUtf8(std::wstring_view(V_BSTR(&entry.value.Get()),
                                         SysStringLen(V_BSTR(&entry.value.Get()))));
        } catch (const std::runtime_error&) {
            CannotStore(id, L"the name or text of its property " + Excerpt(entry.name) +
                                L" is not valid UTF-16");
        }
        ComPtr<ISProperties> nested;
        Check(property->get_Properties(&nested), id, L"ISProperty::Properties");
        LONG count = 0;
        if (nested) Check(nested->get_Count(&count), id, L"ISProperties::Count");
        if (count > 0) entry.properties = ReadHostBag(nested.Get(), id, depth + 1);
        stored.push_back(std::move(entry));
    }
    return stored;
}

}  // namespace

StoredBag BagFromHost(ISProperties* bag, long id) {
    return ReadHostBag(bag, id, 0);
}

HRESULT BagToHost(const StoredBag& stored, ISProperties* bag, std::wstring& where) {
    for (const StoredProperty& entry : stored) {
        ComLib::ScopedBstr name;
        name.Reset(SysAllocStringLen(entry.name.data(), static_cast<UINT>(entry.name.size())));
        if (name.Get() == nullptr) return E_OUTOFMEMORY;
        ComPtr<ISProperty> property;
        HRESULT hr = bag->Add(name.Get(), entry.value.Get(), entry.flags, &property);
        if (SUCCEEDED(hr) && !property) hr = E_POINTER;
        if (FAILED(hr)) {
            where = entry.name;
            return hr;
        }
        if (entry.properties.empty()) continue;
        ComPtr<ISProperties> nested;
        hr = property->get_Properties(&nested);
        if (SUCCEEDED(hr) && !nested) hr = E_POINTER;
        if (FAILED(hr)) {
            where = entry.name;
            return hr;
        }
        hr = BagToHost(entry.properties, nested.Get(), where);
        if (FAILED(hr)) {
            where = entry.name + L"." + where;
            return hr;
        }
    }
    return S_OK;
}

HRESULT MoveBagToHost(StoredBag& stored, ISProperties* bag, std::wstring& where) {
    for (StoredProperty& entry : stored) {
        const bool hasNested = !entry.properties.empty();
        ComPtr<ISProperties> nested;
        HRESULT hr = RefHost::AddSavedProperty(bag, entry.name, *entry.value.Ptr(), entry.flags,
                                               hasNested ? nested.GetAddressOf() : nullptr);
        if (SUCCEEDED(hr) && hasNested && !nested) hr = E_POINTER;
        if (FAILED(hr)) {
            where = entry.name;
            return hr;
        }
        if (!hasNested) continue;
        hr = MoveBagToHost(entry.properties, nested.Get(), where);
        if (FAILED(hr)) {
            where = entry.name + L"." + where;
            return hr;
        }
    }
    return S_OK;
}

bool IntegerValue(const VARIANT& value, long& out) {
    switch (V_VT(&value)) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UINT:
        case VT_UI8:
            break;
        default:
            return false;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_I4))) return false;
    out = V_I4(&converted);
    return true;
}

void TakeKindAndTitle(StoredObject& object) {
    const auto text = [&](const wchar_t* name) {
        const StoredProperty* found = FindProperty(object.properties, name);
        if (found == nullptr || found->value.Type() != VT_BSTR) return std::wstring();
        const BSTR value = V_BSTR(&found->value.Get());
        return std::wstring(value ? value : L"", SysStringLen(value));
    };
    object.kind = text(L"SI_KIND");
    object.title = text(L"SI_NAME");
}

}  // namespace KeyTool
