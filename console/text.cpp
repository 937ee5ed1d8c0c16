// Text helpers of the console host.
#include "text.h"

#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "KorvelInfoStore.h"
#include "zentil500.h"

namespace KeyTool {

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::runtime_error("text that is not valid UTF-16");
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("text that is not valid UTF-8");
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        out.data(), size);
    return out;
}

namespace {

void Write(DWORD which, std::wstring_view text) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Text from the repository is valid UTF-16 (it was checked when it was read); anything else
    // is written with replacement characters rather than not at all.
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

struct KnownStatus {
    HRESULT hr;
    const wchar_t* name;
    const wchar_t* meaning;
};

#define WIN32_STATUS(code, meaning) \
    { HRESULT_FROM_WIN32(code), L## #code, meaning }

constexpr KnownStatus kKnownStatuses[] = {
    // The repository's and the key module's own statuses.
    {KV_E_INVALIDSTATETRANSITION, L"KV_E_INVALIDSTATETRANSITION",
     L"the key's state does not allow this change"},
    {KV_E_PROPERTYNOTFOUND, L"KV_E_PROPERTYNOTFOUND", L"no such property or element"},
    {KV_E_IDNOTINCOLLECTION, L"KV_E_IDNOTINCOLLECTION", L"no such ID in the collection"},
    {KV_E_VALUEALREADYINLIST, L"KV_E_VALUEALREADYINLIST", L"the list holds that value already"},
    {KV_E_PROPERTYBAGUNAVAILABLE, L"KV_E_PROPERTYBAGUNAVAILABLE",
     L"the property bag is not available"},
    {KV_E_CLONEFAILED, L"KV_E_CLONEFAILED", L"the object could not be copied"},
    {KV_E_PROCESSINGPROPERTYUNREADABLE, L"KV_E_PROCESSINGPROPERTYUNREADABLE",
     L"the processing information cannot be read"},
    {KV_E_HTMLACTIONNOTSUPPORTED, L"KV_E_HTMLACTIONNOTSUPPORTED",
     L"the object does not support this HTML action"},
    // COM.
    {E_NOTIMPL, L"E_NOTIMPL", L"not implemented"},
    {E_NOINTERFACE, L"E_NOINTERFACE", L"no such interface"},
    {E_POINTER, L"E_POINTER", L"invalid pointer"},
    {E_ABORT, L"E_ABORT", L"the operation was aborted"},
    {E_FAIL, L"E_FAIL", L"unspecified failure"},
    {E_UNEXPECTED, L"E_UNEXPECTED", L"unexpected failure"},
    {E_ACCESSDENIED, L"E_ACCESSDENIED", L"access denied"},
    {E_HANDLE, L"E_HANDLE", L"invalid handle"},
    {E_OUTOFMEMORY, L"E_OUTOFMEMORY", L"out of memory"},
    {E_INVALIDARG, L"E_INVALIDARG", L"invalid argument"},
    {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG", L"class not registered"},
    {REGDB_E_READREGDB, L"REGDB_E_READREGDB", L"the registry could not be read"},
    {CO_E_CLASSSTRING, L"CO_E_CLASSSTRING", L"invalid class string (ProgID not registered)"},
    {CO_E_NOTINITIALIZED, L"CO_E_NOTINITIALIZED", L"COM is not initialised"},
    {CO_E_DLLNOTFOUND, L"CO_E_DLLNOTFOUND", L"the module's DLL was not found"},
    {CO_E_ERRORINDLL, L"CO_E_ERRORINDLL", L"the module's DLL file is not valid"},
    {CLASS_E_NOAGGREGATION, L"CLASS_E_NOAGGREGATION", L"the class cannot be aggregated"},
    {CLASS_E_CLASSNOTAVAILABLE, L"CLASS_E_CLASSNOTAVAILABLE",
     L"the module does not provide this class"},
    // Automation.
    {DISP_E_UNKNOWNINTERFACE, L"DISP_E_UNKNOWNINTERFACE", L"unknown interface"},
    {DISP_E_MEMBERNOTFOUND, L"DISP_E_MEMBERNOTFOUND", L"no such member"},
    {DISP_E_PARAMNOTFOUND, L"DISP_E_PARAMNOTFOUND", L"parameter not found"},
    {DISP_E_TYPEMISMATCH, L"DISP_E_TYPEMISMATCH",
     L"type mismatch: the value cannot be converted to the type asked for"},
    {DISP_E_UNKNOWNNAME, L"DISP_E_UNKNOWNNAME", L"unknown name"},
    {DISP_E_NONAMEDARGS, L"DISP_E_NONAMEDARGS", L"named arguments are not supported"},
    {DISP_E_BADVARTYPE, L"DISP_E_BADVARTYPE", L"the value has an invalid variant type"},
    {DISP_E_EXCEPTION, L"DISP_E_EXCEPTION", L"the member raised an exception"},
    {DISP_E_OVERFLOW, L"DISP_E_OVERFLOW", L"the value is out of range for the type asked for"},
    {DISP_E_BADINDEX, L"DISP_E_BADINDEX", L"index out of range"},
    {DISP_E_UNKNOWNLCID, L"DISP_E_UNKNOWNLCID", L"unknown locale"},
    {DISP_E_ARRAYISLOCKED, L"DISP_E_ARRAYISLOCKED", L"the array is locked"},
    {DISP_E_BADPARAMCOUNT, L"DISP_E_BADPARAMCOUNT", L"wrong number of parameters"},
    {DISP_E_PARAMNOTOPTIONAL, L"DISP_E_PARAMNOTOPTIONAL", L"a required parameter is missing"},
    {DISP_E_BADCALLEE, L"DISP_E_BADCALLEE", L"invalid callee"},
    {DISP_E_NOTACOLLECTION, L"DISP_E_NOTACOLLECTION", L"the object is not a collection"},
    {DISP_E_DIVBYZERO, L"DISP_E_DIVBYZERO", L"division by zero"},
    {DISP_E_BUFFERTOOSMALL, L"DISP_E_BUFFERTOOSMALL", L"the buffer is too small"},
    {TYPE_E_ELEMENTNOTFOUND, L"TYPE_E_ELEMENTNOTFOUND", L"element not found in the type library"},
    {TYPE_E_LIBNOTREGISTERED, L"TYPE_E_LIBNOTREGISTERED", L"the type library is not registered"},
    {TYPE_E_CANTLOADLIBRARY, L"TYPE_E_CANTLOADLIBRARY", L"the type library cannot be loaded"},
    {TYPE_E_TYPEMISMATCH, L"TYPE_E_TYPEMISMATCH", L"type mismatch"},
    {TYPE_E_INVDATAREAD, L"TYPE_E_INVDATAREAD", L"invalid data read from the type library"},
    {TYPE_E_UNSUPFORMAT, L"TYPE_E_UNSUPFORMAT", L"the type library has an unsupported format"},
    {TYPE_E_REGISTRYACCESS, L"TYPE_E_REGISTRYACCESS", L"the registry could not be accessed"},
    {TYPE_E_WRONGTYPEKIND, L"TYPE_E_WRONGTYPEKIND", L"wrong type kind"},
    {TYPE_E_OUTOFBOUNDS, L"TYPE_E_OUTOFBOUNDS", L"index out of bounds"},
    {TYPE_E_IOERROR, L"TYPE_E_IOERROR", L"input or output error"},
    // The system (Win32 errors as statuses).
    WIN32_STATUS(ERROR_FILE_NOT_FOUND, L"the file was not found"),
    WIN32_STATUS(ERROR_PATH_NOT_FOUND, L"the path was not found"),
    WIN32_STATUS(ERROR_ACCESS_DENIED, L"access denied"),
    WIN32_STATUS(ERROR_INVALID_HANDLE, L"invalid handle"),
    WIN32_STATUS(ERROR_NOT_ENOUGH_MEMORY, L"not enough memory"),
    WIN32_STATUS(ERROR_INVALID_DATA, L"the data is not valid"),
    WIN32_STATUS(ERROR_OUTOFMEMORY, L"out of memory"),
    WIN32_STATUS(ERROR_WRITE_PROTECT, L"the medium is write-protected"),
    WIN32_STATUS(ERROR_SHARING_VIOLATION, L"the file is in use by another process"),
    WIN32_STATUS(ERROR_LOCK_VIOLATION, L"a part of the file is locked by another process"),
    WIN32_STATUS(ERROR_HANDLE_DISK_FULL, L"the disk is full"),
    WIN32_STATUS(ERROR_DISK_FULL, L"the disk is full"),
    WIN32_STATUS(ERROR_FILE_EXISTS, L"the file exists"),
    WIN32_STATUS(ERROR_ALREADY_EXISTS, L"it exists already"),
    WIN32_STATUS(ERROR_INVALID_PARAMETER, L"invalid parameter"),
    WIN32_STATUS(ERROR_INVALID_NAME, L"the file name is not valid"),
    WIN32_STATUS(ERROR_MOD_NOT_FOUND, L"a module (DLL) it needs was not found"),
    WIN32_STATUS(ERROR_PROC_NOT_FOUND, L"an entry point it needs was not found in its DLL"),
    WIN32_STATUS(ERROR_BAD_EXE_FORMAT, L"the file is not a valid program or DLL"),
    WIN32_STATUS(ERROR_DLL_INIT_FAILED, L"the DLL failed to initialise"),
    WIN32_STATUS(ERROR_BAD_PATHNAME, L"the path is not valid"),
    WIN32_STATUS(ERROR_FILENAME_EXCED_RANGE, L"the file name is too long"),
    WIN32_STATUS(ERROR_DIRECTORY, L"the name is not a folder"),
    WIN32_STATUS(ERROR_BUSY, L"the resource is busy"),
    WIN32_STATUS(ERROR_TIMEOUT, L"the wait timed out"),
    WIN32_STATUS(ERROR_NOACCESS, L"invalid memory access"),
};

#undef WIN32_STATUS

const KnownStatus* FindStatus(HRESULT hr) {
    for (const KnownStatus& known : kKnownStatuses)
        if (known.hr == hr) return &known;
    return nullptr;
}

// The system's message for hr, one line, with its inserts ("%1", "%2!s!") left out.
std::wstring SystemMessage(HRESULT hr) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring raw = length > 0 && message != nullptr ? std::wstring(message, length) : L"";
    LocalFree(message);
    std::wstring text;
    for (size_t i = 0; i < raw.size(); ++i) {
        const wchar_t c = raw[i];
        if (c == L'%' && i + 1 < raw.size() && raw[i + 1] >= L'1' && raw[i + 1] <= L'9') {
            ++i;
            while (i + 1 < raw.size() && raw[i + 1] >= L'0' && raw[i + 1] <= L'9') ++i;
            if (i + 1 < raw.size() && raw[i + 1] == L'!') {
                const size_t end = raw.find(L'!', i + 2);
                i = end == std::wstring::npos ? raw.size() : end;
            }
            // "for %1" reads "for it" once the insert is gone.
            text += L"it";
            continue;
        }
        text += c == L'\r' || c == L'\n' || c == L'\t' ? L' ' : c;
    }
    while (!text.empty() && (text.back() == L' ' || text.back() == L'.')) text.pop_back();
    size_t start = 0;
    while (start < text.size() && text[start] == L' ') ++start;
    return text.substr(start);
}

}  // namespace

std::wstring StatusName(HRESULT hr) {
    if (const KnownStatus* known = FindStatus(hr)) return known->name;
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32)
        return L"Win32 error " + std::to_wstring(HRESULT_CODE(hr));
    if (HRESULT_FACILITY(hr) == FACILITY_ITF)
        return L"interface-specific status " + std::to_wstring(HRESULT_CODE(hr));
    return std::wstring(FAILED(hr) ? L"failure" : L"success") + L" status of facility " +
           std::to_wstring(HRESULT_FACILITY(hr));
}

