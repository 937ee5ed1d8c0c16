// Class objects of the module: the cached class factory of an object map entry and the creator
// that picks the plain or the aggregated form of a class.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

namespace ComLib {

// Creates an object of an object map entry: (outer unknown or null, interface id, out pointer).
using CreatorFunc = HRESULT (*)(void* outer, REFIID iid, void** ppv);

// Creator of a map entry whose class can be aggregated: without an outer unknown a Plain object,
// with one an Aggregated object (both CComCreator<...>).
template <typename Plain, typename Aggregated>
struct CComCreator2 {
    static HRESULT CreateInstance(void* outer, REFIID iid, void** ppv) noexcept {
        return outer == nullptr ? Plain::CreateInstance(nullptr, iid, ppv)
                                : Aggregated::CreateInstance(outer, iid, ppv);
    }
};

// The class factory that an object map entry caches for the life of the module. The entry owns
// its first reference; a client's reference (the second and any further one) locks the module,
// so that the module stays loaded while a client holds the factory, and the module's own
// reference never does. Reference counts change under the factory's critical section so that
// the lock and unlock at the 1 <-> 2 threshold can never be reordered between two threads.
class CComClassFactoryCached final : public IClassFactory {
  public:
    // Allocates a factory bound to `creator` and queries it for `iid` into *ppv. E_POINTER for a
    // null ppv; E_OUTOFMEMORY; the system error when the critical section cannot be set up; else
    // the query's status. On failure *ppv is null and nothing is left behind.
    static HRESULT Create(CreatorFunc creator, REFIID iid, void** ppv) noexcept;

    // IUnknown: IUnknown and IClassFactory.
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) noexcept override;
    STDMETHOD_(ULONG, AddRef)() noexcept override;
    STDMETHOD_(ULONG, Release)() noexcept override;

    // IClassFactory. CreateInstance: E_POINTER for a null ppv, CLASS_E_NOAGGREGATION for an outer
    // unknown asked for anything but IUnknown, else the creator's status.
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** ppv) noexcept override;
    // Locks (fLock non-zero) or unlocks the module; S_OK.
    STDMETHOD(LockServer)(BOOL fLock) noexcept override;

  private:
    explicit CComClassFactoryCached(CreatorFunc creator) noexcept : m_creator(creator) {}
    ~CComClassFactoryCached();
    CComClassFactoryCached(const CComClassFactoryCached&) = delete;
    CComClassFactoryCached& operator=(const CComClassFactoryCached&) = delete;

    const CreatorFunc m_creator;
    std::atomic<LONG> m_refCount{0};
    CRITICAL_SECTION m_cs{};
    bool m_csInitialised = false;
};

// One class of the module.
struct ObjectMapEntry {
    const CLSID* clsid;
    // Writes (true) or removes (false) the class's registry entries.
    HRESULT (*updateRegistry)(bool doRegister);
    CreatorFunc creator;
    // Per-class hook, called with true when the module starts and false when it stops.
    void (*objectMain)(bool starting);
    // The cached class factory (its IUnknown), created on first request under the module's
    // object map lock; null until then and after the module has terminated.
    std::atomic<IUnknown*> classFactory;
};

// DllGetClassObject over an object map: *ppv is nulled first; the entry for `clsid` hands out its
// cached factory (created on first use); CLASS_E_CLASSNOTAVAILABLE for a class not in the map.
HRESULT ObjectMapGetClassObject(ObjectMapEntry* map, size_t count, REFCLSID clsid, REFIID iid,
                                void** ppv) noexcept;
// Module start: each entry's hook for starting.
void ObjectMapInit(ObjectMapEntry* map, size_t count) noexcept;
// Module stop: releases each cached factory (the entry's own reference) and calls each entry's
// hook for stopping.
void ObjectMapTerm(ObjectMapEntry* map, size_t count) noexcept;

}  // namespace ComLib
