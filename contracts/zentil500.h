// Base utility library of the platform ("zentilw-5-0"): logger, assertions, strings, containers,
// resource manager, date and time, critical sections.
//
// Logger configuration (read by SLogger::Initialize from the environment):
//   ZENTIL_TRACE         levels that trace: "all", "none", or a list such as "0,14" or "0-14".
//                        Unset or empty: tracing is off.
//   ZENTIL_TRACE_FILES   source files that trace: a comma list of names; a name matches a source
//                        file whose path ends in it ("CCryptoGraphicKey", "common/PublicationInfo");
//                        whole path components, with or without the file's extension, any case;
//                        "*" or unset: every file.
//   ZENTIL_TRACE_OUTPUT  "stderr" (default) or the path of a file that lines are appended to
//                        (UTF-8); a file that cannot be opened counts as a malformed setting.
//   ZENTIL_ASSERT        "on" (default) or "off": whether ShouldAssert() answers true.
// A malformed setting gives one warning on stderr and leaves tracing off.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Zentil500 {

// ---------------------------------------------------------------------------------------------
// Strings

class SWCharString {
public:
    SWCharString() = default;
    SWCharString(const wchar_t* text) : m_text(text ? text : L"") {}  // NOLINT: implicit by design
    SWCharString(const wchar_t* text, size_t length) : m_text(text ? text : L"", text ? length : 0) {}
    SWCharString(std::wstring text) : m_text(std::move(text)) {}  // NOLINT

    const wchar_t* c_str() const noexcept { return m_text.c_str(); }
    const std::wstring& str() const noexcept { return m_text; }
    size_t length() const noexcept { return m_text.length(); }
    bool empty() const noexcept { return m_text.empty(); }

    SWCharString& operator+=(const SWCharString& other) { m_text += other.m_text; return *this; }
    SWCharString& operator+=(const wchar_t* other) { if (other) m_text += other; return *this; }
    SWCharString& operator+=(wchar_t c) { m_text += c; return *this; }
    SWCharString& concat(const wchar_t* other, size_t length) {
        if (other) m_text.append(other, length);
        return *this;
    }
    SWCharString& concat(const SWCharString& other) { return *this += other; }

    // <0, 0, >0 like wcscmp, comparing without regard to case (invariant, ordinal upper-casing).
    // `other` ends at its first null; with a length it may hold nulls, which then compare too.
    int compareNoCase(const wchar_t* other) const noexcept;
    int compareNoCase(const wchar_t* other, size_t otherLength) const noexcept;
    int compareNoCase(const SWCharString& other) const noexcept {
        return compareNoCase(other.c_str(), other.length());
    }

    friend bool operator==(const SWCharString& a, const SWCharString& b) { return a.m_text == b.m_text; }
    friend bool operator<(const SWCharString& a, const SWCharString& b) { return a.m_text < b.m_text; }

private:
    std::wstring m_text;
};

// Map key that compares without regard to case.
class SWCharMapStringCI : public SWCharString {
public:
    using SWCharString::SWCharString;
    SWCharMapStringCI(const SWCharString& s) : SWCharString(s) {}  // NOLINT
    friend bool operator<(const SWCharMapStringCI& a, const SWCharMapStringCI& b) {
        return a.compareNoCase(b) < 0;
    }
    friend bool operator==(const SWCharMapStringCI& a, const SWCharMapStringCI& b) {
        return a.compareNoCase(b) == 0;
    }
};

// Writes the text of value in the given radix (2 to 36) into buffer, replacing its content.
// Radix 16 uses upper-case digits without leading zeros; a negative signed value gets a '-'.
void StringConvFromInteger(SWCharString& buffer, std::int64_t value, int radix);
void StringConvFromInteger(SWCharString& buffer, std::uint64_t value, int radix);
inline void StringConvFromInteger(SWCharString& buffer, long value, int radix) {
    StringConvFromInteger(buffer, static_cast<std::int64_t>(value), radix);
}
inline void StringConvFromInteger(SWCharString& buffer, int value, int radix) {
    StringConvFromInteger(buffer, static_cast<std::int64_t>(value), radix);
}
inline void StringConvFromInteger(SWCharString& buffer, unsigned value, int radix) {
    StringConvFromInteger(buffer, static_cast<std::uint64_t>(value), radix);
}

