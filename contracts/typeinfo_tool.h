// Pieces shared by the build tools that read a type library (relink_typelib, cgk-reference): a
// failure that ends the tool, and holders that release what ITypeInfo hands out (type attributes,
// function and variable descriptions).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace TypeInfoTool {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws a Failure naming the call (and what it was about) when hr is a failure.
inline void Check(HRESULT hr, const char* what, const std::wstring& subject = L"") {
    if (FAILED(hr)) {
        char text[512];
        if (subject.empty())
            snprintf(text, sizeof text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
        else
            snprintf(text, sizeof text, "%s %ls failed: 0x%08lX", what, subject.c_str(),
                     static_cast<unsigned long>(hr));
        throw Failure(text);
    }
}

class Bstr {
  public:
    Bstr() = default;
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* Receive() { return &m_text; }
    BSTR Get() const { return m_text; }
    std::wstring Text() const { return m_text ? std::wstring(m_text, SysStringLen(m_text)) : L""; }

  private:
    BSTR m_text = nullptr;
};

// Attributes of a type information, released with the holder.
template <typename Desc, void (STDMETHODCALLTYPE ITypeInfo::*Release)(Desc*)>
class Held {
  public:
    explicit Held(ITypeInfo* info) : m_info(info) {}
    ~Held() {
        if (m_desc) (m_info->*Release)(m_desc);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Desc** Receive() { return &m_desc; }
    Desc* operator->() const { return m_desc; }
    Desc& operator*() const { return *m_desc; }

  private:
    ITypeInfo* m_info;
    Desc* m_desc = nullptr;
};

using TypeAttr = Held<TYPEATTR, &ITypeInfo::ReleaseTypeAttr>;
using FuncDesc = Held<FUNCDESC, &ITypeInfo::ReleaseFuncDesc>;
using VarDesc = Held<VARDESC, &ITypeInfo::ReleaseVarDesc>;

}  // namespace TypeInfoTool
