#include "module/module_dll.h"

#include <algorithm>
#include <filesystem>

namespace {

template <typename Func>
Func ExportByOrdinal(HMODULE module, WORD ordinal) {
    // Through a generic function pointer type: FARPROC's own signature is meaningless.
    return reinterpret_cast<Func>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
}

}  // namespace

ModuleDll::ModuleDll(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {
    if (!m_module) return;
    CanUnloadNow = ExportByOrdinal<DllCanUnloadNowFunc>(m_module, 1);
    GetClassObject = ExportByOrdinal<DllGetClassObjectFunc>(m_module, 2);
    RegisterServer = ExportByOrdinal<DllRegisterFunc>(m_module, 3);
    UnregisterServer = ExportByOrdinal<DllRegisterFunc>(m_module, 4);
}

ModuleDll::~ModuleDll() {
    Unload();
}

void ModuleDll::Unload() {
    if (m_module) FreeLibrary(m_module);
    m_module = nullptr;
    CanUnloadNow = nullptr;
    GetClassObject = nullptr;
    RegisterServer = UnregisterServer = nullptr;
}

const std::wstring& BuiltModulePath() {
    static const std::wstring path = CRYPTOGRAPHICKEY_DLL;
    return path;
}

ModuleDll& BuiltModule() {
    static ModuleDll* module = new ModuleDll(BuiltModulePath());  // kept until the process ends
    return *module;
}

// ---------------------------------------------------------------------------------------------

ScratchFolder::ScratchFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return;
    m_path = std::wstring(temp, length) + name;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);  // left over from an interrupted run
    m_created = CreateDirectoryW(m_path.c_str(), nullptr) != FALSE;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    if (m_created) std::filesystem::remove_all(m_path, ignored);
}

std::wstring ScratchFolder::CopyModule(const std::wstring& fileName) const {
    const std::wstring target = m_path + L"\\" + fileName;
    return CopyFileW(BuiltModulePath().c_str(), target.c_str(), FALSE) ? target : std::wstring();
}

// ---------------------------------------------------------------------------------------------

std::optional<DWORD> RunProcess(const std::wstring& commandLine) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return std::nullopt;
    }
    CloseHandle(process.hThread);
    std::optional<DWORD> result;
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &code)) {
        result = code;
    }
    CloseHandle(process.hProcess);
    return result;
}

std::optional<DWORD> Regsvr32(const std::wstring& path, bool unregister) {
    return RunProcess(std::wstring(L"regsvr32.exe /s ") + (unregister ? L"/u " : L"") + L"\"" +
                      path + L"\"");
}

std::optional<std::wstring> ReadClassesString(const std::wstring& key, const wchar_t* value) {
    wchar_t text[1024];  // the longest value read is a module path
    DWORD bytes = sizeof text;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &bytes) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(text);
}

bool ClassesKeyExists(const std::wstring& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

std::vector<std::wstring> ClassesSubkeys(const std::wstring& key) {
    std::vector<std::wstring> names;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(opened, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(opened);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    return names;
}
