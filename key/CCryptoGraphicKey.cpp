// The key members, the object's identity (interface table, plug-in interfaces by name, MIME type,
// picture) and its commit check.
#include "CCryptoGraphicKey.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pravhelper500.h"
#include "zentil500.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using Zentil500::SWCharString;

namespace {

// Text written in trace lines in place of key material.
constexpr wchar_t kHiddenKeyText[] = L"***";

// The host's security-info interface, whose failures carry rich error information.
constexpr IID kIID_ISSecurityInfo = {0x0A23F351, 0x0186, 0x11D3, {0x90, 0x33, 0x00, 0xA0, 0xC9, 0xDA, 0xC8, 0xC2}};

constexpr long kMaxActivePeriod = 0x7FFFFFFF;

constexpr double kMillisecondsPerDay = 86400000.0;
// Days from 1601-01-01 (the FILETIME epoch) to 1899-12-30 (day 0 of a DATE).
constexpr std::int64_t kDaysFrom1601ToDateEpoch = 109205;

// Milliseconds of a wall-clock DATE since its epoch: the whole part counts days (negative before
// 1899-12-30), the fraction's absolute value is the time of that day.
std::int64_t DateMilliseconds(DATE date) {
    const double days = std::trunc(date);
    const double time = std::fabs(date - days);
    return static_cast<std::int64_t>(days * kMillisecondsPerDay + time * kMillisecondsPerDay);
}

// Milliseconds from the local wall-clock moment `created` to now. False for a value that is no
// date (not finite, or outside the range of dates).
bool ActivePeriodSince(DATE created, std::int64_t* elapsed) {
    SYSTEMTIME check;
    if (!std::isfinite(created) || !::VariantTimeToSystemTime(created, &check)) return false;
    const Zentil500::SDateTime moment(created, Zentil500::STimeZone::TZ_Local());
    if (moment.IsValid()) {
        *elapsed = (Zentil500::SDateTime::GetCurrentDateTime() - moment).GetTotalMilliseconds();
        return true;
    }
    // A date the system's time conversions do not reach (before 1601): from the date value and
    // the local time of now.
    SYSTEMTIME localNow;
    ::GetLocalTime(&localNow);
    FILETIME now;
    if (!::SystemTimeToFileTime(&localNow, &now)) return false;
    const std::int64_t nowSince1601 =
        static_cast<std::int64_t>((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) |
                                  now.dwLowDateTime) / 10000;
    const std::int64_t nowMs =
        nowSince1601 - kDaysFrom1601ToDateEpoch * static_cast<std::int64_t>(kMillisecondsPerDay);
    *elapsed = nowMs - DateMilliseconds(created);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading and writing the key properties

// The wrapped object's property `name` (steps 2 and 3 of every key member). On failure the exit
// line carrying the failed call's output has been written, at the member's line for that exit.
HRESULT CCryptoGraphicKey::FindProperty(const wchar_t* label, const wchar_t* name,
                                        ComPtr<ISProperty>& property, const FindSites& sites) {
    ComPtr<ISProperties> bag;
    HRESULT hr = this->get_Properties(&bag);
    if (SUCCEEDED(hr) && !bag) hr = E_POINTER;
    if (FAILED(hr)) {
        SDK_TRACE_EXIT_AT(sites[0], label, static_cast<long>(hr), SdkTrace::PointerText(bag.Get()));
        return hr;
    }
    ScopedVariant nameValue;
    hr = nameValue.SetBstr(name);
    if (FAILED(hr)) {
        SDK_TRACE_EXIT_AT(sites[1], label, static_cast<long>(hr));
        return hr;
    }
    hr = bag->get_Item(nameValue.Get(), &property);
    if (SUCCEEDED(hr) && !property) hr = E_POINTER;
    if (FAILED(hr)) {
        SDK_TRACE_EXIT_AT(sites[2], label, static_cast<long>(hr), SdkTrace::PointerText(property.Get()));
        return hr;
    }
    return hr;
}

// Reads property `name` into value converted to `type` (steps 2 to 5). Returns the status of the
// read; a value that cannot be converted fails with the conversion's status, so that nothing
// unconverted is ever handed out or compared. Failure exits are written at the member's lines.
HRESULT CCryptoGraphicKey::ReadProperty(const wchar_t* label, const wchar_t* name, VARTYPE type,
                                        ScopedVariant& value, ComPtr<ISProperty>* keep,
                                        const ReadSites& sites) {
    ComPtr<ISProperty> property;
    HRESULT hr = FindProperty(label, name, property, sites);
    if (FAILED(hr)) return hr;
    hr = property->get_Value(value.Receive());
    if (FAILED(hr)) {
        SDK_TRACE_EXIT_AT(sites[3], label, static_cast<long>(hr), SdkTrace::VariantText(&value.Get()));
        return hr;
    }
    const HRESULT converted = value.ChangeType(type);
    if (FAILED(converted)) {
        SDK_TRACE_EXIT_AT(sites[4], label, static_cast<long>(converted),
                          SdkTrace::VariantText(&value.Get()));
        return converted;
    }
    if (keep) *keep = property;
    return hr;
}

// The key text and the derived key text: the caller owns the returned string. Key material never
// reaches a trace line.
STDMETHODIMP CCryptoGraphicKey::get_KeyValue(BSTR* strKeyValue) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_KeyValue";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (strKeyValue == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer strKeyValue", GUID_NULL);
    ScopedVariant value;
    const HRESULT hr = ReadProperty(kLabel, Pravhelper500::WP_SI_VALUE_W, VT_BSTR, value, nullptr,
                                    {SDK_TRACE_SITE,    // no bag
                                     SDK_TRACE_SITE,    // no name
                                     SDK_TRACE_SITE,    // no property
                                     SDK_TRACE_SITE,    // no value
                                     SDK_TRACE_SITE});  // no conversion
    if (FAILED(hr)) return hr;
    *strKeyValue = value.Release().bstrVal;
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), kHiddenKeyText);
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_DerivedKey(BSTR* strDerivedKey) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_DerivedKey";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (strDerivedKey == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer strDerivedKey", GUID_NULL);
    ScopedVariant value;
    const HRESULT hr =
        ReadProperty(kLabel, Pravhelper500::WP_SI_DERIVED_KEY_W, VT_BSTR, value, nullptr,
                     {SDK_TRACE_SITE,    // no bag
                      SDK_TRACE_SITE,    // no name
                      SDK_TRACE_SITE,    // no property
                      SDK_TRACE_SITE,    // no value
                      SDK_TRACE_SITE});  // no conversion
    if (FAILED(hr)) return hr;
    *strDerivedKey = value.Release().bstrVal;
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), kHiddenKeyText);
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_KeyState(KvKeyState* KeyState) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_KeyState";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (KeyState == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer KeyState", GUID_NULL);
    ScopedVariant value;
    const HRESULT hr = ReadProperty(kLabel, Pravhelper500::WP_SI_KEY_STATE_W, VT_I4, value, nullptr,
                                    {SDK_TRACE_SITE,    // no bag
                                     SDK_TRACE_SITE,    // no name
                                     SDK_TRACE_SITE,    // no property
                                     SDK_TRACE_SITE,    // no value
                                     SDK_TRACE_SITE});  // no conversion
    if (FAILED(hr)) return hr;
    // Any stored integer is handed out unchanged, also one outside the enumeration.
    *KeyState = static_cast<KvKeyState>(V_I4(&value.Get()));
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::DecimalText(V_I4(&value.Get())));
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_isCompromised(VARIANT_BOOL* bisCompromised) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_isCompromised";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (bisCompromised == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer bisCompromised", GUID_NULL);
    ScopedVariant value;
    const HRESULT hr =
        ReadProperty(kLabel, Pravhelper500::WP_SI_IS_COMPROMISED_W, VT_BOOL, value, nullptr,
                     {SDK_TRACE_SITE,    // no bag
                      SDK_TRACE_SITE,    // no name
                      SDK_TRACE_SITE,    // no property
                      SDK_TRACE_SITE,    // no value
                      SDK_TRACE_SITE});  // no conversion
    if (FAILED(hr)) return hr;
    *bisCompromised = V_BOOL(&value.Get()) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::PointerText(bisCompromised));
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_ActivePeriodInMilliseconds(long* lActivePeriod) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_ActivePeriodInMilliseconds";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (lActivePeriod == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer lActivePeriod", GUID_NULL);
    ScopedVariant value;
    const HRESULT hr =
        ReadProperty(kLabel, Pravhelper500::WP_SI_CREATION_TIME_W, VT_DATE, value, nullptr,
                     {SDK_TRACE_SITE,    // no bag
                      SDK_TRACE_SITE,    // no name
                      SDK_TRACE_SITE,    // no property
                      SDK_TRACE_SITE,    // no value
                      SDK_TRACE_SITE});  // no conversion
    if (FAILED(hr)) return hr;

    // Milliseconds from the creation moment (local time) to now, dates included; a creation time
    // in the future gives 0, a period beyond the 32-bit range the largest value. Computed from
    // the date value itself, so that any valid date counts (also one before 1601); a value that
    // is no date at all is refused.
    std::int64_t elapsed = 0;
    if (!ActivePeriodSince(V_DATE(&value.Get()), &elapsed)) {
        SDK_TRACE_EXIT(kLabel, static_cast<long>(E_INVALIDARG), SdkTrace::PointerText(lActivePeriod));
        return E_INVALIDARG;
    }
    *lActivePeriod = static_cast<long>(std::clamp<std::int64_t>(elapsed, 0, kMaxActivePeriod));
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::PointerText(lActivePeriod));
    return hr;
} SDK_CATCH_RETURN()

