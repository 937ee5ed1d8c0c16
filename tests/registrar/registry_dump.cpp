#include "registry_dump.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

// The names of the types 0 (REG_NONE) to 11 (REG_QWORD); REG_? for the others.
const wchar_t* TypeName(DWORD type) {
    static const wchar_t* const kNames[] = {
        L"REG_NONE", L"REG_SZ",       L"REG_EXPAND_SZ", L"REG_BINARY", L"REG_DWORD", L"REG_?",
        L"REG_?",    L"REG_MULTI_SZ", L"REG_?",         L"REG_?",      L"REG_?",     L"REG_QWORD"};
    return type < std::size(kNames) ? kNames[type] : L"REG_?";
}

std::wstring ValueLine(const std::wstring& path, const std::wstring& name, DWORD type,
                       const BYTE* data, DWORD size) {
    std::wstring line = path + L" : \"" + name + L"\" " + TypeName(type) + L" [";
    wchar_t hex[4];
    for (DWORD i = 0; i < size; ++i) {
        swprintf(hex, 4, i ? L" %02x" : L"%02x", data[i]);
        line += hex;
    }
    line += L"]";
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        // Readable form; nulls shown as |.
        std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
        std::replace(text.begin(), text.end(), L'\0', L'|');
        line += L" \"" + text + L"\"";
    }
    return line;
}

void DumpKey(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines) {
    DWORD maxSubkey = 0, maxValueName = 0, maxData = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &maxSubkey, nullptr, nullptr,
                         &maxValueName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        lines.push_back(path + L" : <unreadable>");
        return;
    }
    std::vector<wchar_t> name(std::max(maxSubkey, maxValueName) + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        lines.push_back(
            ValueLine(path, std::wstring(name.data(), nameLength), type, data.data(), size));
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        const std::wstring subName(name.data(), nameLength);
        const std::wstring subPath = path == L"." ? subName : path + L"\\" + subName;
        lines.push_back(subPath);
        HKEY subkey = nullptr;
        if (RegOpenKeyExW(key, subName.c_str(), 0, KEY_READ, &subkey) != ERROR_SUCCESS) {
            lines.push_back(subPath + L" : <cannot open>");
            continue;
        }
        DumpKey(subkey, subPath, lines);
        RegCloseKey(subkey);
    }
}

}  // namespace

std::vector<std::wstring> DumpRegistryTree(HKEY key) {
    std::vector<std::wstring> lines;
    DumpKey(key, L".", lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::wstring JoinLines(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\n";
    return text;
}

std::string ToUtf8(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, 0),
                      '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(),
                        static_cast<int>(bytes.size()), nullptr, nullptr);
    return bytes;
}

std::wstring ReadUtf8File(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const int length = static_cast<int>(bytes.size());
    std::wstring text(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(),
                        static_cast<int>(text.size()));
    return text;
}

bool WriteUtf8File(const std::wstring& path, const std::wstring& text) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file << ToUtf8(text);
    file.close();
    return !file.fail();
}

RegistrySandbox::RegistrySandbox(const std::wstring& path)
    : m_fullPath(std::wstring(kBase) + L"\\" + path) {
    RegDeleteTreeW(HKEY_CURRENT_USER, m_fullPath.c_str());  // left over from a crashed run
    RegCreateKeyExW(HKEY_CURRENT_USER, m_fullPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
}

RegistrySandbox::~RegistrySandbox() {
    if (m_key) RegCloseKey(m_key);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_fullPath.c_str());
    // Parents go when empty; RegDeleteKey refuses a key that still has subkeys.
    std::wstring parent = m_fullPath;
    for (size_t cut; (cut = parent.rfind(L'\\')) != std::wstring::npos && parent != kBase;) {
        parent.resize(cut);
        if (RegDeleteKeyW(HKEY_CURRENT_USER, parent.c_str()) != ERROR_SUCCESS) break;
    }
}