std::wstring StatusMeaning(HRESULT hr) {
    if (const KnownStatus* known = FindStatus(hr)) return known->meaning;
    const std::wstring system = SystemMessage(hr);
    return system.empty() ? L"the system has no description of it" : system;
}

std::wstring SafeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        wchar_t escape[8] = {};
        if (IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
            out += c;
            out += text[++i];
            continue;
        }
        if (c == L'\n' || c == L'\r' || c == L'\t')
            swprintf(escape, 8, L"\\%lc", c == L'\n' ? L'n' : c == L'\r' ? L'r' : L't');
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
            swprintf(escape, 8, L"\\x%02x", static_cast<unsigned>(c));
        else if (IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c) || c == 0x061C || c == 0x200E ||
                 c == 0x200F || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
                 (c >= 0x2066 && c <= 0x2069))
            swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
        if (escape[0] != L'\0')
            out += escape;
        else
            out += c;
    }
    return out;
}

std::wstring Grouped(unsigned long long number) {
    std::wstring digits = std::to_wstring(number);
    for (size_t at = digits.size(); at > 3;) {
        at -= 3;
        digits.insert(at, 1, L',');
    }
    return digits;
}

std::wstring Excerpt(std::wstring_view text, size_t limit) {
    if (text.size() <= limit) return SafeText(text);
    size_t cut = limit;
    if (cut > 0 && IS_HIGH_SURROGATE(text[cut - 1]) && IS_LOW_SURROGATE(text[cut])) --cut;
    return SafeText(text.substr(0, cut)) + L"... (" + Grouped(text.size()) + L" characters)";
}

