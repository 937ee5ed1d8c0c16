// Status checks that print the codes in hex, and readers of a getter's value that check its
// status, for tests that drive host objects and key objects member by member.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

inline std::string HrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}
#define EXPECT_HR(expected, call) \
    EXPECT_EQ(HrText(static_cast<HRESULT>(expected)), HrText(static_cast<HRESULT>(call)))
#define ASSERT_HR(expected, call) \
    ASSERT_EQ(HrText(static_cast<HRESULT>(expected)), HrText(static_cast<HRESULT>(call)))

// The value that getter hands out; the getter must answer S_OK. The value starts as 0x55 bytes,
// so that a getter that answers S_OK without writing it shows.
template <class Object, class Interface, class T>
T Get(Object* object, HRESULT (STDMETHODCALLTYPE Interface::*getter)(T*)) {
    T value;
    std::memset(&value, 0x55, sizeof value);
    EXPECT_HR(S_OK, (object->*getter)(&value));
    return value;
}

// The text that getter hands out (empty for a null BSTR); the getter must answer S_OK.
template <class Object, class Interface>
std::wstring GetText(Object* object, HRESULT (STDMETHODCALLTYPE Interface::*getter)(BSTR*)) {
    BSTR text = nullptr;
    EXPECT_HR(S_OK, (object->*getter)(&text));
    std::wstring value = text ? std::wstring(text, SysStringLen(text)) : L"";
    SysFreeString(text);
    return value;
}

// Ends the test when a call that hands out an object did not answer S_OK: the exception is
// reported as the test's failure, after the status in hex.
inline void RequireHr(HRESULT hr, const char* what) {
    if (hr == S_OK) return;
    ADD_FAILURE() << what << " answered " << HrText(hr);
    throw std::runtime_error(what);
}

// The object that getter hands out; the getter must answer S_OK, or the test ends.
template <class Object, class Interface, class T>
Microsoft::WRL::ComPtr<T> Fetch(Object* object,
                                HRESULT (STDMETHODCALLTYPE Interface::*getter)(T**)) {
    Microsoft::WRL::ComPtr<T> value;
    RequireHr((object->*getter)(&value), "the getter");
    return value;
}

// The face T of object; the query must answer S_OK, or the test ends.
template <class T>
Microsoft::WRL::ComPtr<T> Face(IUnknown* object) {
    Microsoft::WRL::ComPtr<T> face;
    RequireHr(object->QueryInterface(IID_PPV_ARGS(&face)), "QueryInterface");
    return face;
}
