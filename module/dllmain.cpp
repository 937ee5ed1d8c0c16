// Entry points of CryptoGraphicKey.dll: the module object, the object map with the key class,
// class objects, unloading and self-registration.
#include <windows.h>
#include <objbase.h>

#include <iterator>

#include "CCryptoGraphicKey.h"
#include "CryptoGraphicKeyPlugin.h"
#include "classfactory.h"
#include "comlib.h"
#include "registration.h"
#include "resource.h"
#include "zentil500.h"

static_assert(IDI_CRYPTOGRAPHICKEY == kPictureIconResource &&
                  IDG_CRYPTOGRAPHICKEY == kPictureGifResource,
              "the key object's pictures are the module's picture resources");

namespace {

using KeyCreator =
    ComLib::CComCreator2<ComLib::CComCreator<ComLib::CComObject<CCryptoGraphicKey>>,
                         ComLib::CComCreator<ComLib::CComAggObject<CCryptoGraphicKey>>>;

HRESULT UpdateKeyRegistry(bool doRegister) {
    return UpdateRegistryFromResource(ComLib::_Module.GetModuleInstance(), IDR_CRYPTOGRAPHICKEY,
                                      doRegister);
}

void KeyObjectMain(bool) {}  // the key class keeps no per-class state

ComLib::ObjectMapEntry g_objectMap[] = {
    {&CLSID_CryptoGraphicKey, UpdateKeyRegistry, KeyCreator::CreateInstance, KeyObjectMain,
     nullptr},
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ComLib::_Module.Init(instance, &LIBID_KorvelCryptoGraphicKeyPluginLib);
        ComLib::ObjectMapInit(g_objectMap, std::size(g_objectMap));
        DisableThreadLibraryCalls(instance);
        Zentil500::SLogger::Initialize();
        Zentil500::SResManager::Initialize();
    } else if (reason == DLL_PROCESS_DETACH) {
        ComLib::ObjectMapTerm(g_objectMap, std::size(g_objectMap));
        ComLib::_Module.Term();
        Zentil500::SResManager::Terminate();
        Zentil500::SLogger::Terminate();
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return ComLib::_Module.GetLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* ppv) {
    return ComLib::ObjectMapGetClassObject(g_objectMap, std::size(g_objectMap), clsid, iid, ppv);
}

STDAPI DllRegisterServer() {
    for (ComLib::ObjectMapEntry& entry : g_objectMap) {
        // The class keeps no component categories: the registry script is all there is.
        const HRESULT hr = entry.updateRegistry(true);
        if (FAILED(hr)) return hr;
    }
    return RegisterModuleTypeLib(ComLib::_Module.GetModuleInstance());
}

STDAPI DllUnregisterServer() {
    for (ComLib::ObjectMapEntry& entry : g_objectMap) {
        const HRESULT hr = entry.updateRegistry(false);
        if (FAILED(hr)) return hr;
    }
    return UnRegisterModuleTypeLib(ComLib::_Module.GetModuleInstance());
}
