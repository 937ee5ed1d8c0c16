// Conversions between the library's wide texts and narrow (UTF-8) texts.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace Zentil500::detail {

inline std::string ToUtf8(const wchar_t* text, size_t length) {
    std::string result;
    if (!text || length == 0) return result;
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) return result;
    result.resize(static_cast<size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                          nullptr);
    return result;
}

// Narrow texts of our callers are UTF-8 (source literals); anything else is taken as ANSI.
inline std::wstring FromNarrow(const char* text) {
    std::wstring result;
    if (!text || !*text) return result;
    const int length = static_cast<int>(std::strlen(text));
    UINT codePage = CP_UTF8;
    int size = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
    if (size <= 0) {
        codePage = CP_ACP;
        size = ::MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
        if (size <= 0) return result;
    }
    result.resize(static_cast<size_t>(size));
    ::MultiByteToWideChar(codePage, 0, text, length, result.data(), size);
    return result;
}

}  // namespace Zentil500::detail
