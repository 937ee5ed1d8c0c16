// Shared helpers of the reference host's tests. Every test keeps its host objects in locals, so
// that TearDown can check that none is left alive.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>

#include "refhost.h"
#include "scoped.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80042A37L);
inline constexpr HRESULT kAlreadyInList = static_cast<HRESULT>(0x80042A5AL);
inline constexpr HRESULT kNotInCollection = static_cast<HRESULT>(0x80042A3AL);

// Status codes in hex in failure messages.
struct Hr {
    HRESULT value;
    bool operator==(const Hr& other) const { return value == other.value; }
};
inline std::ostream& operator<<(std::ostream& out, const Hr& hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr.value));
    return out << text;
}
#define EXPECT_HR(expected, call) EXPECT_EQ(Hr{static_cast<HRESULT>(expected)}, Hr{(call)})
#define ASSERT_HR(expected, call) ASSERT_EQ(Hr{static_cast<HRESULT>(expected)}, Hr{(call)})

class RefHostTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, RefHost::LiveObjectCount()); }
    void TearDown() override {
        RefHost::ClearFaults();
        RefHost::EnableCallLog(false);
        RefHost::ClearCallLog();
        EXPECT_EQ(0, RefHost::LiveObjectCount()) << "a host object was leaked";
    }

    // A new object of kind in repository.
    static ComPtr<ISInfoObject> NewObject(RefHost::Repository& repository, const wchar_t* kind) {
        ComPtr<ISInfoObject> object;
        EXPECT_HR(S_OK, repository.NewObject(kind, &object));
        return object;
    }
    static long IdOf(ISInfoObject* object) {
        LONG id = 0;
        EXPECT_HR(S_OK, object->get_ID(&id));
        return id;
    }

    static ComPtr<ISProperties> NewBag() {
        ComPtr<ISProperties> bag;
        EXPECT_HR(S_OK, RefHost::CreatePropertyBag(&bag));
        return bag;
    }
    static ComPtr<ISPropertyBagCollection> ListOf(const ComPtr<ISProperties>& bag) {
        ComPtr<ISPropertyBagCollection> list;
        EXPECT_HR(S_OK, bag.As(&list));
        return list;
    }
};

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

// The value at a list position as a 32-bit integer (LONG_MIN when it cannot be read).
inline long ItemI4(ISPropertyBagCollection* list, long position) {
    ScopedVariant value;
    if (FAILED(list->get_Item(I4(position), value.Receive()))) return LONG_MIN;
    if (FAILED(value.ChangeType(VT_I4))) return LONG_MIN;
    return V_I4(&value.Get());
}

inline long CountOf(ISPropertyBagCollection* list) {
    LONG count = -1;
    EXPECT_HR(S_OK, list->get_Count(&count));
    return count;
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

inline std::wstring ToString(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : L"";
}