// ---------------------------------------------------------------------------------------------
// Containers

// Growable array.
template <typename T>
class SIArray {
public:
    int GetSize() const noexcept { return static_cast<int>(m_items.size()); }
    void SetSize(int size) { m_items.resize(size > 0 ? static_cast<size_t>(size) : 0); }
    int Add(const T& item) { m_items.push_back(item); return GetSize() - 1; }
    int Add(T&& item) { m_items.push_back(std::move(item)); return GetSize() - 1; }
    void InsertAt(int index, const T& item) { m_items.insert(m_items.begin() + index, item); }
    void RemoveAt(int index) { m_items.erase(m_items.begin() + index); }
    void RemoveAll() noexcept { m_items.clear(); }
    T& operator[](int index) { return m_items[static_cast<size_t>(index)]; }
    const T& operator[](int index) const { return m_items[static_cast<size_t>(index)]; }
    auto begin() noexcept { return m_items.begin(); }
    auto end() noexcept { return m_items.end(); }
    auto begin() const noexcept { return m_items.begin(); }
    auto end() const noexcept { return m_items.end(); }

private:
    std::vector<T> m_items;
};

// Keyed map (ordered by the key's operator<).
template <typename K, typename V>
class SIMap {
public:
    int GetCount() const noexcept { return static_cast<int>(m_items.size()); }
    bool Lookup(const K& key, V& value) const {
        auto it = m_items.find(key);
        if (it == m_items.end()) return false;
        value = it->second;
        return true;
    }
    V* Find(const K& key) {
        auto it = m_items.find(key);
        return it == m_items.end() ? nullptr : &it->second;
    }
    void SetAt(const K& key, const V& value) { m_items.insert_or_assign(key, value); }
    bool RemoveKey(const K& key) { return m_items.erase(key) != 0; }
    void RemoveAll() noexcept { m_items.clear(); }
    auto begin() noexcept { return m_items.begin(); }
    auto end() noexcept { return m_items.end(); }
    auto begin() const noexcept { return m_items.begin(); }
    auto end() const noexcept { return m_items.end(); }

private:
    std::map<K, V> m_items;
};

// ---------------------------------------------------------------------------------------------
// Logger

// True while no trace level is enabled; trace points test it before the slow path.
extern std::atomic<bool> g_traceIsOff;

// Whether a trace point at (level, file, line) writes its line. Asked after g_traceIsOff.
bool ShouldTrace_slowpath(int level, const char* file, int line) noexcept;

// One line as the logger hands it to its output: the prefix fields and the substituted text.
struct STraceRecord {
    int level;
    const char* file;
    int line;
    int kind;              // 0 entry/exit, 1 assertion, 2 warning
    std::wstring text;     // the format text with %1..%4 substituted
};

struct SLoggerConfig {
    std::vector<bool> levels;          // levels[i]: level i traces; empty: tracing off
    std::vector<std::string> files;    // path suffixes; empty: every file
    std::wstring output;               // L"stderr" or a file path
};

// Counters of the calling thread, so that tests can prove what a trace point did. They count only
// while counting is switched on (off by default, so trace points pay nothing for them).
struct STraceCounters {
    unsigned shouldTrace = 0;      // SLogger::ShouldTrace calls
    unsigned slowPath = 0;         // ShouldTrace_slowpath calls
    unsigned traceObjCalls = 0;    // STraceObj line writes (either form)
    unsigned parameters = 0;       // STraceParameter objects made
    unsigned integerTexts = 0;     // StringConvFromInteger conversions
};
STraceCounters& ThreadTraceCounters() noexcept;
void SetTraceCounting(bool enabled) noexcept;
bool TraceCountingEnabled() noexcept;

class SLogger {
public:
    // Reads the configuration from the environment (see the top of this file). Returns false,
    // after one warning on stderr, when a setting is malformed; tracing is then off.
    static bool Initialize();
    static void Terminate();

    // Cheap gate asked before a trace point builds its format text.
    static bool ShouldTrace(int level, const char* file) noexcept;

