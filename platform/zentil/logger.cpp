// The logger: configuration from the environment, the trace gates and line output.
#include "zentil500.h"

#include "text.h"

#include <cstdio>
#include <cstring>

namespace Zentil500 {

std::atomic<bool> g_traceIsOff{true};

std::atomic<bool> g_countTraceCalls{false};

void SetTraceCounting(bool enabled) noexcept { g_countTraceCalls.store(enabled); }

bool TraceCountingEnabled() noexcept { return g_countTraceCalls.load(std::memory_order_relaxed); }

STraceCounters& ThreadTraceCounters() noexcept {
    thread_local STraceCounters counters;
    return counters;
}

namespace {

constexpr int kLevelCount = 32;

// ---------------------------------------------------------------------------------------------
// Text helpers

using detail::FromNarrow;
using detail::ToUtf8;

std::wstring DecimalText(long long value) {
    wchar_t text[24];
    std::swprintf(text, 24, L"%lld", value);
    return text;
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.length() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(Trim(text.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

bool IsSeparator(char c) noexcept {
    return c == '/' || c == '\\';
}

// Whether path ends in suffix at a path-component boundary, ignoring ASCII case and the kind
// of separator.
bool PathEndsWith(const char* path, size_t pathLength, const std::string& suffix) noexcept {
    if (suffix.empty() || suffix.length() > pathLength) return false;
    const char* tail = path + pathLength - suffix.length();
    for (size_t i = 0; i < suffix.length(); ++i) {
        const char a = tail[i];
        const char b = suffix[i];
        if (IsSeparator(a) && IsSeparator(b)) continue;
        if (AsciiLower(a) != AsciiLower(b)) return false;
    }
    return tail == path || IsSeparator(tail[-1]) || IsSeparator(suffix.front());
}

// A filter name matches the file's path with or without the file's extension, so that
// "CCryptoGraphicKey" selects ".../key/CCryptoGraphicKey.cpp".
bool FileMatches(const char* file, const std::string& name) noexcept {
    const size_t length = std::strlen(file);
    if (PathEndsWith(file, length, name)) return true;
    size_t stem = length;
    while (stem > 0 && !IsSeparator(file[stem - 1]) && file[stem - 1] != '.') --stem;
    if (stem == 0 || file[stem - 1] != '.') return false;
    return PathEndsWith(file, stem - 1, name);
}

const char* LastComponent(const char* file) {
    const char* last = file;
    for (const char* p = file; *p; ++p) {
        if (IsSeparator(*p)) last = p + 1;
    }
    return last;
}

// ---------------------------------------------------------------------------------------------
// State

// The level mask is read without a lock by every gate; the file filter under a reader lock
// (only while tracing is on).
std::atomic<std::uint32_t> g_levelMask{0};
SRWLOCK g_filterLock = SRWLOCK_INIT;
std::vector<std::string> g_files;  // guarded by g_filterLock; empty: every file

// Output state: the file handle, the sink and the writing of lines, under one re-entrant lock
// (a sink may itself report through the logger).
struct OutputState {
    CS_Wrapper lock;
    HANDLE file = INVALID_HANDLE_VALUE;
    SLogger::Sink sink;
};

OutputState& Output() {
    static OutputState state;
    return state;
}

bool FileAdmitted(const char* file) noexcept {
    if (!file) file = "";
    ::AcquireSRWLockShared(&g_filterLock);
    bool admitted = g_files.empty();
    for (const std::string& name : g_files) {
        if (FileMatches(file, name)) {
            admitted = true;
            break;
        }
    }
    ::ReleaseSRWLockShared(&g_filterLock);
    return admitted;
}

void WriteWarning(const std::string& text) {
    const std::string line = "zentil: " + text + "\n";
    CS_Lock hold(Output().lock);
    std::fwrite(line.data(), 1, line.length(), stderr);
    std::fflush(stderr);
}

void CloseOutputFile(OutputState& out) {
    if (out.file != INVALID_HANDLE_VALUE) {
        ::FlushFileBuffers(out.file);
        ::CloseHandle(out.file);
        out.file = INVALID_HANDLE_VALUE;
    }
}

void SwitchOff() {
    g_traceIsOff.store(true);
    g_levelMask.store(0);
}

// Installs config; false with the reason when its output cannot be opened (tracing is then off).
bool Apply(const SLoggerConfig& config, std::string* error) {
    std::uint32_t mask = 0;
    for (size_t i = 0; i < config.levels.size() && i < kLevelCount; ++i) {
        if (config.levels[i]) mask |= 1u << i;
    }

    HANDLE file = INVALID_HANDLE_VALUE;
    const bool toStderr = config.output.empty() || _wcsicmp(config.output.c_str(), L"stderr") == 0;
    if (mask != 0 && !toStderr) {
        // Appending: each WriteFile of a whole line lands at the end as one piece.
        file = ::CreateFileW(config.output.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            if (error) {
                char number[16];
                std::snprintf(number, sizeof number, "%lu", code);
                *error = "ZENTIL_TRACE_OUTPUT=\"" +
                         ToUtf8(config.output.c_str(), config.output.length()) +
                         "\": the file cannot be opened for appending (error " + number + ")";
            }
        }
    }

    std::vector<std::string> files;
    try {
        files = config.files;
    } catch (...) {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        throw;
    }
    for (const std::string& name : files) {
        if (name == "*") {
            files.clear();
            break;
        }
    }

    OutputState& out = Output();
    CS_Lock hold(out.lock);
    SwitchOff();
    CloseOutputFile(out);
    if (mask == 0 || (!toStderr && file == INVALID_HANDLE_VALUE)) return mask == 0;

    out.file = file;
    ::AcquireSRWLockExclusive(&g_filterLock);
    g_files.swap(files);
    ::ReleaseSRWLockExclusive(&g_filterLock);
    g_levelMask.store(mask);
    g_traceIsOff.store(false);
    return true;
}

bool ParseLevels(const std::string& text, std::vector<bool>& levels) {
    levels.clear();
    const std::string value = Trim(text);
    if (value.empty() || EqualsNoCase(value, "none")) return true;
    if (EqualsNoCase(value, "all")) {
        levels.assign(kLevelCount, true);
        return true;
    }
    std::vector<bool> result(kLevelCount, false);
    for (const std::string& item : SplitList(value)) {
        int bounds[2] = {-1, -1};
        int count = 0;
        size_t i = 0;
        while (count < 2) {
            int number = 0;
            size_t digits = 0;
            while (i < item.length() && item[i] >= '0' && item[i] <= '9' && digits < 3) {
                number = number * 10 + (item[i] - '0');
                ++i;
                ++digits;
            }
            if (digits == 0 || number >= kLevelCount) return false;
            bounds[count++] = number;
            if (i == item.length()) break;
            if (item[i] != '-' || count == 2) return false;
            ++i;
        }
        if (i != item.length()) return false;
        const int first = bounds[0];
        const int last = count == 2 ? bounds[1] : first;
        if (first > last) return false;
        for (int level = first; level <= last; ++level) result[static_cast<size_t>(level)] = true;
    }
    levels = std::move(result);
    return true;
}

bool ParseFiles(const std::string& text, std::vector<std::string>& files) {
    files.clear();
    const std::string value = Trim(text);
    if (value.empty() || value == "*") return true;
    for (const std::string& item : SplitList(value)) {
        if (item.empty()) return false;
        if (item == "*") {
            files.clear();
            return true;
        }
        files.push_back(item);
    }
    return true;
}

// Reads one environment variable as UTF-8; false when it is not set.
bool ReadEnvironment(const wchar_t* name, std::string& value) {
    value.clear();
    wchar_t small[256];
    DWORD size = ::GetEnvironmentVariableW(name, small, 256);
    if (size == 0) return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (size < 256) {
        value = ToUtf8(small, size);
        return true;
    }
    std::wstring large(size, L'\0');
    size = ::GetEnvironmentVariableW(name, large.data(), size);
    if (size == 0 || size >= large.size()) return false;  // changed meanwhile: ignore
    value = ToUtf8(large.data(), size);
    return true;
}

std::string EscapeLineBreaks(std::string text) {
    // One record is one line: a value holding line breaks must not start lines of its own.
    std::string result;
    result.reserve(text.length());
    for (char c : text) {
        if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else {
            result += c;
        }
    }
    return result;
}

void WriteLine(const STraceRecord& record) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%04u-%02u-%02u %02u:%02u:%02u.%03u %5lu %2d ", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  ::GetCurrentThreadId(), record.level);
    std::string line = prefix;
    line += LastComponent(record.file ? record.file : "");
    char location[16];
    std::snprintf(location, sizeof location, "(%d): ", record.line);
    line += location;
    line += EscapeLineBreaks(ToUtf8(record.text.c_str(), record.text.length()));

    OutputState& out = Output();
    CS_Lock hold(out.lock);
    if (out.file != INVALID_HANDLE_VALUE) {
        line += "\r\n";
        DWORD written = 0;
        ::WriteFile(out.file, line.data(), static_cast<DWORD>(line.length()), &written, nullptr);
    } else {
        line += '\n';
        std::fwrite(line.data(), 1, line.length(), stderr);
        std::fflush(stderr);
    }
    if (out.sink) out.sink(record);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// SLogger

bool SLogger::ParseSettings(const char* levels, const char* files, const char* output,
                            SLoggerConfig& config, std::string* error) {
    try {
        SLoggerConfig parsed;
        const std::string levelText = levels ? levels : "";
        if (!ParseLevels(levelText, parsed.levels)) {
            if (error) {
                *error = "ZENTIL_TRACE=\"" + levelText +
                         "\" is malformed: expected all, none, or levels 0-31 listed as 0,14 or "
                         "ranged as 0-14";
            }
            return false;
        }
        const std::string fileText = files ? files : "";
        if (!ParseFiles(fileText, parsed.files)) {
            if (error) {
                *error = "ZENTIL_TRACE_FILES=\"" + fileText +
                         "\" is malformed: expected * or a comma list of file names";
            }
            return false;
        }
        const std::string outputText = Trim(output ? output : "");
        parsed.output =
            outputText.empty() ? std::wstring(L"stderr") : FromNarrow(outputText.c_str());
        config = std::move(parsed);
        return true;
    } catch (const std::bad_alloc&) {
        if (error) error->clear();
        return false;
    }
}

bool SLogger::Initialize() {
    try {
        std::string levels, files, output, assertion;
        ReadEnvironment(L"ZENTIL_TRACE", levels);
        ReadEnvironment(L"ZENTIL_TRACE_FILES", files);
        ReadEnvironment(L"ZENTIL_TRACE_OUTPUT", output);
        ReadEnvironment(L"ZENTIL_ASSERT", assertion);

        std::string error;
        SLoggerConfig config;
        bool valid = true;
        const std::string assertValue = Trim(assertion);
        if (assertValue.empty() || EqualsNoCase(assertValue, "on")) {
            SetAssertEnabled(true);
        } else if (EqualsNoCase(assertValue, "off")) {
            SetAssertEnabled(false);
        } else {
            valid = false;
            SetAssertEnabled(true);
            error = "ZENTIL_ASSERT=\"" + assertion + "\" is malformed: expected on or off";
        }
        valid =
            valid && ParseSettings(levels.c_str(), files.c_str(), output.c_str(), config, &error);
        if (valid && Apply(config, &error)) return true;

        SwitchOff();
        WriteWarning(error + "; tracing is off");
        return false;
    } catch (const std::bad_alloc&) {
        SwitchOff();
        return false;
    }
}

void SLogger::Terminate() {
    OutputState& out = Output();
    CS_Lock hold(out.lock);
    SwitchOff();
    CloseOutputFile(out);
}

void SLogger::Configure(const SLoggerConfig& config) {
    try {
        std::string error;
        if (!Apply(config, &error)) WriteWarning(error + "; tracing is off");
    } catch (const std::bad_alloc&) {
        SwitchOff();
    }
}

void SLogger::SetSink(Sink sink) {
    OutputState& out = Output();
    CS_Lock hold(out.lock);
    out.sink = std::move(sink);
}

bool SLogger::ShouldTrace(int level, const char* file) noexcept {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().shouldTrace;
    if (g_traceIsOff.load(std::memory_order_relaxed)) return false;
    return FileAdmitted(file);
}

bool ShouldTrace_slowpath(int level, const char* file, int line) noexcept {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().slowPath;
    if (level < 0 || level >= kLevelCount) return false;
    if ((g_levelMask.load(std::memory_order_relaxed) & (1u << level)) == 0) return false;
    return FileAdmitted(file);
}

// ---------------------------------------------------------------------------------------------
// Parameters and records

STraceParameter::STraceParameter(const wchar_t* text) : m_text(text ? text : L"") {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
}

STraceParameter::STraceParameter(const SWCharString& text) : m_text(text.str()) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
}

STraceParameter::STraceParameter(int value) : m_text(DecimalText(value)) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
}

STraceParameter::STraceParameter(unsigned int value) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
    // Status codes read best in hex.
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08X", value);
    m_text = text;
}

STraceParameter::STraceParameter(long value) : m_text(DecimalText(value)) {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
}

STraceParameter::STraceParameter(bool value) : m_text(value ? L"true" : L"false") {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().parameters;
}

void STraceObj::operator()(const wchar_t* format, const STraceParameter& p1) const {
    const STraceParameter* params[] = {&p1};
    Write(format, params, 1);
}

void STraceObj::operator()(const wchar_t* format, const STraceParameter& p1,
                           const STraceParameter& p2) const {
    const STraceParameter* params[] = {&p1, &p2};
    Write(format, params, 2);
}

void STraceObj::operator()(const wchar_t* format, const STraceParameter& p1,
                           const STraceParameter& p2, const STraceParameter& p3) const {
    const STraceParameter* params[] = {&p1, &p2, &p3};
    Write(format, params, 3);
}

void STraceObj::operator()(const wchar_t* format, const STraceParameter& p1,
                           const STraceParameter& p2, const STraceParameter& p3,
                           const STraceParameter& p4) const {
    const STraceParameter* params[] = {&p1, &p2, &p3, &p4};
    Write(format, params, 4);
}

void STraceObj::operator()(const char* text) const {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().traceObjCalls;
    try {
        WriteLine(STraceRecord{m_level, m_file, m_line, m_kind, FromNarrow(text)});
    } catch (...) {
        // A failing logger never disturbs its caller.
    }
}

void STraceObj::Write(const wchar_t* format, const STraceParameter* const* params,
                      int count) const {
    if (TraceCountingEnabled()) ++ThreadTraceCounters().traceObjCalls;
    try {
        std::wstring text;
        // Parameter texts are inserted as they are, never scanned for placeholders again.
        for (const wchar_t* p = format ? format : L""; *p; ++p) {
            if (p[0] == L'%' && p[1] >= L'1' && p[1] <= L'0' + count) {
                text += params[p[1] - L'1']->text();
                ++p;
            } else {
                text += *p;
            }
        }
        WriteLine(STraceRecord{m_level, m_file, m_line, m_kind, std::move(text)});
    } catch (...) {
        // A failing logger never disturbs its caller.
    }
}

}  // namespace Zentil500