// ---------------------------------------------------------------------------------------------
// Rekey and compromise commands. The check of the state and the write run under the object's
// lock, so two commands racing on one object cannot both pass the check.

// The work of a rekey command, whose guard and entry line are the member's own: moves the state
// from `required` to `next`, or refuses. Exit lines are written at the member's lines.
HRESULT CCryptoGraphicKey::Rekey(const wchar_t* label, KvKeyState required, KvKeyState next,
                                 const RekeySites& sites) {
    ComLib::CComObjectLock<ComLib::CComObjectRootEx> lock(this);
    ScopedVariant state;
    ComPtr<ISProperty> property;
    HRESULT hr =
        ReadProperty(label, Pravhelper500::WP_SI_KEY_STATE_W, VT_I4, state, &property, sites);
    if (FAILED(hr)) return hr;
    if (V_I4(&state.Get()) != required) {
        SDK_TRACE_EXIT_AT(sites[5], label, 0x80042A90u, SdkTrace::VariantText(&state.Get()));
        return KV_E_STATE_TRANSITION;
    }
    ScopedVariant newState;
    newState.SetI4(next);
    hr = property->put_Value(newState.Get());
    SDK_TRACE_EXIT_AT(sites[6], label, static_cast<long>(hr), SdkTrace::DecimalText(next));
    return hr;
}

