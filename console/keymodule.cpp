// The key module through COM.
#include "keymodule.h"

#include <objbase.h>

#include "failure.h"
#include "text.h"

namespace KeyTool {

namespace {

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// The folder of this program, with a trailing backslash.
std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The module path registered for clsid, or an empty text.
std::wstring RegisteredPath(const CLSID& clsid) {
    const std::wstring key = L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = sizeof(path);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path,
                     &size) != ERROR_SUCCESS)
        return {};
    std::wstring text = path;
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
        text = text.substr(1, text.size() - 2);
    return text;
}

const wchar_t kRegisterHint[] =
    L"Register it with 'keytool register [path\\CryptoGraphicKey.dll]' (or regsvr32).";

}  // namespace

void EnableModuleTrace() {
    SetEnvironmentVariableW(L"ZENTIL_TRACE", L"all");
    SetEnvironmentVariableW(L"ZENTIL_TRACE_OUTPUT", L"stderr");
}

std::wstring DefaultModulePath() {
    const std::wstring folder = ProgramFolder();
    const std::wstring beside = folder + kModuleFileName;
    if (FileExists(beside)) return beside;
    const std::wstring built = folder + L"..\\module\\" + kModuleFileName;
    if (FileExists(built)) return built;
    return beside;
}

void RegisterModule(const std::wstring& path) {
    // Loaded by its full path, so that the module registers where it really is.
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    const std::wstring modulePath = length > 0 && length < MAX_PATH * 2 ? full : path;
    if (!FileExists(modulePath))
        Fail(kExitModule, L"cannot register the key module: " + modulePath + L" does not exist");
    HMODULE module = LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
        Fail(kExitModule,
             L"cannot load " + modulePath + L": " + StatusText(HRESULT_FROM_WIN32(GetLastError())));
    using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    const HRESULT hr = registerServer ? registerServer() : HRESULT_FROM_WIN32(GetLastError());
    FreeLibrary(module);
    if (registerServer == nullptr)
        Fail(kExitModule, modulePath + L" is not a COM module: it has no DllRegisterServer");
    if (FAILED(hr))
        Fail(kExitModule, L"DllRegisterServer of " + modulePath + L" failed: " + StatusText(hr));
}

std::wstring TakeErrorDescription(IUnknown* object, REFIID iid) {
    if (object == nullptr) return {};
    ComPtr<ISupportErrorInfo> support;
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&support))) || !support ||
        support->InterfaceSupportsErrorInfo(iid) != S_OK)
        return {};
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return {};
    BSTR description = nullptr;
    std::wstring text;
    if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr)
        text.assign(description, SysStringLen(description));
    SysFreeString(description);
    return text;
}

KeyModule::KeyModule() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr))
        Fail(kExitModule, std::wstring(L"the key module is not registered: the ProgID ") + kProgId +
                              L" is unknown (" + StatusText(hr) + L").\n" + kRegisterHint);
    if (!IsEqualCLSID(clsid, CLSID_CryptoGraphicKey))
        Fail(kExitModule, std::wstring(L"the ProgID ") + kProgId + L" names the class " +
                              GuidText(clsid) + L", not the key class " +
                              GuidText(CLSID_CryptoGraphicKey) + L".\n" + kRegisterHint);
    // A module file that is gone is named as such (COM itself may answer with another status).
    const std::wstring registered = RegisteredPath(clsid);
    const bool bare = registered.find_first_of(L"\\/:") == std::wstring::npos;
    if (!registered.empty() && !bare && !FileExists(registered))
        Fail(kExitModule,
             L"the key module registered for " + GuidText(clsid) + L" cannot be loaded: its file " +
                 SafeText(registered) + L" was not found (" +
                 StatusText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) + L").\n" + kRegisterHint);
    hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&m_factory));
    if (FAILED(hr) || !m_factory) {
        const std::wstring& path = registered;
        Fail(kExitModule, L"the key module registered for " + GuidText(clsid) + L" (" +
                              (path.empty() ? std::wstring(L"no module path") : SafeText(path)) +
                              L") cannot be loaded: " + StatusText(FAILED(hr) ? hr : E_POINTER) +
                              L".\n" + kRegisterHint);
    }
}

KeyObject KeyModule::Attach(ISInfoObject* host, bool isNew) const {
    KeyObject key;
    key.m_host = host;
    LONG id = 0;
    if (FAILED(host->get_ID(&id))) id = 0;
    key.m_id = id;

    ComPtr<IUnknown> object;
    CallStatus status = CallObject(m_factory.Get(), IID_IClassFactory, [&] {
        return m_factory->CreateInstance(nullptr, IID_PPV_ARGS(&object));
    });
    if (status.Failed() || !object)
        Fail(kExitRefused, L"the key module could not make a key object (CreateInstance): " +
                               StatusText(status.Failed() ? status.hr : E_POINTER));
    HRESULT hr = object.As(&key.m_plugin);
    if (SUCCEEDED(hr)) hr = object.As(&key.m_key);
    if (SUCCEEDED(hr)) hr = object.As(&key.m_generic);
    if (FAILED(hr))
        Fail(kExitRefused, L"the key object lacks one of its interfaces: " + StatusText(hr));
    status = CallObject(key.m_plugin.Get(), IID_ISDesktopPluginEx, [&] {
        return key.m_plugin->Initialize(host, isNew ? VARIANT_TRUE : VARIANT_FALSE);
    });
    if (status.Failed())
        Fail(
            kExitRefused,
            L"the key object refused its host object (Initialize): " + StatusText(status.hr) +
                (status.description.empty() ? L""
                                            : L"\n  error information: " +
                                                  Excerpt(status.description, kDescriptionLength)));
    return key;
}

}  // namespace KeyTool
