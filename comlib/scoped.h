// Owners of a BSTR and of a VARIANT. Neither copies implicitly: names say whether a call takes
// ownership (Reset, Receive) or copies (CopyFrom, SetBstr).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cassert>
#include <utility>

namespace ComLib {

class ScopedBstr {
public:
    ScopedBstr() noexcept = default;
    // Allocates a copy of text; Get() is null when text is null or the allocation failed.
    explicit ScopedBstr(const wchar_t* text) noexcept : m_bstr(text ? SysAllocString(text) : nullptr) {}
    ~ScopedBstr() { SysFreeString(m_bstr); }
    ScopedBstr(ScopedBstr&& other) noexcept : m_bstr(std::exchange(other.m_bstr, nullptr)) {}
    ScopedBstr& operator=(ScopedBstr&& other) noexcept {
        Reset(std::exchange(other.m_bstr, nullptr));
        return *this;
    }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;

    // DOES NOT copy: the owner keeps the string.
    BSTR Get() const noexcept { return m_bstr; }
    UINT Length() const noexcept { return SysStringLen(m_bstr); }
    // Takes ownership of bstr, freeing what was held.
    void Reset(BSTR bstr = nullptr) noexcept {
        if (bstr != m_bstr) SysFreeString(m_bstr);
        m_bstr = bstr;
    }
    // Hands the string to the caller, who frees it.
    BSTR Release() noexcept { return std::exchange(m_bstr, nullptr); }
    // Out-parameter for a call that allocates; the owner must be empty.
    BSTR* Receive() noexcept {
        assert(m_bstr == nullptr);
        return &m_bstr;
    }

private:
    BSTR m_bstr = nullptr;
};

class ScopedVariant {
public:
    ScopedVariant() noexcept { VariantInit(&m_var); }
    ~ScopedVariant() { VariantClear(&m_var); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    // Moving hands the value over; the source is left VT_EMPTY.
    ScopedVariant(ScopedVariant&& other) noexcept : m_var(other.Release()) {}
    ScopedVariant& operator=(ScopedVariant&& other) noexcept {
        if (this != &other) Attach(other.m_var);
        return *this;
    }

    const VARIANT& Get() const noexcept { return m_var; }
    VARTYPE Type() const noexcept { return V_VT(&m_var); }
    // In-out access for calls that read or write the held value in place.
    VARIANT* Ptr() noexcept { return &m_var; }
    // Out-parameter for a call that fills a VT_EMPTY variant; the owner must be empty.
    VARIANT* Receive() noexcept {
        assert(V_VT(&m_var) == VT_EMPTY);
        return &m_var;
    }
    void Reset() noexcept { VariantClear(&m_var); }
    // Takes ownership of value, clearing what was held; the caller's variant is left VT_EMPTY.
    void Attach(VARIANT& value) noexcept {
        VariantClear(&m_var);
        m_var = value;
        VariantInit(&value);
    }
    // Hands the value to the caller, who clears it; the owner is left VT_EMPTY.
    VARIANT Release() noexcept {
        VARIANT out = m_var;
        VariantInit(&m_var);
        return out;
    }

    // Deep copy of source (VariantCopy); a failure leaves the owner VT_EMPTY.
    HRESULT CopyFrom(const VARIANT& source) noexcept {
        Reset();
        return VariantCopy(&m_var, const_cast<VARIANT*>(&source));
    }
    // A VT_BSTR copy of text; E_OUTOFMEMORY when the string cannot be allocated.
    HRESULT SetBstr(const wchar_t* text) noexcept {
        Reset();
        BSTR copy = SysAllocString(text ? text : L"");
        if (copy == nullptr) return E_OUTOFMEMORY;
        V_VT(&m_var) = VT_BSTR;
        V_BSTR(&m_var) = copy;
        return S_OK;
    }
    void SetI4(LONG value) noexcept {
        Reset();
        V_VT(&m_var) = VT_I4;
        V_I4(&m_var) = value;
    }
    void SetI2(SHORT value) noexcept {
        Reset();
        V_VT(&m_var) = VT_I2;
        V_I2(&m_var) = value;
    }
    void SetBool(VARIANT_BOOL value) noexcept {
        Reset();
        V_VT(&m_var) = VT_BOOL;
        V_BOOL(&m_var) = value;
    }
    // Converts the held value in place (VariantChangeType, flags 0).
    HRESULT ChangeType(VARTYPE type) noexcept { return VariantChangeType(&m_var, &m_var, 0, type); }

private:
    VARIANT m_var;
};

}  // namespace ComLib