STDMETHODIMP CCryptoGraphicKey::StartRekey() try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::StartRekey";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    return Rekey(kLabel, DEACTIVATED, REKEY_IN_PROGRESS,
                 {SDK_TRACE_SITE,    // no bag
                  SDK_TRACE_SITE,    // no name
                  SDK_TRACE_SITE,    // no property
                  SDK_TRACE_SITE,    // no value
                  SDK_TRACE_SITE,    // no conversion
                  SDK_TRACE_SITE,    // refused
                  SDK_TRACE_SITE});  // done
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::SuspendRekey() try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::SuspendRekey";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    return Rekey(kLabel, REKEY_IN_PROGRESS, REKEY_SUSPENDED,
                 {SDK_TRACE_SITE,    // no bag
                  SDK_TRACE_SITE,    // no name
                  SDK_TRACE_SITE,    // no property
                  SDK_TRACE_SITE,    // no value
                  SDK_TRACE_SITE,    // no conversion
                  SDK_TRACE_SITE,    // refused
                  SDK_TRACE_SITE});  // done
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::ResumeRekey() try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::ResumeRekey";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    return Rekey(kLabel, REKEY_SUSPENDED, REKEY_IN_PROGRESS,
                 {SDK_TRACE_SITE,    // no bag
                  SDK_TRACE_SITE,    // no name
                  SDK_TRACE_SITE,    // no property
                  SDK_TRACE_SITE,    // no value
                  SDK_TRACE_SITE,    // no conversion
                  SDK_TRACE_SITE,    // refused
                  SDK_TRACE_SITE});  // done
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::SetCompromised() try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::SetCompromised";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    ComLib::CComObjectLock<ComLib::CComObjectRootEx> lock(this);
    // A complete, traced call of the key member, as any caller would make it.
    KvKeyState state = static_cast<KvKeyState>(0);
    HRESULT hr = static_cast<ISCryptoGraphicKeyBase*>(this)->get_KeyState(&state);
    if (FAILED(hr)) {
        // Without a known state the flag is not written.
        SDK_TRACE_EXIT(kLabel, static_cast<long>(hr));
        return hr;
    }
    if (state == ACTIVE) {
        SDK_TRACE_EXIT(kLabel, 0x80042A90u);
        return KV_E_STATE_TRANSITION;
    }
    ComPtr<ISProperty> property;
    hr = FindProperty(kLabel, Pravhelper500::WP_SI_IS_COMPROMISED_W, property,
                      {SDK_TRACE_SITE,    // no bag
                       SDK_TRACE_SITE,    // no name
                       SDK_TRACE_SITE});  // no property
    if (FAILED(hr)) return hr;
    ScopedVariant flag;
    flag.SetI2(VARIANT_TRUE);  // a 16-bit integer -1, as the repository stores the flag
    hr = property->put_Value(flag.Get());
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr));
    return hr;
} SDK_CATCH_RETURN()