    // Replaces the configuration (tests, console host). An empty level list switches tracing off.
    static void Configure(const SLoggerConfig& config);
    // Parses settings written as in the environment; false (and nothing changed) when malformed,
    // with the reason in *error.
    static bool ParseSettings(const char* levels, const char* files, const char* output,
                              SLoggerConfig& config, std::string* error);

    // Every written line is also given to the sink while one is set (tests). Not synchronised
    // with concurrent trace calls: set it while no other thread traces.
    using Sink = std::function<void(const STraceRecord&)>;
    static void SetSink(Sink sink);
};

class STraceParameter {
public:
    STraceParameter(const wchar_t* text);        // NOLINT: implicit by design
    STraceParameter(const SWCharString& text);   // NOLINT
    STraceParameter(int value);                  // NOLINT
    STraceParameter(unsigned int value);         // NOLINT
    STraceParameter(long value);                 // NOLINT
    STraceParameter(bool value);                 // NOLINT
    const std::wstring& text() const noexcept { return m_text; }

private:
    std::wstring m_text;
};

// One trace record: level, source file, line and kind; calling it writes one line.
class STraceObj {
public:
    STraceObj(int level, const char* file, int line, int kind) noexcept
        : m_level(level), m_file(file), m_line(line), m_kind(kind) {}
    void operator()(const wchar_t* format, const STraceParameter& p1) const;
    void operator()(const wchar_t* format, const STraceParameter& p1, const STraceParameter& p2) const;
    void operator()(const wchar_t* format, const STraceParameter& p1, const STraceParameter& p2,
                    const STraceParameter& p3) const;
    void operator()(const wchar_t* format, const STraceParameter& p1, const STraceParameter& p2,
                    const STraceParameter& p3, const STraceParameter& p4) const;
    void operator()(const char* text) const;

private:
    void Write(const wchar_t* format, const STraceParameter* const* params, int count) const;
    int m_level;
    const char* m_file;
    int m_line;
    int m_kind;
};

// ---------------------------------------------------------------------------------------------
// Assertions: reported through the logger (level 0, kind 1), never fatal.

bool ShouldAssert() noexcept;
void SetAssertEnabled(bool enabled) noexcept;
void SAssert(const char* file, int line, const char* expression);
void SAssert(const char* file, int line, const char* expression, const char* message);
void SAssert(const char* file, int line, const char* expression, const wchar_t* message);

struct SAssertRecord {
    std::string file;
    int line;
    std::string expression;
    std::wstring message;
};
// Every reported assertion is also given to the sink while one is set (tests).
using SAssertSink = std::function<void(const SAssertRecord&)>;
void SetAssertSink(SAssertSink sink);

// ---------------------------------------------------------------------------------------------
// Resource manager: per-thread locale and resource loading.

class SResManager {
public:
    static bool Initialize();
    static void Terminate();

    // Switches the calling thread to locale; cookie receives what ThreadUninitialize needs to
    // restore the previous locale. Calls nest; each level hands back its own cookie. Nested too
    // deeply (64 levels): false, the locale unchanged and cookie 0, whose release does nothing.
    // A cookie the thread did not receive is reported with SAssert and ignored.
    static bool ThreadInitialize(LCID locale, unsigned& cookie);
    static void ThreadUninitialize(unsigned cookie);
    // The calling thread's current locale (0 when none was set).
    static LCID ThreadLocale() noexcept;
    // Nesting depth of ThreadInitialize on the calling thread.
    static int ThreadDepth() noexcept;
    // Tests: observer called at the start of every ThreadUninitialize (null to stop).
    static void SetThreadUninitializeObserver(void (*observer)(unsigned cookie)) noexcept;

    // String-table text id in the language of locale (0: the thread's locale; then neutral,
    // then any language). module null: the module that holds this code. Empty when missing.
    static SWCharString LoadStringW(UINT id, LCID locale = 0, HMODULE module = nullptr);
    // The bytes of resource id of type; false when it cannot be found or loaded.
    static bool LoadResource(UINT id, const wchar_t* type, std::vector<BYTE>& buffer,
                             HMODULE module = nullptr);
    // The module that holds this code (the DLL or EXE it was linked into).
    static HMODULE CurrentModule() noexcept;
};

