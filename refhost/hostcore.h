// Internal building blocks of the reference host: the live-object base, the per-call hook (call
// log and fault injection), owners for VARIANT and BSTR, the re-entrant lock, name folding and
// the argument texts of the call log. Not part of the public interface (refhost.h).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "KorvelInfoStore.h"
#include "comlib.h"

namespace RefHost::Detail {

using Microsoft::WRL::ComPtr;

// ---------------------------------------------------------------------------------------------
// Live objects

// Every host object derives from HostObject: it is counted from construction to destruction and
// owns one atomic reference count, which starts at 1 (the creator's reference). Host objects
// aggregate nothing and are never aggregated.
class HostObject {
  public:
    HostObject(const HostObject&) = delete;
    HostObject& operator=(const HostObject&) = delete;

  protected:
    HostObject() noexcept;
    virtual ~HostObject();

    ULONG AddRefImpl() noexcept { return ++m_refs; }
    ULONG ReleaseImpl() noexcept {
        const ULONG count = --m_refs;
        if (count == 0) delete this;
        return count;
    }

  private:
    std::atomic<ULONG> m_refs{1};
};

#define REFHOST_REFCOUNT                    \
    STDMETHOD_(ULONG, AddRef)() override {  \
        return AddRefImpl();                \
    }                                       \
    STDMETHOD_(ULONG, Release)() override { \
        return ReleaseImpl();               \
    }

// A new host object in an owner that takes its creation reference. Throws std::bad_alloc.
// (MinGW's ComPtr::Attach adds a reference of its own, so the pointer is stored directly.)
template <typename T, typename... Args>
ComPtr<T> Make(Args&&... args) {
    ComPtr<T> object;
    *object.GetAddressOf() = new T(std::forward<Args>(args)...);
    return object;
}

// ---------------------------------------------------------------------------------------------
// The per-call hook

namespace HookState {
extern std::atomic<bool> logEnabled;
extern std::atomic<int> faultCount;
extern std::atomic<void (*)()> enterCall;  // see RefHost::SetHostCallObserver
extern std::atomic<void (*)()> leaveCall;
}  // namespace HookState

// Lives for one host interface method: tells the observer, if any, that the thread runs host code.
class HostCallScope {
  public:
    HostCallScope() noexcept {
        if (auto enter = HookState::enterCall.load(std::memory_order_relaxed)) enter();
    }
    ~HostCallScope() {
        if (auto leave = HookState::leaveCall.load(std::memory_order_relaxed)) leave();
    }
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;
};

// While alive on a thread, calls on that thread pass the hook without being logged or failed:
// the host's own calls through its interfaces (an info store asking a plug-in info for its kind,
// a test helper finding an object's identity) are not calls of a client.
class HookSuppressed {
  public:
    HookSuppressed() noexcept;
    ~HookSuppressed();
    HookSuppressed(const HookSuppressed&) = delete;
    HookSuppressed& operator=(const HookSuppressed&) = delete;
};

bool HookSuppressedOnThisThread() noexcept;

// Logs the call (arguments may be null when logging is off) and answers the injected fault that
// matches it, else S_OK.
HRESULT HookCall(IUnknown* object, const char* method, std::wstring* arguments);

// Cheap while nothing is logged and no fault is injected: two relaxed loads. The argument text
// is only built when the call is logged.
template <typename MakeArguments>
inline HRESULT Hook(IUnknown* object, const char* method, MakeArguments&& makeArguments) {
    const bool log = HookState::logEnabled.load(std::memory_order_relaxed);
    if (!log && HookState::faultCount.load(std::memory_order_relaxed) == 0) return S_OK;
    if (HookSuppressedOnThisThread()) return S_OK;
    if (!log) return HookCall(object, method, nullptr);
    std::wstring arguments = makeArguments();
    return HookCall(object, method, &arguments);
}

// First statement of every interface method: `HOST_HOOK("ISProperties::get_Item", name);`.
// Returns an injected failure before the method looks at anything. The class provides
// HostIdentity() (its IUnknown identity, as QueryInterface for IID_IUnknown answers it).
#define HOST_HOOK(method, ...)                                                                   \
    const ::RefHost::Detail::HostCallScope host_call_scope_;                                     \
    do {                                                                                         \
        const HRESULT hook_hr_ = ::RefHost::Detail::Hook(                                        \
            HostIdentity(), method, [&]() { return ::RefHost::Detail::ArgsText(__VA_ARGS__); }); \
        if (FAILED(hook_hr_)) return hook_hr_;                                                   \
    } while (0)

// Nothing is thrown across an interface: an allocation failure becomes E_OUTOFMEMORY.
#define HOST_CATCH()                \
    catch (const std::bad_alloc&) { \
        return E_OUTOFMEMORY;       \
    }                               \
    catch (...) {                   \
        return E_UNEXPECTED;        \
    }

// ---------------------------------------------------------------------------------------------
// Argument texts of the call log

std::wstring ArgText(const wchar_t* text);  // "text" in quotes; null for a null string
std::wstring ArgText(long value);
std::wstring ArgText(int value);
std::wstring ArgText(unsigned long value);
std::wstring ArgText(short value);
std::wstring ArgText(double value);
std::wstring ArgText(const VARIANT& value);  // type and value, e.g. I4:5, BSTR:"x", EMPTY
std::wstring ArgText(const void* pointer);   // address in hex
std::wstring ArgText(const GUID& guid);

inline std::wstring ArgsText() {
    return {};
}
template <typename First, typename... Rest>
std::wstring ArgsText(const First& first, const Rest&... rest) {
    std::wstring text = ArgText(first);
    ((text += L", ", text += ArgText(rest)), ...);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Owners

// Owns one VARIANT; cleared on destruction. Not copyable.
class Variant {
  public:
    Variant() noexcept { VariantInit(&m_value); }
    ~Variant() { VariantClear(&m_value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* get() noexcept { return &m_value; }
    const VARIANT& ref() const noexcept { return m_value; }
    VARTYPE vt() const noexcept { return V_VT(&m_value); }

    // Replaces the value with a copy of source, by-reference values dereferenced.
    HRESULT CopyFrom(const VARIANT& source) noexcept;
    // Takes the value of source over and leaves source empty (no copy).
    void Take(VARIANT& source) noexcept;
    // Hands the value over to *target (which receives it without being cleared) and becomes empty.
    void MoveTo(VARIANT* target) noexcept;
    // A copy into *target (an [out] VARIANT: not cleared first). On failure *target is untouched.
    HRESULT CopyTo(VARIANT* target) const noexcept;
    void Clear() noexcept { VariantClear(&m_value); }

    void SetLong(long value) noexcept {
        Clear();
        V_VT(&m_value) = VT_I4;
        V_I4(&m_value) = value;
    }
    // Throws std::bad_alloc.
    void SetText(std::wstring_view text);

  private:
    VARIANT m_value;
};

// Owns one BSTR; freed on destruction. Not copyable.
class Bstr {
  public:
    Bstr() noexcept = default;
    // Throws std::bad_alloc.
    explicit Bstr(std::wstring_view text);
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const noexcept { return m_text; }
    // The caller owns the string.
    BSTR Release() noexcept { return std::exchange(m_text, nullptr); }

  private:
    BSTR m_text = nullptr;
};

// A new BSTR into an [out] argument. E_OUTOFMEMORY leaves *target untouched.
HRESULT ReturnText(std::wstring_view text, BSTR* target) noexcept;

// The text of a BSTR argument (a null BSTR is the empty text).
inline std::wstring_view TextOf(BSTR text) noexcept {
    return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view();
}

// A variant converted to text (by-reference values dereferenced). Failure: the conversion's
// status.
HRESULT VariantToText(const VARIANT& value, std::wstring& text);
// A variant converted to a 32-bit integer.
HRESULT VariantToLong(const VARIANT& value, long& result) noexcept;

// ---------------------------------------------------------------------------------------------
// Locks

// A re-entrant lock (critical section); BasicLockable for std::lock_guard and std::unique_lock.
class HostLock {
  public:
    HostLock() noexcept { InitializeCriticalSection(&m_section); }
    ~HostLock() { DeleteCriticalSection(&m_section); }
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
    void lock() noexcept { EnterCriticalSection(&m_section); }
    void unlock() noexcept { LeaveCriticalSection(&m_section); }

  private:
    CRITICAL_SECTION m_section;
};

// ---------------------------------------------------------------------------------------------
// Names

// The form of a name under which names are compared without regard to case.
std::wstring FoldName(std::wstring_view name);
bool SameName(std::wstring_view a, std::wstring_view b);

// Decimal text of a number.
std::wstring DecimalText(long long value);

// A fresh GUID as registry text, braces included.
std::wstring NewGuidText();

// Properties of an InfoObject's bag that the host itself reads and writes.
namespace Prop {
inline constexpr wchar_t kId[] = L"SI_ID";
inline constexpr wchar_t kParentId[] = L"SI_PARENTID";
inline constexpr wchar_t kTitle[] = L"SI_NAME";
inline constexpr wchar_t kDescription[] = L"SI_DESCRIPTION";
inline constexpr wchar_t kKind[] = L"SI_KIND";
inline constexpr wchar_t kProgId[] = L"SI_PROGID";
inline constexpr wchar_t kCuid[] = L"SI_CUID";
inline constexpr wchar_t kGuid[] = L"SI_GUID";
inline constexpr wchar_t kRuid[] = L"SI_RUID";
inline constexpr wchar_t kKeyword[] = L"SI_KEYWORD";
inline constexpr wchar_t kInstance[] = L"SI_INSTANCE";
inline constexpr wchar_t kObjectType[] = L"SI_OBJTYPE";
inline constexpr wchar_t kUpdateTime[] = L"SI_UPDATE_TS";
inline constexpr wchar_t kNewObject[] = L"SI_NEWOBJECT";
inline constexpr wchar_t kProcessingInfo[] = L"SI_PROCESSINFO";
inline constexpr wchar_t kSchedulingInfo[] = L"SI_SCHEDULEINFO";
inline constexpr wchar_t kScheduleType[] = L"SI_SCHEDULE_TYPE";
inline constexpr wchar_t kScheduleBegin[] = L"SI_STARTTIME";
inline constexpr wchar_t kScheduleEnd[] = L"SI_ENDTIME";
inline constexpr wchar_t kPluginKind[] = L"SI_KIND";
inline constexpr wchar_t kPluginProgId[] = L"SI_PROGID";
inline constexpr wchar_t kPluginDescription[] = L"SI_DESCRIPTION";
}  // namespace Prop

}  // namespace RefHost::Detail
