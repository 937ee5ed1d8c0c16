// Text helpers of the console host.
#include "text.h"

#include <oleauto.h>

#include <cstdio>
#include <stdexcept>

#include "KorvelInfoStore.h"

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

constexpr KnownStatus kKnownStatuses[] = {
    {KV_E_INVALIDSTATETRANSITION, L"KV_E_INVALIDSTATETRANSITION",
     L"the key's state does not allow this change"},
    {KV_E_PROPERTYNOTFOUND, L"KV_E_PROPERTYNOTFOUND", L"no such property or element"},
    {KV_E_IDNOTINCOLLECTION, L"KV_E_IDNOTINCOLLECTION", L"no such ID in the collection"},
    {KV_E_VALUEALREADYINLIST, L"KV_E_VALUEALREADYINLIST", L"the list holds that value already"},
    {KV_E_PROPERTYBAGUNAVAILABLE, L"KV_E_PROPERTYBAGUNAVAILABLE",
     L"the property bag is not available"},
    {E_NOTIMPL, L"E_NOTIMPL", L"not implemented"},
    {E_NOINTERFACE, L"E_NOINTERFACE", L"no such interface"},
    {E_POINTER, L"E_POINTER", L"invalid pointer"},
    {E_FAIL, L"E_FAIL", L"unspecified failure"},
    {E_OUTOFMEMORY, L"E_OUTOFMEMORY", L"out of memory"},
    {E_INVALIDARG, L"E_INVALIDARG", L"invalid argument"},
    {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG", L"class not registered"},
    {CO_E_CLASSSTRING, L"CO_E_CLASSSTRING", L"invalid class string (ProgID not registered)"},
};

}  // namespace

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
    std::wstring text = HexStatus(hr);
    for (const KnownStatus& known : kKnownStatuses)
        if (known.hr == hr) return text + L" " + known.name + L": " + known.meaning;
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (length > 0 && message != nullptr) {
        std::wstring system(message, length);
        while (!system.empty() && (system.back() == L'\n' || system.back() == L'\r' ||
                                   system.back() == L' ' || system.back() == L'.'))
            system.pop_back();
        if (!system.empty()) text += L" (" + system + L")";
    }
    LocalFree(message);
    return text;
}

std::wstring DateText(DATE date) {
    SYSTEMTIME time{};
    if (!VariantTimeToSystemTime(date, &time)) return L"(invalid date)";
    wchar_t buffer[32];
    swprintf(buffer, 32, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
             time.wHour, time.wMinute, time.wSecond);
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
