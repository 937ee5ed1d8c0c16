// Trace texts of values, the format text of entry and exit lines, and the per-call guard.
#include "sdktrace.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <typeinfo>

using Zentil500::StringConvFromInteger;
using Zentil500::SWCharString;

namespace SdkTrace {
namespace {

// Parameter patterns by number of parameters: note the tab after a single parameter and the
// single spaces between the second and later ones.
constexpr const wchar_t* kPatterns[] = {L"[%1]\t", L"[%1]\t[%2]", L"[%1]\t[%2] [%3]",
                                        L"[%1]\t[%2] [%3] [%4]"};

}  // namespace

SWCharString BuildFormat(const wchar_t* direction, const wchar_t* label, const void* object,
                         int extraValues) {
    SWCharString address;
    StringConvFromInteger(address, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object)),
                          16);
    SWCharString format(direction);
    format += L":\t[";
    format += label;
    format += L"]\t[";
    format += address;
    format += L"]\t";
    format += kPatterns[extraValues < 0 ? 0 : (extraValues > 3 ? 3 : extraValues)];
    return format;
}

void WriteCallLine(const char* file, int line, const wchar_t* direction, const wchar_t* label,
                   const void* object, int extraValues, LineValues values,
                   void* context) noexcept {
    try {
        const SWCharString format = BuildFormat(direction, label, object, extraValues);
        if (!Zentil500::g_traceIsOff && Zentil500::ShouldTrace_slowpath(kLevelCall, file, line))
            values(context, Zentil500::STraceObj(kLevelCall, file, line, kKindCall),
                   format.c_str());
    } catch (...) {
        // The line cannot be built: it is dropped.
    }
}

void WriteWarning(const char* file, int line, const char* text) noexcept {
    try {
        if (!Zentil500::g_traceIsOff && Zentil500::ShouldTrace_slowpath(kLevelWarning, file, line))
            Zentil500::STraceObj(kLevelWarning, file, line, kKindWarning)(text);
    } catch (...) {
    }
}

namespace {

template <typename... Message>
void ReportAssertion(const char* file, int line, const char* expression,
                     Message... message) noexcept {
    try {
        if (Zentil500::ShouldAssert()) Zentil500::SAssert(file, line, expression, message...);
    } catch (...) {
    }
}

}  // namespace

void ReportAssert(const char* file, int line, const char* expression) noexcept {
    ReportAssertion(file, line, expression);
}

void ReportAssert(const char* file, int line, const char* expression,
                  const char* message) noexcept {
    ReportAssertion(file, line, expression, message);
}

void ReportAssert(const char* file, int line, const char* expression,
                  const wchar_t* message) noexcept {
    ReportAssertion(file, line, expression, message);
}

SWCharString BoolText(VARIANT_BOOL value) {
    return SWCharString(value == VARIANT_TRUE ? L"true" : L"false");
}

SWCharString BoolText(const VARIANT_BOOL* value) {
    return value ? BoolText(*value) : SWCharString();
}

SWCharString PointerText(const void* pointer) {
    SWCharString text;
    if (pointer)
        StringConvFromInteger(text, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer)),
                              16);
    return text;
}

SWCharString DecimalText(long value) {
    SWCharString text;
    StringConvFromInteger(text, value, 10);
    return text;
}

SWCharString BstrText(const wchar_t* text) {
    return text ? SWCharString(text, SysStringLen(const_cast<BSTR>(text))) : SWCharString();
}

SWCharString VariantText(const VARIANT* value) {
    if (value == nullptr) return SWCharString();
    const VARIANT* shown = value;
    VARIANT dereferenced;
    VariantInit(&dereferenced);
    if (V_VT(value) & VT_BYREF) {
        VARTYPE target = V_VT(value) & ~VT_BYREF;
        if (target == VT_VARIANT)
            target = V_VARIANTREF(value) ? V_VT(V_VARIANTREF(value)) : VARTYPE{VT_EMPTY};
        // VariantChangeType does not modify its source.
        if (FAILED(VariantChangeType(&dereferenced, const_cast<VARIANT*>(value), 0, target)))
            return SWCharString();
        shown = &dereferenced;
    }
    SWCharString text;
    switch (V_VT(shown)) {
        case VT_I4:
            StringConvFromInteger(text, static_cast<long>(V_I4(shown)), 10);
            break;
        case VT_BSTR:
            text = BstrText(V_BSTR(shown));
            break;
        default:  // VT_EMPTY, VT_ERROR and every other type
            break;
    }
    VariantClear(&dereferenced);
    return text;
}

}  // namespace SdkTrace

namespace {

// The readable name of the object's run-time type, for the guard's assertion.
std::string RuntimeTypeName(const SComObjectBase& object) {
    const char* mangled = typeid(object).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(mangled);
}

}  // namespace

SComCallGuard::SComCallGuard(const SComObjectBase& object) noexcept {
    try {
        if (object.m_ObjectLocale == 0 && Zentil500::ShouldAssert())
            Zentil500::SAssert(kSComObjectBaseFile, __LINE__, "m_ObjectLocale!=0",
                               RuntimeTypeName(object).c_str());
    } catch (...) {
        // Reporting must never fail the call.
    }
    Zentil500::SResManager::ThreadInitialize(object.m_ObjectLocale, m_cookie);
}

SComCallGuard::~SComCallGuard() {
    Zentil500::SResManager::ThreadUninitialize(m_cookie);
    // m_threadRegistration ends after this body: resource manager first, thread second.
}