std::wstring ExcerptOfBytes(std::string_view bytes, size_t limit) {
    // Decoded one sequence at a time, so that a byte of no valid sequence stays visible.
    std::wstring out;
    size_t characters = 0, i = 0;
    for (; i < bytes.size() && characters < limit; ++characters) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const size_t length = byte < 0x80         ? 1
                              : (byte >> 5) == 6  ? 2
                              : (byte >> 4) == 14 ? 3
                              : (byte >> 3) == 30 ? 4
                                                  : 0;
        std::wstring decoded;
        if (length > 0 && i + length <= bytes.size()) {
            try {
                decoded = FromUtf8(bytes.substr(i, length));
            } catch (const std::runtime_error&) {
                decoded.clear();
            }
        }
        if (decoded.empty() && !(length == 1 && byte == 0)) {
            wchar_t escape[8];
            swprintf(escape, 8, L"\\x%02x", static_cast<unsigned>(byte));
            out += escape;
            ++i;
            continue;
        }
        out += length == 1 && byte == 0 ? std::wstring(1, L'\0') : decoded;
        i += length;
    }
    out = SafeText(out);
    if (i < bytes.size()) out += L"... (" + Grouped(bytes.size()) + L" bytes)";
    return out;
}

bool HasControlCharacters(std::wstring_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029 ||
            IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c))
            return true;
    }
    return false;
}

