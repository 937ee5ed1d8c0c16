// The module under test, loaded from its build folder with LoadLibraryW, its exports (by
// ordinal), copies of it in other folders, and the registry and process helpers of its tests.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "support/hresult_checks.h"

#include <optional>
#include <string>
#include <vector>

using DllCanUnloadNowFunc = HRESULT(STDAPICALLTYPE*)();
using DllGetClassObjectFunc = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using DllRegisterFunc = HRESULT(STDAPICALLTYPE*)();

// A loaded copy of CryptoGraphicKey.dll and its four exports.
class ModuleDll {
  public:
    ModuleDll() = default;
    // Loads `path`; Loaded() tells whether that and resolving the exports worked.
    explicit ModuleDll(const std::wstring& path);
    ~ModuleDll();
    ModuleDll(const ModuleDll&) = delete;
    ModuleDll& operator=(const ModuleDll&) = delete;

    bool Loaded() const {
        return m_module && CanUnloadNow && GetClassObject && RegisterServer && UnregisterServer;
    }
    HMODULE Handle() const { return m_module; }
    // Frees the module now (process detach runs when this was the last load).
    void Unload();

    DllCanUnloadNowFunc CanUnloadNow = nullptr;
    DllGetClassObjectFunc GetClassObject = nullptr;
    DllRegisterFunc RegisterServer = nullptr;
    DllRegisterFunc UnregisterServer = nullptr;

  private:
    HMODULE m_module = nullptr;
};

// The build's module (CRYPTOGRAPHICKEY_DLL), loaded once for the whole run and never freed.
const std::wstring& BuiltModulePath();
ModuleDll& BuiltModule();

// A private folder below the temporary folder, removed with everything in it when destroyed.
class ScratchFolder {
  public:
    // `name` is the folder's name (may hold any character a file name can).
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return m_path; }  // without a trailing separator
    bool Created() const { return m_created; }
    // Copies the built module into the folder as `fileName`; the copy's full path, or empty.
    std::wstring CopyModule(const std::wstring& fileName = L"CryptoGraphicKey.dll") const;

  private:
    std::wstring m_path;
    bool m_created = false;
};

// Runs `commandLine` and waits for it: its exit code, or nothing when it could not run or did
// not end within 60 seconds.
std::optional<DWORD> RunProcess(const std::wstring& commandLine);
// regsvr32 /s [/u] on `path`; its exit code.
std::optional<DWORD> Regsvr32(const std::wstring& path, bool unregister);

// Registry below HKEY_CLASSES_ROOT. `value` null is the key's default value.
std::optional<std::wstring> ReadClassesString(const std::wstring& key,
                                              const wchar_t* value = nullptr);
bool ClassesKeyExists(const std::wstring& key);
// Whether a path read from the registry names `expected` (paths compare without regard to case).
inline bool SamePath(const std::optional<std::wstring>& read, const std::wstring& expected) {
    return read && _wcsicmp(read->c_str(), expected.c_str()) == 0;
}
// For diagnostics only.
inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}
// The names of the key's direct subkeys, sorted without regard to case.
std::vector<std::wstring> ClassesSubkeys(const std::wstring& key);
