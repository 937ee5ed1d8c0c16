// Helpers shared by the registrar tests and the peer driver: a text dump of a key's subtree that
// two registrars' results can be compared with, a throw-away sandbox key, and the UTF-8 files
// through which the two processes exchange scripts and results.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Every key and value below `key`, one line each, sorted: "path" for a key and
// "path : \"name\" TYPE hex-bytes" for a value (strings also in readable form). Paths are relative
// to `key`; the values of `key` itself have the path ".".
std::vector<std::wstring> DumpRegistryTree(HKEY key);
std::wstring JoinLines(const std::vector<std::wstring>& lines);

std::string ToUtf8(const std::wstring& text);
// The whole file as text; empty when it cannot be read. A writer may hold the file open.
std::wstring ReadUtf8File(const std::wstring& path);
bool WriteUtf8File(const std::wstring& path, const std::wstring& text);

// A fresh, empty key HKCU\Software\CgkRegistrarSandbox\<path>, deleted with its subtree when the
// sandbox is destroyed (empty parents below Software go too).
class RegistrySandbox {
  public:
    explicit RegistrySandbox(const std::wstring& path);
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;

    HKEY key() const { return m_key; }
    // Full path below HKEY_CURRENT_USER.
    const std::wstring& path() const { return m_fullPath; }

    static constexpr const wchar_t* kBase = L"Software\\CgkRegistrarSandbox";

  private:
    std::wstring m_fullPath;
    HKEY m_key = nullptr;
};