bool OutUtf8(std::string_view text) {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        Out(FromUtf8(text));
        return true;
    }
    while (!text.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return false;
        text.remove_prefix(written);
    }
    return true;
}

bool ErrIsTerminal() {
    DWORD mode = 0;
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void Out(std::wstring_view text) {
    Write(STD_OUTPUT_HANDLE, text);
}

void Err(std::wstring_view text) {
    Write(STD_ERROR_HANDLE, text);
}

std::wstring HexStatus(HRESULT hr) {
    wchar_t buffer[16];
    swprintf(buffer, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

std::wstring StatusText(HRESULT hr) {
    return HexStatus(hr) + L" " + StatusName(hr) + L": " + StatusMeaning(hr);
}

std::wstring DateText(DATE date) {
    SYSTEMTIME time{};
    if (!VariantTimeToSystemTime(date, &time)) return L"(invalid date)";
    wchar_t buffer[32];
    swprintf(buffer, 32, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
             time.wHour, time.wMinute, time.wSecond);
    return buffer;
}

std::string IsoUtcText(DATE localDate) {
    SYSTEMTIME local{}, utc{};
    TIME_ZONE_INFORMATION zone;
    if (!VariantTimeToSystemTime(localDate, &local) ||
        !TzSpecificLocalTimeToSystemTime(Zentil500::LocalTimeZone(zone), &local, &utc))
        return {};
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth,
             utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    return buffer;
}

std::wstring DurationText(long milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    const bool atLimit = milliseconds == 0x7FFFFFFF;
    long seconds = milliseconds / 1000;
    const long days = seconds / 86400;
    seconds %= 86400;
    const long hours = seconds / 3600;
    seconds %= 3600;
    const long minutes = seconds / 60;
    seconds %= 60;
    wchar_t buffer[64];
    if (days > 0)
        swprintf(buffer, 64, L"%ld d %ld h%ls", days, hours, atLimit ? L" or more" : L"");
    else if (hours > 0)
        swprintf(buffer, 64, L"%ld h %02ld min", hours, minutes);
    else if (minutes > 0)
        swprintf(buffer, 64, L"%ld min %02ld s", minutes, seconds);
    else
        swprintf(buffer, 64, L"%ld s", seconds);
    return buffer;
}

}  // namespace KeyTool
