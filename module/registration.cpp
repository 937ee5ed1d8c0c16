// Self-registration of the module.
#include "registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <new>

#include "registrar.h"
#include "scoped.h"

using Microsoft::WRL::ComPtr;

namespace {

HRESULT LastErrorStatus() noexcept {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// A module loaded as a data file only, freed when the owner goes.
class DataFileModule {
  public:
    DataFileModule() noexcept = default;
    ~DataFileModule() {
        if (m_module) FreeLibrary(m_module);
    }
    DataFileModule(const DataFileModule&) = delete;
    DataFileModule& operator=(const DataFileModule&) = delete;

    // First as an exclusive image-resource data file, else as a plain data file (the exclusive
    // form is refused while someone has the file open for writing).
    HRESULT Open(const std::wstring& path) noexcept {
        m_module =
            LoadLibraryExW(path.c_str(), nullptr,
                           LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE);
        if (!m_module) m_module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        return m_module ? S_OK : LastErrorStatus();
    }
    HMODULE Get() const noexcept { return m_module; }

  private:
    HMODULE m_module = nullptr;
};

// The module's type library, loaded from its first TYPELIB resource without registering it.
HRESULT LoadModuleTypeLib(HMODULE module, std::wstring& path, ComPtr<ITypeLib>& library) noexcept {
    HRESULT hr = GetModulePath(module, path);
    if (FAILED(hr)) return hr;
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
}

}  // namespace

HRESULT GetModulePath(HMODULE module, std::wstring& path) noexcept try {
    wchar_t buffer[MAX_PATH];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    if (length == 0) return LastErrorStatus();
    // A path that fills the buffer has no room left for its terminator: it may be cut short.
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    path.assign(buffer, length);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

std::wstring DoubleSingleQuotes(std::wstring_view text) {
    std::wstring doubled;
    doubled.reserve(text.size() + 8);
    for (const wchar_t c : text) {
        doubled += c;
        if (c == L'\'') doubled += L'\'';
    }
    return doubled;
}

HRESULT AddModuleReplacements(CRegistrar& registrar, const std::wstring& path) noexcept try {
    if (FAILED(registrar.AddReplacement(L"APPID", L"")) ||
        FAILED(registrar.AddReplacement(L"Module", DoubleSingleQuotes(path).c_str())) ||
        FAILED(registrar.AddReplacement(L"Module_Raw", path.c_str()))) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT UpdateRegistryFromResource(HMODULE module, UINT resourceId, bool doRegister) noexcept try {
    std::wstring path;
    HRESULT hr = GetModulePath(module, path);
    if (FAILED(hr)) return hr;
    CRegistrar registrar;
    hr = AddModuleReplacements(registrar, path);
    if (FAILED(hr)) return hr;

    DataFileModule script;
    hr = script.Open(path);
    if (FAILED(hr)) return hr;
    return registrar.ResourceRegister(script.Get(), resourceId, doRegister);
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT RegisterModuleTypeLib(HMODULE module) noexcept try {
    std::wstring path;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLib(module, path, library);
    if (FAILED(hr)) return hr;

    // The help directory is the help file's path up to and with its last separator.
    ComLib::ScopedBstr helpFile;
    std::wstring helpDir;
    if (SUCCEEDED(library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.Receive())) &&
        helpFile.Length() != 0) {
        helpDir.assign(helpFile.Get(), helpFile.Length());
        const size_t cut = helpDir.find_last_of(L"\\/:");
        helpDir.resize(cut == std::wstring::npos ? 0 : cut + 1);
    }
    return RegisterTypeLib(library.Get(), path.data(),
                           helpFile.Length() != 0 ? helpDir.data() : nullptr);
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT UnRegisterModuleTypeLib(HMODULE module) noexcept try {
    std::wstring path;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadModuleTypeLib(module, path, library);
    if (FAILED(hr)) return hr;
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                           attr->syskind);
    library->ReleaseTLibAttr(attr);
    return hr;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}
