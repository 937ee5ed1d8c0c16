// Entry points of KorvelRefHost.dll: the reference host as an in-process server of the four
// publication host classes (format infos, scope-batch scopes, profile value mappings, document
// variable mappings), with the host's type library as its TYPELIB resource. Registering the
// module registers that library too, so that clients dispatch the host's interfaces through it.
//
// Objects made here live in this module's copy of the reference host: they are counted by its
// LiveObjectCount, not by that of a process that links the host statically. Clients use them only
// through their interfaces.
#include <windows.h>
#include <objbase.h>

#include <iterator>
#include <new>

#include "KorvelInfoStore.h"
#include "classfactory.h"
#include "comlib.h"
#include "publication.h"
#include "refhost.h"
#include "registration.h"
#include "resource.h"

namespace {

using RefHost::Detail::CDocumentVariableMappings;
using RefHost::Detail::CFormatInfos;
using RefHost::Detail::CProfileValueMappings;
using RefHost::Detail::CScopeBatchScopes;

// Creator of one host class: a new object queried for `iid`. Host objects aggregate nothing and
// are never aggregated.
template <typename T>
HRESULT CreateHostObject(void* outer, REFIID iid, void** ppv) noexcept try {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto object = RefHost::Detail::Make<T>();
    return object->QueryInterface(iid, ppv);  // the owner drops the creation reference
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

void HostClassMain(bool) {}  // the host classes keep no per-class state

// One registry script covers all four classes: DllRegisterServer runs it once, so the entries
// carry no registration function of their own.
ComLib::ObjectMapEntry g_objectMap[] = {
    {&CLSID_FormatInfos, nullptr, CreateHostObject<CFormatInfos>, HostClassMain, nullptr},
    {&CLSID_ScopeBatchScopes, nullptr, CreateHostObject<CScopeBatchScopes>, HostClassMain, nullptr},
    {&CLSID_ProfileValueMappings, nullptr, CreateHostObject<CProfileValueMappings>, HostClassMain,
     nullptr},
    {&CLSID_DocumentVariableMappings, nullptr, CreateHostObject<CDocumentVariableMappings>,
     HostClassMain, nullptr},
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ComLib::_Module.Init(instance, &LIBID_KorvelInfoStoreLib);
        ComLib::ObjectMapInit(g_objectMap, std::size(g_objectMap));
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        // Releases the cached class factories and the cached type information.
        ComLib::ObjectMapTerm(g_objectMap, std::size(g_objectMap));
        ComLib::_Module.Term();
    }
    return TRUE;
}

// The module may go when no host object of it lives, no client holds one of its class factories
// and no client has locked it (IClassFactory::LockServer).
STDAPI DllCanUnloadNow() {
    return ComLib::_Module.GetLockCount() == 0 && RefHost::LiveObjectCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* ppv) {
    return ComLib::ObjectMapGetClassObject(g_objectMap, std::size(g_objectMap), clsid, iid, ppv);
}

STDAPI DllRegisterServer() {
    const HMODULE module = ComLib::_Module.GetModuleInstance();
    const HRESULT hr = UpdateRegistryFromResource(module, IDR_KORVELREFHOST, true);
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLib(module);
}

STDAPI DllUnregisterServer() {
    const HMODULE module = ComLib::_Module.GetModuleInstance();
    const HRESULT hr = UpdateRegistryFromResource(module, IDR_KORVELREFHOST, false);
    if (FAILED(hr)) return hr;
    return UnRegisterModuleTypeLib(module);
}
