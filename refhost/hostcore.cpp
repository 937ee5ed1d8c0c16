// The live-object counter, the per-call hook with its call log and injected faults, and the small
// helpers of hostcore.h.
#include "hostcore.h"

#include <cwchar>
#include <mutex>
#include <vector>

#include "refhost.h"

namespace RefHost {
namespace Detail {

namespace {

std::atomic<long> g_liveObjects{0};
thread_local int t_hookSuppressed = 0;

struct Fault {
    const void* object;  // null: any object
    std::string method;
    HRESULT status;
    FaultMode mode;
    unsigned remaining;  // NthCall: matching calls until the one that fails
};

// The hook's shared state: the call log and the faults, under one lock.
struct HookTables {
    std::mutex lock;
    std::vector<CallRecord> log;
    std::vector<Fault> faults;
};

// Never destroyed: host objects may be called while the process is shutting down.
HookTables& Tables() {
    static HookTables* const tables = new HookTables;
    return *tables;
}

}  // namespace

namespace HookState {
std::atomic<bool> logEnabled{false};
std::atomic<int> faultCount{0};
std::atomic<void (*)()> enterCall{nullptr};
std::atomic<void (*)()> leaveCall{nullptr};
}  // namespace HookState

HostObject::HostObject() noexcept {
    g_liveObjects.fetch_add(1);
}
HostObject::~HostObject() {
    g_liveObjects.fetch_sub(1);
}

HookSuppressed::HookSuppressed() noexcept {
    ++t_hookSuppressed;
}
HookSuppressed::~HookSuppressed() {
    --t_hookSuppressed;
}
bool HookSuppressedOnThisThread() noexcept {
    return t_hookSuppressed != 0;
}

HRESULT HookCall(IUnknown* object, const char* method, std::wstring* arguments) {
    HookTables& tables = Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    HRESULT injected = S_OK;
    for (auto it = tables.faults.begin(); it != tables.faults.end(); ++it) {
        if ((it->object != nullptr && it->object != object) || it->method != method) continue;
        if (it->mode == FaultMode::Always) {
            injected = it->status;
            break;
        }
        if (it->mode == FaultMode::NthCall && --it->remaining != 0) continue;
        injected = it->status;
        tables.faults.erase(it);
        HookState::faultCount.fetch_sub(1);
        break;
    }
    if (arguments != nullptr)
        tables.log.push_back(
            CallRecord{object, method, std::move(*arguments), GetCurrentThreadId(), injected});
    return injected;
}

// ---------------------------------------------------------------------------------------------
// Argument texts

std::wstring ArgText(const wchar_t* text) {
    if (text == nullptr) return L"null";
    std::wstring quoted = L"\"";
    quoted += text;
    quoted += L'"';
    return quoted;
}

std::wstring ArgText(long value) {
    return DecimalText(value);
}
std::wstring ArgText(int value) {
    return DecimalText(value);
}
std::wstring ArgText(unsigned long value) {
    return DecimalText(static_cast<long long>(value));
}
std::wstring ArgText(short value) {
    return DecimalText(value);
}

std::wstring ArgText(double value) {
    wchar_t buffer[64];
    swprintf(buffer, 64, L"%.17g", value);
    return buffer;
}

std::wstring ArgText(const void* pointer) {
    wchar_t buffer[32];
    swprintf(buffer, 32, L"0x%llX",
             static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return buffer;
}

std::wstring ArgText(const GUID& guid) {
    wchar_t buffer[40] = {};
    StringFromGUID2(guid, buffer, 40);
    return buffer;
}

std::wstring ArgText(const VARIANT& value) {
    const VARIANT* v = &value;
    if (V_VT(v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(v) != nullptr) v = V_VARIANTREF(v);
    const VARTYPE type = V_VT(v);
    switch (type) {
        case VT_EMPTY:
            return L"EMPTY";
        case VT_NULL:
            return L"NULL";
        case VT_ERROR:
            return L"ERROR:" + DecimalText(V_ERROR(v));
        case VT_DISPATCH:
            return L"DISPATCH:" + ArgText(static_cast<const void*>(V_DISPATCH(v)));
        case VT_UNKNOWN:
            return L"UNKNOWN:" + ArgText(static_cast<const void*>(V_UNKNOWN(v)));
        case VT_BSTR:
            return L"BSTR:" + ArgText(static_cast<const wchar_t*>(V_BSTR(v)));
        case VT_BOOL:
            return V_BOOL(v) ? L"BOOL:true" : L"BOOL:false";
        default:
            break;
    }
    if (type & VT_ARRAY) {
        long count = 0;
        SAFEARRAY* array = (type & VT_BYREF) ? *V_ARRAYREF(v) : V_ARRAY(v);
        if (array != nullptr && SafeArrayGetDim(array) == 1) {
            LONG lower = 0, upper = -1;
            SafeArrayGetLBound(array, 1, &lower);
            SafeArrayGetUBound(array, 1, &upper);
            count = upper - lower + 1;
        }
        return L"ARRAY(" + DecimalText(type & VT_TYPEMASK) + L")[" + DecimalText(count) + L"]";
    }
    std::wstring text;
    const wchar_t* name = L"";
    switch (type & ~VT_BYREF) {
        case VT_I1:
            name = L"I1";
            break;
        case VT_UI1:
            name = L"UI1";
            break;
        case VT_I2:
            name = L"I2";
            break;
        case VT_UI2:
            name = L"UI2";
            break;
        case VT_I4:
            name = L"I4";
            break;
        case VT_UI4:
            name = L"UI4";
            break;
        case VT_I8:
            name = L"I8";
            break;
        case VT_UI8:
            name = L"UI8";
            break;
        case VT_INT:
            name = L"INT";
            break;
        case VT_UINT:
            name = L"UINT";
            break;
        case VT_R4:
            name = L"R4";
            break;
        case VT_R8:
            name = L"R8";
            break;
        case VT_CY:
            name = L"CY";
            break;
        case VT_DATE:
            name = L"DATE";
            break;
        case VT_DECIMAL:
            name = L"DECIMAL";
            break;
        default:
            return L"VT(" + DecimalText(type) + L")";
    }
    if (FAILED(VariantToText(*v, text))) text = L"?";
    return std::wstring(name) + L":" + text;
}

// ---------------------------------------------------------------------------------------------
// Owners and conversions

HRESULT Variant::CopyFrom(const VARIANT& source) noexcept {
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopyInd(&copy, const_cast<VARIANT*>(&source));
    if (FAILED(hr)) return hr;
    VariantClear(&m_value);
    m_value = copy;
    return S_OK;
}

void Variant::Take(VARIANT& source) noexcept {
    VariantClear(&m_value);
    m_value = source;
    VariantInit(&source);
}

void Variant::MoveTo(VARIANT* target) noexcept {
    *target = m_value;
    VariantInit(&m_value);
}

HRESULT Variant::CopyTo(VARIANT* target) const noexcept {
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(&m_value));
    if (FAILED(hr)) return hr;
    *target = copy;
    return S_OK;
}

void Variant::SetText(std::wstring_view text) {
    Bstr copy(text);
    Clear();
    V_VT(&m_value) = VT_BSTR;
    V_BSTR(&m_value) = copy.Release();
}

Bstr::Bstr(std::wstring_view text) {
    m_text = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (m_text == nullptr) throw std::bad_alloc();
}

HRESULT ReturnText(std::wstring_view text, BSTR* target) noexcept {
    BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (copy == nullptr) return E_OUTOFMEMORY;
    *target = copy;
    return S_OK;
}

HRESULT VariantToText(const VARIANT& value, std::wstring& text) {
    if (V_VT(&value) == VT_BSTR) {
        text.assign(TextOf(V_BSTR(&value)));
        return S_OK;
    }
    if (V_VT(&value) == VT_I4) {
        text = DecimalText(V_I4(&value));
        return S_OK;
    }
    VARIANT converted;
    VariantInit(&converted);
    // The invariant locale: the same value gives the same text on every thread.
    const HRESULT hr =
        VariantChangeTypeEx(&converted, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    try {
        text.assign(TextOf(V_BSTR(&converted)));
    } catch (...) {
        VariantClear(&converted);
        throw;
    }
    VariantClear(&converted);
    return S_OK;
}

HRESULT VariantToLong(const VARIANT& value, long& result) noexcept {
    if (V_VT(&value) == VT_I4) {
        result = V_I4(&value);
        return S_OK;
    }
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr =
        VariantChangeTypeEx(&converted, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_I4);
    if (FAILED(hr)) return hr;
    result = V_I4(&converted);
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Names

std::wstring FoldName(std::wstring_view name) {
    std::wstring folded(name);
    bool ascii = true;
    for (wchar_t& c : folded) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        else if (c >= 0x80)
            ascii = false;
    }
    if (ascii || folded.empty()) return folded;
    const int length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, folded.data(),
                                    static_cast<int>(folded.size()), nullptr, 0);
    if (length <= 0) return folded;
    std::wstring mapped(static_cast<size_t>(length), L'\0');
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, folded.data(), static_cast<int>(folded.size()),
                 mapped.data(), length);
    return mapped;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring DecimalText(long long value) {
    wchar_t buffer[24];
    swprintf(buffer, 24, L"%lld", value);
    return buffer;
}

std::wstring NewGuidText() {
    GUID guid{};
    if (FAILED(CoCreateGuid(&guid))) throw std::bad_alloc();
    return ArgText(guid);
}

}  // namespace Detail

// ---------------------------------------------------------------------------------------------
// Public test API

long LiveObjectCount() noexcept {
    return Detail::g_liveObjects.load();
}

const void* IdentityOf(IUnknown* object) noexcept {
    if (object == nullptr) return nullptr;
    Detail::HookSuppressed quiet;
    IUnknown* identity = nullptr;
    if (FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) ||
        identity == nullptr)
        return object;
    identity->Release();
    return identity;
}

HRESULT InjectFault(IUnknown* object, std::string_view method, HRESULT status, FaultMode mode,
                    unsigned nth) noexcept try {
    if (SUCCEEDED(status) || method.empty() || (mode == FaultMode::NthCall && nth == 0))
        return E_INVALIDARG;
    const void* identity = IdentityOf(object);
    Detail::HookTables& tables = Detail::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.faults.push_back(Detail::Fault{identity, std::string(method), status, mode,
                                          mode == FaultMode::NthCall ? nth : 1u});
    Detail::HookState::faultCount.fetch_add(1);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

void SetHostCallObserver(void (*enter)(), void (*leave)()) noexcept {
    Detail::HookState::enterCall = enter;
    Detail::HookState::leaveCall = leave;
}

void ClearFaults() noexcept {
    Detail::HookTables& tables = Detail::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    Detail::HookState::faultCount.fetch_sub(static_cast<int>(tables.faults.size()));
    tables.faults.clear();
}

void EnableCallLog(bool enable) noexcept {
    Detail::HookState::logEnabled.store(enable);
}
bool CallLogEnabled() noexcept {
    return Detail::HookState::logEnabled.load();
}

std::vector<CallRecord> CallLog() {
    Detail::HookTables& tables = Detail::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    return tables.log;
}

void ClearCallLog() noexcept {
    Detail::HookTables& tables = Detail::Tables();
    std::lock_guard<std::mutex> guard(tables.lock);
    tables.log.clear();
}

}  // namespace RefHost