// ---------------------------------------------------------------------------------------------
// Identity

HRESULT CCryptoGraphicKey::_InternalQueryInterface(REFIID iid, void** ppv) noexcept {
    using ComLib::AnswerInterface;
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, IID_ISDesktopPlugin) ||
        InlineIsEqualGUID(iid, IID_ISDesktopPluginEx))
        return AnswerInterface<ISDesktopPluginEx>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISDesktopPluginInfo))
        return AnswerInterface<ISDesktopPluginInfo>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISCryptoGraphicKeyBase))
        return AnswerInterface<ISCryptoGraphicKeyBase>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISCryptoGraphicKey))
        return AnswerInterface<ISCryptoGraphicKey>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISDerivedKey)) return AnswerInterface<ISDerivedKey>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISWebView)) return AnswerInterface<ISWebView>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISCategoryContent))
        return AnswerInterface<ISCategoryContent>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISPublicationInfo))
        return AnswerInterface<ISPublicationInfo>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISInfoObject)) return AnswerInterface<ISInfoObject>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_IDispatch)) return AnswerInterface<ISCryptoGraphicKey>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISVersionedInfoObject))
        return AnswerInterface<ISVersionedInfoObject>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISupportErrorInfo))
        return AnswerInterface<ISupportErrorInfo>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_IMarshal)) {
        if (!m_pFreeThreadedMarshaler) return E_NOINTERFACE;
        return m_pFreeThreadedMarshaler->QueryInterface(iid, ppv);
    }
    // Every further interface of the host object is reachable through the plug-in object.
    if (!m_pInfoObject) return E_NOINTERFACE;
    const HRESULT hr = m_pInfoObject->QueryInterface(iid, ppv);
    if (FAILED(hr)) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return hr;
}

