// registry_snapshot <out-file>: every key and value below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER,
// one sorted line each (see registry_dump.h), written as UTF-8, for the installer package tests
// to compare the registry before and after an installer run.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "registrar/registry_dump.h"

namespace {

void AddTree(HKEY root, const std::wstring& name, std::wstring& text) {
    for (const std::wstring& line : DumpRegistryTree(root)) {
        // The root's own values come as ".": shown as the root itself.
        text += name + (line.compare(0, 2, L". ") == 0 ? line.substr(1) : L"\\" + line) + L"\n";
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: registry_snapshot <out-file>\n");
        return 2;
    }
    std::wstring text;
    AddTree(HKEY_LOCAL_MACHINE, L"HKLM", text);
    AddTree(HKEY_CURRENT_USER, L"HKCU", text);

    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"registry_snapshot: cannot create %ls\n", argv[1]);
        return 1;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size();
    CloseHandle(file);
    return ok ? 0 : 1;
}