// A loaded message whose placeholders ("%1".."%9" with the default marker) are filled by the
// arguments given with <<, in order. A placeholder without argument stays as written; the marker
// written twice gives the marker itself.
class SResString {
public:
    explicit SResString(SWCharString text, wchar_t marker = L'%')
        : m_text(std::move(text)), m_marker(marker) {}
    SResString& operator<<(const SWCharString& argument) {
        m_arguments.push_back(argument);
        return *this;
    }
    SWCharString str() const;
    int ArgumentCount() const noexcept { return static_cast<int>(m_arguments.size()); }

private:
    SWCharString m_text;
    wchar_t m_marker;
    std::vector<SWCharString> m_arguments;
};

// ---------------------------------------------------------------------------------------------
// Date and time

class STimeSpan {
public:
    STimeSpan() = default;
    explicit STimeSpan(std::int64_t milliseconds) : m_ms(milliseconds) {}
    std::int64_t GetTotalMilliseconds() const noexcept { return m_ms; }
    std::int64_t GetTotalSeconds() const noexcept { return m_ms / 1000; }
    friend STimeSpan operator+(STimeSpan a, STimeSpan b) { return STimeSpan(a.m_ms + b.m_ms); }

private:
    std::int64_t m_ms = 0;
};

// Time of day.
class STime {
public:
    STime() = default;
    explicit STime(std::int64_t millisecondsOfDay) : m_ms(millisecondsOfDay) {}
    std::int64_t GetMillisecondsOfDay() const noexcept { return m_ms; }
    friend STimeSpan operator-(const STime& a, const STime& b) { return STimeSpan(a.m_ms - b.m_ms); }

private:
    std::int64_t m_ms = 0;
};

// The settings of the local time zone as the system's conversions use them when given no zone,
// or null when they cannot be read (a conversion is then given no zone). The system reads them
// afresh on each call, which costs far more than a conversion: they are read at most once a
// second, so a change of the zone shows within a second.
const TIME_ZONE_INFORMATION* LocalTimeZone(TIME_ZONE_INFORMATION& zone) noexcept;

class STimeZone {
public:
    static const STimeZone& TZ_Local();
    static const STimeZone& TZ_UTC();
    bool IsLocal() const noexcept { return m_local; }

private:
    explicit STimeZone(bool local) : m_local(local) {}
    bool m_local;
};

// A moment, kept as UTC milliseconds since 1601-01-01 (the FILETIME epoch).
class SDateTime {
public:
    SDateTime() = default;
    // From an automation date value (DATE) that shows wall-clock time in zone.
    SDateTime(DATE date, const STimeZone& zone);
    static SDateTime GetCurrentDateTime();

    bool IsValid() const noexcept { return m_valid; }
    std::int64_t GetUtcMilliseconds() const noexcept { return m_utcMs; }
    // Days since 1601-01-01 and time of day, both in local time.
    std::int64_t GetLocalDay() const;
    STime GetTime() const;

    friend STimeSpan operator-(const SDateTime& a, const SDateTime& b) {
        return STimeSpan(a.m_utcMs - b.m_utcMs);
    }

private:
    std::int64_t m_utcMs = 0;
    bool m_valid = false;
};

// ---------------------------------------------------------------------------------------------
// Threads and locks

// A re-entrant critical section.
class CS_Wrapper {
public:
    CS_Wrapper() noexcept { InitializeCriticalSection(&m_cs); }
    ~CS_Wrapper() { DeleteCriticalSection(&m_cs); }
    CS_Wrapper(const CS_Wrapper&) = delete;
    CS_Wrapper& operator=(const CS_Wrapper&) = delete;
    void Lock() noexcept { EnterCriticalSection(&m_cs); }
    void Unlock() noexcept { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Holds a CS_Wrapper for the life of the scope.
class CS_Lock {
public:
    explicit CS_Lock(CS_Wrapper& cs) noexcept : m_cs(cs) { m_cs.Lock(); }
    ~CS_Lock() { m_cs.Unlock(); }
    CS_Lock(const CS_Lock&) = delete;
    CS_Lock& operator=(const CS_Lock&) = delete;

private:
    CS_Wrapper& m_cs;
};

class CSIProcess {
public:
    static unsigned long GetCurrentThreadID() noexcept { return ::GetCurrentThreadId(); }
};

}  // namespace Zentil500