STDMETHODIMP CCryptoGraphicKey::get_PluginInterface(BSTR InterfaceName, IDispatch** pInterface) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_PluginInterface";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel, SdkTrace::BstrText(InterfaceName), SdkTrace::PointerText(pInterface));
    if (!m_pInfoObject) {
        SDK_ASSERT(this->m_pInfoObject);
        return E_FAIL;
    }
    const SWCharString name = SdkTrace::BstrText(InterfaceName);  // an absent name is empty
    SetLastInterface(name);

    const IID* own = nullptr;
    if (!name.empty()) {
        if (name.compareNoCase(L"ISCryptoGraphicKey") == 0 || name.compareNoCase(L"CryptoGraphicKey") == 0)
            own = &IID_ISCryptoGraphicKey;
        else if (name.compareNoCase(L"ISDesktopPluginInfo") == 0 ||
                 name.compareNoCase(L"DesktopPluginInfo") == 0)
            own = &IID_ISDesktopPluginInfo;
    }
    HRESULT hr;
    if (own != nullptr)
        hr = GetControllingUnknown()->QueryInterface(*own, reinterpret_cast<void**>(pInterface));
    else
        hr = m_pInfoObject->get_PluginInterface(InterfaceName, pInterface);
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), name, SdkTrace::PointerText(pInterface));
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_MimeType(BSTR* pType) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_MimeType";
    SDK_CALL_GUARD();
    SDK_TRACE_ENTRY(kLabel);
    if (pType == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer pType", GUID_NULL);

    HRESULT hr = S_OK;
    {
        // Filled once, even when first calls race.
        std::lock_guard<std::mutex> lock(m_mimeTypeLock);
        if (!m_mimeTypeCached) {
            ScopedBstr name(Pravhelper500::WP_SI_MIMETYPE_W);
            if (!name.Get()) return E_OUTOFMEMORY;
            ScopedVariant value;
            hr = this->get_Property(name.Get(), value.Receive());
            if (SUCCEEDED(hr)) {
                // A value that is no string is never used as one: the cache stays empty.
                const HRESULT converted = value.ChangeType(VT_BSTR);
                if (FAILED(converted)) {
                    hr = converted;
                } else {
                    BSTR text = V_BSTR(&value.Get());
                    BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text),
                                                      SysStringByteLen(text));
                    if (!copy) return E_OUTOFMEMORY;
                    m_mimeType.Reset(copy);
                    m_mimeTypeCached = true;
                }
            }
        }
        if (SUCCEEDED(hr) && m_mimeTypeCached) {
            BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(m_mimeType.Get()),
                                              m_mimeType.Get() ? SysStringByteLen(m_mimeType.Get()) : 0);
            if (!copy) return E_OUTOFMEMORY;  // the caller's variable stays as it was
            *pType = copy;
        } else {
            *pType = nullptr;
        }
    }
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::BstrText(*pType));
    return hr;
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::get_Picture(KvPictureKind RequestedPicture, VARIANT* pPicture) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::get_Picture";
    const int kind = static_cast<int>(RequestedPicture);
    // The output is written on success and never read: its entry text is empty.
    SDK_TRACE_ENTRY(kLabel, kind, SdkTrace::SWCharString());
    if (static_cast<unsigned>(RequestedPicture) > 4u || pPicture == nullptr) {
        SDK_TRACE_EXIT(kLabel, static_cast<long>(E_INVALIDARG), kind, SdkTrace::SWCharString());
        return E_INVALIDARG;
    }
    const HMODULE module = Zentil500::SResManager::CurrentModule();
    if (kind <= 1) {
        // The picture object owns the icon.
        PICTDESC pict = {};
        pict.cbSizeofstruct = sizeof(pict);
        pict.picType = PICTYPE_ICON;
        pict.icon.hicon = static_cast<HICON>(
            LoadImageW(module, MAKEINTRESOURCEW(kPictureIconResource), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
        if (pict.icon.hicon == NULL && Zentil500::ShouldAssert())
            Zentil500::SAssert(kBaseInfoObjectFile, __LINE__, "pict.icon.hicon != NULL");
        ComPtr<IPictureDisp> picture;
        const HRESULT created = pict.icon.hicon
            ? OleCreatePictureIndirect(&pict, IID_IPictureDisp, TRUE, reinterpret_cast<void**>(picture.GetAddressOf()))
            : E_FAIL;
        if (created != S_OK && Zentil500::ShouldAssert())
            Zentil500::SAssert(kBaseInfoObjectFile, __LINE__, "hr == S_OK");
        if (FAILED(created) && pict.icon.hicon) DestroyIcon(pict.icon.hicon);
        VariantInit(pPicture);
        V_VT(pPicture) = VT_DISPATCH;
        V_DISPATCH(pPicture) = picture.Detach();  // null when the picture could not be made
        SDK_TRACE_EXIT(kLabel, static_cast<long>(S_OK), kind, SdkTrace::VariantText(pPicture));
        return S_OK;
    }
    if (kind <= 3) {
        std::vector<BYTE> bytes;
        if (!Zentil500::SResManager::LoadResource(kPictureGifResource, L"GIF", bytes, module)) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(E_FAIL), kind, SdkTrace::SWCharString());
            return E_FAIL;
        }
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (array == nullptr) return E_OUTOFMEMORY;
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(array, &data))) {
            std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(data));
            SafeArrayUnaccessData(array);
        }
        VariantInit(pPicture);
        V_VT(pPicture) = VT_ARRAY | VT_UI1;
        V_ARRAY(pPicture) = array;
        SDK_TRACE_EXIT(kLabel, static_cast<long>(S_OK), kind, SdkTrace::VariantText(pPicture));
        return S_OK;
    }
    return E_INVALIDARG;  // kind 4: no picture of that kind, and no exit line
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::DoHTMLAction(BSTR, BSTR, VARIANT) try {
    return Pravhelper500::ReportTormicError(CLSID_CryptoGraphicKey, IID_ISCryptoGraphicKey,
                                            Pravhelper500::MSG_HTML_ACTION_REFUSED, {},
                                            KV_E_HTML_ACTION);
} SDK_CATCH_RETURN()

