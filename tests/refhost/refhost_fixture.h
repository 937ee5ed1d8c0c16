// Shared helpers of the reference host's tests. Every test keeps its host objects in locals, so
// that TearDown can check that none is left alive.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "refhost.h"
#include "scoped.h"
#include "support/hresult_checks.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80042A37L);
inline constexpr HRESULT kAlreadyInList = static_cast<HRESULT>(0x80042A5AL);
inline constexpr HRESULT kNotInCollection = static_cast<HRESULT>(0x80042A3AL);

inline VARIANT I4(long value) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}

// A VT_BSTR variant that owns its text.
class Text {
  public:
    explicit Text(const wchar_t* text) { m_value.SetBstr(text); }
    operator VARIANT() const { return m_value.Get(); }  // NOLINT: passed by value, not owned
    const VARIANT& Get() const { return m_value.Get(); }

  private:
    ScopedVariant m_value;
};

class RefHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, RefHost::LiveObjectCount());
        repository = RefHost::CreateRepository();
    }
    void TearDown() override {
        repository.reset();
        RefHost::ClearFaults();
        RefHost::EnableCallLog(false);
        RefHost::ClearCallLog();
        EXPECT_EQ(0, RefHost::LiveObjectCount()) << "a host object was leaked";
    }

    std::shared_ptr<RefHost::Repository> repository;  // released before the count is checked

    // A new object of kind in repository.
    static ComPtr<ISInfoObject> NewObject(RefHost::Repository& repository, const wchar_t* kind) {
        ComPtr<ISInfoObject> object;
        EXPECT_HR(S_OK, repository.NewObject(kind, &object));
        return object;
    }
    static long IdOf(ISInfoObject* object) { return Get(object, &ISInfoObject::get_ID); }
    static ComPtr<ISProperties> BagOf(ISInfoObject* object) {
        return Fetch(object, &ISInfoObject::get_Properties);
    }

    static ComPtr<ISProperties> NewBag() {
        ComPtr<ISProperties> bag;
        EXPECT_HR(S_OK, RefHost::CreatePropertyBag(&bag));
        return bag;
    }
    static ComPtr<ISPropertyBagCollection> ListOf(const ComPtr<ISProperties>& bag) {
        return Face<ISPropertyBagCollection>(bag.Get());
    }
    // Property name of bag, which must be there.
    static ComPtr<ISProperty> Item(ISProperties* bag, const wchar_t* name) {
        ComPtr<ISProperty> property;
        EXPECT_HR(S_OK, bag->get_Item(Text(name), &property)) << name;
        return property;
    }
    static VARIANT_BOOL Exists(ISProperties* bag, const wchar_t* name) {
        VARIANT_BOOL exists = 0x55;
        EXPECT_HR(S_OK, bag->Exists(ScopedBstr(name).Get(), &exists));
        return exists;
    }
    // A new property name of bag holding a list (empty text, flags); the list is handed back.
    static ComPtr<ISPropertyBagCollection> AddList(ISProperties* bag, const wchar_t* name,
                                                   long flags) {
        ComPtr<ISProperty> holder;
        ComPtr<ISProperties> nested;
        EXPECT_HR(S_OK, bag->Add(ScopedBstr(name).Get(), Text(L""), flags, &holder));
        EXPECT_HR(S_OK, holder ? holder->get_Properties(&nested) : E_POINTER);
        return nested ? ListOf(nested) : nullptr;
    }
    // The list held by property name of bag.
    static ComPtr<ISPropertyBagCollection> ListIn(ISProperties* bag, const wchar_t* name) {
        ComPtr<ISProperties> nested;
        ComPtr<ISProperty> holder = Item(bag, name);
        EXPECT_HR(S_OK, holder ? holder->get_Properties(&nested) : E_POINTER);
        return nested ? ListOf(nested) : nullptr;
    }
    // The bag that a list holds at position (null when the element is no bag).
    static ComPtr<ISProperties> BagAt(ISPropertyBagCollection* list, long position) {
        ScopedVariant value;
        ComPtr<ISProperties> element;
        EXPECT_HR(S_OK, list->get_Item(I4(position), value.Receive()));
        EXPECT_EQ(VT_DISPATCH, value.Type());
        EXPECT_HR(S_OK, value.Type() == VT_DISPATCH
                            ? V_DISPATCH(&value.Get())->QueryInterface(IID_PPV_ARGS(&element))
                            : E_NOINTERFACE);
        return element;
    }
};

// The value at a list position as a 32-bit integer (LONG_MIN when it cannot be read).
inline long ItemI4(ISPropertyBagCollection* list, long position) {
    ScopedVariant value;
    if (FAILED(list->get_Item(I4(position), value.Receive()))) return LONG_MIN;
    if (FAILED(value.ChangeType(VT_I4))) return LONG_MIN;
    return V_I4(&value.Get());
}

// Every value of a list, read as above.
inline std::vector<long> ValuesOf(ISPropertyBagCollection* list) {
    std::vector<long> values;
    LONG count = -1;
    EXPECT_HR(S_OK, list->get_Count(&count));
    for (long position = 1; position <= count; ++position) values.push_back(ItemI4(list, position));
    return values;
}

template <class List>
long CountOf(List* list) {
    return Get(list, &List::get_Count);
}

// The value of a bag property as text (empty when absent or not convertible).
inline std::wstring ValueText(ISProperties* bag, const wchar_t* name) {
    ComPtr<ISProperty> property;
    if (FAILED(bag->get_Item(Text(name), &property))) return L"";
    ScopedVariant value;
    if (FAILED(property->get_Value(value.Receive())) || FAILED(value.ChangeType(VT_BSTR)))
        return L"";
    return V_BSTR(&value.Get()) ? V_BSTR(&value.Get()) : L"";
}
