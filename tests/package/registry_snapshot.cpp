// registry_snapshot <out-file> [key...]: every key and value below HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, or below the keys named (such as HKLM\Software\Classes\Installer), one sorted
// line each with its full path (see registry_dump.h), written as UTF-8, for the installer package
// tests to compare the registry before and after an installer run. A named key that is not there
// adds no lines.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "registrar/registry_dump.h"

namespace {

// Adds the lines of the subtree `path` ("HKLM" or "HKCU", optionally followed by "\" and a key).
// False for another root.
bool AddTree(const std::wstring& path, std::wstring& text) {
    const std::wstring rootName = path.substr(0, path.find(L'\\'));
    const HKEY root = rootName == L"HKLM"   ? HKEY_LOCAL_MACHINE
                      : rootName == L"HKCU" ? HKEY_CURRENT_USER
                                            : nullptr;
    if (!root) return false;
    HKEY key = root;
    if (path.size() > rootName.size() && RegOpenKeyExW(root, path.c_str() + rootName.size() + 1, 0,
                                                       KEY_READ, &key) != ERROR_SUCCESS) {
        return true;
    }
    if (key != root) text += path + L"\n";
    for (const std::wstring& line : DumpRegistryTree(key)) {
        // The key's own values come as ".": shown with the key's path.
        text += path + (line.compare(0, 2, L". ") == 0 ? line.substr(1) : L"\\" + line) + L"\n";
    }
    if (key != root) RegCloseKey(key);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: registry_snapshot <out-file> [key...]\n");
        return 2;
    }
    std::vector<std::wstring> trees(argv + 2, argv + argc);
    if (trees.empty()) trees = {L"HKLM", L"HKCU"};
    std::wstring text;
    for (const std::wstring& tree : trees) {
        if (!AddTree(tree, text)) {
            fwprintf(stderr, L"registry_snapshot: %ls is not below HKLM or HKCU\n", tree.c_str());
            return 2;
        }
    }

    if (!WriteUtf8File(argv[1], text)) {
        fwprintf(stderr, L"registry_snapshot: cannot write %ls\n", argv[1]);
        return 1;
    }
    return 0;
}