STDMETHODIMP CCryptoGraphicKey::InterfaceSupportsErrorInfo(REFIID iid) try {
    if (InlineIsEqualGUID(iid, IID_ISInfoObject) || InlineIsEqualGUID(iid, IID_ISDesktopPlugin) ||
        InlineIsEqualGUID(iid, IID_ISDesktopPluginEx) || InlineIsEqualGUID(iid, kIID_ISSecurityInfo))
        return S_OK;
    ComPtr<ISupportErrorInfo> hostErrorInfo;
    if (m_pInfoObject && SUCCEEDED(m_pInfoObject.As(&hostErrorInfo)) && hostErrorInfo)
        return hostErrorInfo->InterfaceSupportsErrorInfo(iid);
    return S_FALSE;
} SDK_CATCH_RETURN()

// ---------------------------------------------------------------------------------------------
// Commit check

STDMETHODIMP CCryptoGraphicKey::PrepareForCommit(VARIANT_BOOL flag) try {
    static constexpr wchar_t kLabel[] = L"CCryptoGraphicKey::PrepareForCommit";
    SDK_TRACE_ENTRY(kLabel, SdkTrace::BoolText(flag));
    if (!m_pInfoObject) {
        SDK_ASSERT(this->m_pInfoObject);
        return E_FAIL;
    }
    if (flag != VARIANT_FALSE) {
        ScopedBstr name(Pravhelper500::WP_SI_MIMETYPE_W);
        if (!name.Get()) return E_OUTOFMEMORY;
        ScopedVariant mimeType;
        const HRESULT hr = this->get_Property(name.Get(), mimeType.Receive());
        if (FAILED(hr)) {
            SDK_ASSERT_FAILED("Cannot commit this CryptoGraphicKey object: MIME type has not been set.");
            SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::BoolText(flag));
            return hr;
        }
    }
    const HRESULT hr = Base::PrepareForCommit(flag);
    SDK_TRACE_EXIT(kLabel, static_cast<long>(hr), SdkTrace::BoolText(flag));
    return hr;
} SDK_CATCH_RETURN()
