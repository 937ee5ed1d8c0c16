// The key module (CryptoGraphicKey.dll) as the console host uses it: through COM only. The class
// is found by its ProgID, each key object is made by the module's class object, gets its host
// object through the plug-in face's Initialize, and is committed through PrepareForCommit, the
// repository's Store and AfterCommit, as the platform's host does it.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <utility>

#include "CryptoGraphicKeyPlugin.h"
#include "KorvelInfoStore.h"

namespace KeyTool {

using Microsoft::WRL::ComPtr;

inline constexpr wchar_t kProgId[] = L"KorvelEnterprise14.CryptoGraphicKey.1";
inline constexpr wchar_t kModuleFileName[] = L"CryptoGraphicKey.dll";

// Makes the module's logger write every trace line to standard error. The module reads these
// settings when it is loaded, so this must run before anything loads it.
void EnableModuleTrace();

// The module path `register` takes when none is given: CryptoGraphicKey.dll next to this
// program, else the build tree's module folder beside this program's folder.
std::wstring DefaultModulePath();
// Loads the module and calls its DllRegisterServer. Throws Failure (kExitModule).
void RegisterModule(const std::wstring& path);

// A call's status and, for a failure, the description of the error information that the object
// set for it (empty when it set none).
struct CallStatus {
    HRESULT hr = S_OK;
    std::wstring description;
    bool Failed() const noexcept { return FAILED(hr); }
};

// The error information of the failed call just made on `object` through `iid`, when the object
// says through ISupportErrorInfo that it sets such information for that interface.
std::wstring TakeErrorDescription(IUnknown* object, REFIID iid);

// Runs `call` (one call on `object` through `iid`) with the thread's error information cleared
// first, so that a description found afterwards belongs to this call.
template <typename Call>
CallStatus CallObject(IUnknown* object, REFIID iid, Call&& call) {
    SetErrorInfo(0, nullptr);
    CallStatus status;
    status.hr = std::forward<Call>(call)();
    if (FAILED(status.hr)) status.description = TakeErrorDescription(object, iid);
    return status;
}

// One key object: the plug-in object and the host object it wraps.
class KeyObject {
  public:
    ISInfoObject* Host() const noexcept { return m_host.Get(); }           // the host's object
    ISDesktopPluginEx* Plugin() const noexcept { return m_plugin.Get(); }  // the plug-in face
    ISCryptoGraphicKeyBase* Key() const noexcept { return m_key.Get(); }   // the key members
    ISInfoObject* Generic() const noexcept { return m_generic.Get(); }     // forwarded members
    long Id() const noexcept { return m_id; }

  private:
    friend class KeyModule;
    ComPtr<ISInfoObject> m_host;
    ComPtr<ISDesktopPluginEx> m_plugin;
    ComPtr<ISCryptoGraphicKeyBase> m_key;
    ComPtr<ISInfoObject> m_generic;
    long m_id = 0;
};

class KeyModule {
  public:
    // Finds the class by its ProgID and loads the module. Throws Failure (kExitModule) telling
    // what is missing and how to register the module.
    KeyModule();

    // A new plug-in object over `host`, initialised with the new-object flag `isNew`. Throws
    // Failure (kExitRefused) when the module refuses to make or initialise it.
    KeyObject Attach(ISInfoObject* host, bool isNew) const;

  private:
    ComPtr<IClassFactory> m_factory;
};

}  // namespace KeyTool
