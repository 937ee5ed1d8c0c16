// Reading and writing ID-list properties of a host bag directly (not through the collection), so
// that tests see exactly what the host holds.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <optional>
#include <string>
#include <vector>

#include "objrelativesimpl.h"
#include "pravhelper500.h"
#include "refhost.h"
#include "scoped.h"
#include "support/hresult_checks.h"

namespace RelTest {

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using IdList = std::vector<long>;

inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80042A37L);
inline constexpr HRESULT kNotInCollection = static_cast<HRESULT>(0x80042A3AL);

inline ComPtr<ISProperties> BagOf(ISInfoObject* object) {
    ComPtr<ISProperties> bag;
    EXPECT_EQ(S_OK, object->get_Properties(&bag));
    return bag;
}

inline ComPtr<ISProperty> PropertyOf(ISProperties* bag, const wchar_t* name) {
    ScopedVariant key;
    key.SetBstr(name);
    ComPtr<ISProperty> property;
    return SUCCEEDED(bag->get_Item(key.Get(), &property)) ? property : nullptr;
}

inline ComPtr<ISPropertyBagCollection> ListOf(ISProperties* bag, const wchar_t* name) {
    ComPtr<ISProperty> property = PropertyOf(bag, name);
    ComPtr<ISProperties> nested;
    ComPtr<ISPropertyBagCollection> list;
    if (property && SUCCEEDED(property->get_Properties(&nested))) nested.As(&list);
    return list;
}

// The values of list property `name` (a value that is not VT_I4 shows as -1); nothing when the
// property is absent.
inline std::optional<IdList> IdsOf(ISProperties* bag, const wchar_t* name) {
    ComPtr<ISPropertyBagCollection> list = ListOf(bag, name);
    if (!list) return std::nullopt;
    long count = 0;
    EXPECT_EQ(S_OK, list->get_Count(&count));
    IdList ids;
    for (long p = 1; p <= count; ++p) {
        ScopedVariant position, value;
        position.SetI4(p);
        EXPECT_EQ(S_OK, list->get_Item(position.Get(), value.Receive()));
        ids.push_back(value.Type() == VT_I4 ? V_I4(&value.Get()) : -1);
    }
    return ids;
}

// The flags of property `name`; -1 when absent.
inline long FlagsOf(ISProperties* bag, const wchar_t* name) {
    ComPtr<ISProperty> property = PropertyOf(bag, name);
    long flags = -1;
    if (property && FAILED(property->get_Flags(&flags))) ADD_FAILURE() << "get_Flags";
    return flags;
}

inline long PropertyCount(ISProperties* bag) {
    return Get(bag, &ISProperties::get_Count);
}

// Writes list property `name` (empty text, `flags`) with the given values.
inline void PutValues(ISProperties* bag, const wchar_t* name, const std::vector<VARIANT>& values,
                      long flags = kMainListFlags) {
    ScopedBstr nameText(name);
    ScopedVariant empty;
    empty.SetBstr(L"");
    ComPtr<ISProperty> property;
    ASSERT_EQ(S_OK, bag->Add(nameText.Get(), empty.Get(), flags, &property));
    ComPtr<ISPropertyBagCollection> list =
        Face<ISPropertyBagCollection>(Fetch(property.Get(), &ISProperty::get_Properties).Get());
    for (const VARIANT& value : values) ASSERT_EQ(S_OK, list->Append(value));
}

inline void PutIds(ISProperties* bag, const wchar_t* name, const IdList& ids,
                   long flags = kMainListFlags) {
    std::vector<VARIANT> values(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        V_VT(&values[i]) = VT_I4;
        V_I4(&values[i]) = ids[i];
    }
    PutValues(bag, name, values, flags);
}

// Writes list property `name` element by element, as another client may have stored it: the
// host's own Append refuses an ID the list holds, so only this way does a list hold one twice.
inline void PutStoredIds(ISProperties* bag, const wchar_t* name, const IdList& ids) {
    ScopedVariant value;
    value.SetBstr(L"");
    ComPtr<ISProperty> property;
    ASSERT_EQ(S_OK, bag->Add(ScopedBstr(name).Get(), value.Get(), kMainListFlags, &property));
    ComPtr<ISProperties> nested = Fetch(property.Get(), &ISProperty::get_Properties);
    ComPtr<ISProperty> element;
    value.SetI4(static_cast<LONG>(ids.size()));
    ASSERT_EQ(S_OK, nested->Add(ScopedBstr(Pravhelper500::WP_SI_TOTAL_W).Get(), value.Get(), 0,
                                &element));
    for (size_t i = 0; i < ids.size(); ++i) {
        value.SetI4(ids[i]);
        ASSERT_EQ(S_OK, nested->Add(ScopedBstr(std::to_wstring(i + 1).c_str()).Get(), value.Get(),
                                    0, element.ReleaseAndGetAddressOf()));
    }
}

// Marks the object new the way initialisation does.
inline void MarkNew(ISProperties* bag) {
    ScopedBstr name(Pravhelper500::WP_SI_NEWOBJECT_W);
    ScopedVariant marker;
    marker.SetBool(VARIANT_TRUE);
    ComPtr<ISProperty> property;
    ASSERT_EQ(S_OK, bag->Add(name.Get(), marker.Get(), 0x2000000, &property));
}

// The collection's elements read through get_Count and get_Item by position.
inline IdList ItemsOf(ISObjectRelativeIDs* ids) {
    long count = -1;
    EXPECT_EQ(S_OK, ids->get_Count(&count));
    IdList items;
    for (long p = 1; p <= count; ++p) {
        ScopedVariant index;
        index.SetI4(p);
        long id = 0;
        EXPECT_EQ(S_OK, ids->get_Item(index.Get(), &id));
        items.push_back(id);
    }
    return items;
}

inline ScopedVariant* Key(ScopedVariant& index, long id) {
    index.SetBstr((L"#" + std::to_wstring(id)).c_str());
    return &index;
}
inline HRESULT ItemByKey(ISObjectRelativeIDs* ids, long key, long* id) {
    ScopedVariant index;
    return ids->get_Item(Key(index, key)->Get(), id);
}
inline HRESULT DeleteByKey(ISObjectRelativeIDs* ids, long key) {
    ScopedVariant index;
    return ids->Delete(Key(index, key)->Get());
}
inline HRESULT DeleteAt(ISObjectRelativeIDs* ids, long position) {
    ScopedVariant index;
    index.SetI4(position);
    return ids->Delete(index.Get());
}
// Every ID of expected is found by its key and answered as itself.
inline void ExpectKeysFind(ISObjectRelativeIDs* ids, const IdList& expected) {
    for (long id : expected) {
        long found = 0;
        EXPECT_HR(S_OK, ItemByKey(ids, id, &found)) << id;
        EXPECT_EQ(id, found);
    }
}

}  // namespace RelTest
