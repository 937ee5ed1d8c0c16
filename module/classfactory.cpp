// The cached class factory and the object map's class-object lookup.
#include "classfactory.h"

#include <new>

#include "comlib.h"

namespace ComLib {

HRESULT CComClassFactoryCached::Create(CreatorFunc creator, REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    auto* factory = new (std::nothrow) CComClassFactoryCached(creator);
    if (factory == nullptr) return E_OUTOFMEMORY;
    if (!InitializeCriticalSectionAndSpinCount(&factory->m_cs, 0)) {
        const DWORD error = GetLastError();
        delete factory;
        return HRESULT_FROM_WIN32(error);
    }
    factory->m_csInitialised = true;
    const HRESULT hr = factory->QueryInterface(iid, ppv);
    if (FAILED(hr)) delete factory;  // never referenced: its count is still 0
    return hr;
}

CComClassFactoryCached::~CComClassFactoryCached() {
    if (m_csInitialised) DeleteCriticalSection(&m_cs);
}

STDMETHODIMP CComClassFactoryCached::QueryInterface(REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CComClassFactoryCached::AddRef() noexcept {
    EnterCriticalSection(&m_cs);
    const LONG count = ++m_refCount;
    if (count == 2) _Module.Lock();  // the first reference beyond the map entry's own
    LeaveCriticalSection(&m_cs);
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) CComClassFactoryCached::Release() noexcept {
    EnterCriticalSection(&m_cs);
    const LONG count = --m_refCount;
    if (count == 1) _Module.Unlock();  // only the map entry's reference is left
    LeaveCriticalSection(&m_cs);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP CComClassFactoryCached::CreateInstance(IUnknown* outer, REFIID iid,
                                                    void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // An aggregated object can only hand its non-delegating IUnknown to the outer object.
    if (outer != nullptr && !InlineIsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return m_creator(outer, iid, ppv);
}

STDMETHODIMP CComClassFactoryCached::LockServer(BOOL fLock) noexcept {
    if (fLock)
        _Module.Lock();
    else
        _Module.Unlock();
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Object map

namespace {

// Holds the module's object map lock for the life of the scope.
class ObjectMapLockScope {
  public:
    ObjectMapLockScope() noexcept { EnterCriticalSection(&_Module.ObjectMapLock()); }
    ~ObjectMapLockScope() { LeaveCriticalSection(&_Module.ObjectMapLock()); }
    ObjectMapLockScope(const ObjectMapLockScope&) = delete;
    ObjectMapLockScope& operator=(const ObjectMapLockScope&) = delete;
};

}  // namespace

HRESULT ObjectMapGetClassObject(ObjectMapEntry* map, size_t count, REFCLSID clsid, REFIID iid,
                                void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < count; ++i) {
        ObjectMapEntry& entry = map[i];
        if (!InlineIsEqualGUID(clsid, *entry.clsid)) continue;
        IUnknown* factory = entry.classFactory.load(std::memory_order_acquire);
        if (factory == nullptr) {
            ObjectMapLockScope lock;
            // Another thread may have created it while this one waited for the lock.
            factory = entry.classFactory.load(std::memory_order_acquire);
            if (factory == nullptr) {
                const HRESULT hr = CComClassFactoryCached::Create(
                    entry.creator, IID_IUnknown, reinterpret_cast<void**>(&factory));
                if (FAILED(hr)) return hr;
                entry.classFactory.store(factory, std::memory_order_release);
            }
        }
        return factory->QueryInterface(iid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

void ObjectMapInit(ObjectMapEntry* map, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) map[i].objectMain(true);
}

void ObjectMapTerm(ObjectMapEntry* map, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        if (IUnknown* factory = map[i].classFactory.exchange(nullptr)) factory->Release();
        map[i].objectMain(false);
    }
}

}  // namespace ComLib
