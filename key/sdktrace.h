// Call tracing of the plug-in's public methods: entry and exit lines, warning lines, assertions
// and the trace text of values.
//
// A class (or template) that traces declares where its trace points live:
//     static constexpr const char* kTraceFile = "CCryptoGraphicKey";
// and a method then reads
//     STDMETHODIMP CFoo::get_Bar(long* value) {
//         SDK_CALL_GUARD();
//         SDK_TRACE_ENTRY(L"CFoo::get_Bar");
//         ...
//         SDK_TRACE_EXIT(L"CFoo::get_Bar", hr, SdkTrace::DecimalText(*value));
//         return hr;
//     }
//
// Every trace point is expanded in place with its own line number. With tracing off it costs one
// SLogger::ShouldTrace call: the format text is built only after that gate said yes, and the
// parameter values (the macro arguments after the label) are evaluated only after g_traceIsOff
// and ShouldTrace_slowpath both allowed the line.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <new>
#include <type_traits>

#include "scomobjectbase.h"
#include "zentil500.h"

namespace SdkTrace {

using Zentil500::SWCharString;

inline constexpr int kLevelCall = 14;     // entry and exit lines
inline constexpr int kLevelWarning = 0;   // warning lines
inline constexpr int kGateLevel = 3;      // level asked of the cheap gate
inline constexpr int kKindCall = 0;
inline constexpr int kKindWarning = 2;

// "IN:\t[<label>]\t[<object address, radix 16>]\t<pattern for 1 + extraValues parameters>".
SWCharString BuildFormat(const wchar_t* direction, const wchar_t* label, const void* object,
                         int extraValues);

// Trace texts of values.
// 16-bit boolean: "true" only for -1 (VARIANT_TRUE); 1 and every other value give "false".
SWCharString BoolText(VARIANT_BOOL value);
// The value behind a 16-bit boolean output argument; the empty text for a null argument.
SWCharString BoolText(const VARIANT_BOOL* value);
// Pointer (interface pointer, or the address of an output argument): radix 16; null gives "".
SWCharString PointerText(const void* pointer);
// Integer result as its decimal text.
SWCharString DecimalText(long value);
// Wide string: its text (a null BSTR gives "").
SWCharString BstrText(const wchar_t* text);
// Variant: by-reference values are first converted to the referenced type; then VT_I4 gives its
// decimal text, VT_BSTR its string, and every other type (VT_EMPTY and VT_ERROR included) "".
SWCharString VariantText(const VARIANT* value);

inline constexpr wchar_t kCollectionCastFailure[] = L"**sdktrace Exception**";

// A returned collection object: the address of the collection class's object when the object
// behind *out is one, "" when it is null or of another class.
template <typename Class, typename Interface>
SWCharString CollectionText(Interface* const* out) {
    if (out == nullptr || *out == nullptr) return SWCharString();
    try {
        const Class* object = dynamic_cast<const Class*>(*out);
        return object ? PointerText(object) : SWCharString();
    } catch (...) {
        return SWCharString(kCollectionCastFailure);
    }
}

// The source lines of the trace points a helper writes for a member: the member lists them, one
// SDK_TRACE_SITE per line, in the order the helper gives its trace points, so that each trace
// point of each member has its own line:
//     return GetThing(kLabel, out, {SDK_TRACE_SITE,    // IN
//                                   SDK_TRACE_SITE,    // OUT: the host failed
//                                   SDK_TRACE_SITE});  // OUT
// A helper that passes its first trace points on to another helper hands it the first lines.
template <size_t N>
class TraceSites {
public:
    template <typename... Lines>
        requires(sizeof...(Lines) == N && (std::is_same_v<Lines, int> && ...))
    TraceSites(Lines... lines) noexcept : m_lines{lines...} {}  // NOLINT: braced lists by design
    template <size_t M>
        requires(M > N)
    TraceSites(const TraceSites<M>& more) noexcept {  // NOLINT: the first N of more
        for (size_t i = 0; i < N; ++i) m_lines[i] = more[i];
    }
    TraceSites() = delete;

    int operator[](size_t point) const noexcept { return m_lines[point]; }

private:
    int m_lines[N] = {};
};

// Trace points (the macros below). Each writes one line, or drops it when the line cannot be
// built; none throws.
//
// An entry or exit line of `object`, once the cheap gate said yes: builds the format text, asks
// the level and file filters for `line`, and only then calls values(trace, format), which
// evaluates the line's values and writes it.
using LineValues = void (*)(void* context, const Zentil500::STraceObj& trace,
                            const wchar_t* format);
void WriteCallLine(const char* file, int line, const wchar_t* direction, const wchar_t* label,
                   const void* object, int extraValues, LineValues values,
                   void* context) noexcept;
template <typename Values>
void WriteCallLine(const char* file, int line, const wchar_t* direction, const wchar_t* label,
                   const void* object, int extraValues, Values&& values) noexcept {
    using Callable = std::remove_reference_t<Values>;
    WriteCallLine(
        file, line, direction, label, object, extraValues,
        [](void* context, const Zentil500::STraceObj& trace, const wchar_t* format) {
            (*static_cast<Callable*>(context))(trace, format);
        },
        const_cast<void*>(static_cast<const void*>(&values)));
}
// A warning line (level 0).
void WriteWarning(const char* file, int line, const char* text) noexcept;
// An assertion report, when assertions are reported.
void ReportAssert(const char* file, int line, const char* expression) noexcept;
void ReportAssert(const char* file, int line, const char* expression,
                  const char* message) noexcept;
void ReportAssert(const char* file, int line, const char* expression,
                  const wchar_t* message) noexcept;

}  // namespace SdkTrace

// ---------------------------------------------------------------------------------------------
// Macros. They use `this` as the object address and the class's kTraceFile as source file.

// Ends a method body written as a function-try-block: nothing is thrown across an interface.
#define SDK_CATCH_RETURN()          \
    catch (const std::bad_alloc&) { \
        return E_OUTOFMEMORY;       \
    }                               \
    catch (...) {                   \
        return E_UNEXPECTED;        \
    }

#define SDK_CALL_GUARD() \
    const ::SComCallGuard sdkCallGuard_(static_cast<const ::SComObjectBase&>(*this))

#define SDK_TRACE_NVALUES_(...) SDK_TRACE_NVALUES_PICK_(__VA_OPT__(__VA_ARGS__, ) 3, 2, 1, 0, )
#define SDK_TRACE_NVALUES_PICK_(a, b, c, n, ...) n

// A trace line is written, or dropped when its text cannot be built: the logger's failures are
// never observed by the method (no exception leaves a trace point, no status changes). In place
// stay the gate and one call; the values are evaluated inside that call, only once the line is
// admitted.
#define SDK_TRACE_LINE_(line, direction, label, first, ...)                                     \
    do {                                                                                        \
        if (::Zentil500::SLogger::ShouldTrace(::SdkTrace::kGateLevel, kTraceFile))              \
            ::SdkTrace::WriteCallLine(                                                          \
                kTraceFile, line, direction, label, this, SDK_TRACE_NVALUES_(__VA_ARGS__),      \
                [&](const ::Zentil500::STraceObj& sdkTrace_, const wchar_t* sdkFormat_) {       \
                    sdkTrace_(sdkFormat_, first __VA_OPT__(, ) __VA_ARGS__);                    \
                });                                                                             \
    } while (0)

#define SDK_TRACE_ENTRY(label, ...) \
    SDK_TRACE_LINE_(__LINE__, L"IN", label, L"-" __VA_OPT__(, ) __VA_ARGS__)

// Exit line: the status (long for a status held in a variable or a standard code, unsigned int
// for a repository code returned as a fixed number), then up to three values.
#define SDK_TRACE_EXIT(label, status, ...) \
    SDK_TRACE_LINE_(__LINE__, L"OUT", label, status __VA_OPT__(, ) __VA_ARGS__)

// Exit line for a status held in an HRESULT, then return it.
#define SDK_TRACE_RETURN(label, hr, ...)                                                   \
    do {                                                                                   \
        const HRESULT sdkResult_ = (hr);                                                   \
        SDK_TRACE_EXIT(label, static_cast<long>(sdkResult_) __VA_OPT__(, ) __VA_ARGS__);   \
        return sdkResult_;                                                                 \
    } while (0)

// The same trace points written by a helper on behalf of a member, at source line `line` of the
// member (one of the lines a SdkTrace::TraceSites holds), so that every trace point of every
// member has a line of its own.
#define SDK_TRACE_ENTRY_AT(line, label, ...) \
    SDK_TRACE_LINE_((line), L"IN", label, L"-" __VA_OPT__(, ) __VA_ARGS__)
#define SDK_TRACE_EXIT_AT(line, label, status, ...) \
    SDK_TRACE_LINE_((line), L"OUT", label, status __VA_OPT__(, ) __VA_ARGS__)
#define SDK_TRACE_RETURN_AT(line, label, hr, ...)                                              \
    do {                                                                                       \
        const HRESULT sdkResult_ = (hr);                                                       \
        SDK_TRACE_EXIT_AT(line, label, static_cast<long>(sdkResult_) __VA_OPT__(, ) __VA_ARGS__); \
        return sdkResult_;                                                                     \
    } while (0)

// One source line of the member for a trace point that a helper writes (see TraceSites).
#define SDK_TRACE_SITE __LINE__

// Warning line: one narrow text, no frame, no parameters.
#define SDK_TRACE_WARNING(text) ::SdkTrace::WriteWarning(kTraceFile, __LINE__, text)

// Assertions, reported only when ShouldAssert() is true; they never end the method, and a report
// that cannot be built is dropped.
#define SDK_ASSERT(condition)                                                   \
    do {                                                                        \
        if (!(condition)) ::SdkTrace::ReportAssert(kTraceFile, __LINE__, #condition); \
    } while (0)
// SDK_ASSERT_FAILED("Invalid pointer pType") reports the expression "false" with a narrow or
// wide message.
#define SDK_ASSERT_FAILED(message) ::SdkTrace::ReportAssert(kTraceFile, __LINE__, "false", message)
// SDK_ASSERT_TEXT("FALSE", L"Failed ...") reports a given expression text with a message.
#define SDK_ASSERT_TEXT(expression, message) \
    ::SdkTrace::ReportAssert(kTraceFile, __LINE__, expression, message)
