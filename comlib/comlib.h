// The component library: module object, object root, object and aggregated-object templates,
// object creation, class factory and dual-interface dispatch over a registered type library.
//
// A class T that the library creates derives from CComObjectRootEx and provides
//     HRESULT _InternalQueryInterface(REFIID iid, void** ppv);   // its interface table
// (the interfaces answered, each with InternalAddRef on success), optionally FinalConstruct and
// FinalRelease, and is created through CComCreator<T> (plain) or CComCreator<CComAggObject<T>>.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace ComLib {

// ---------------------------------------------------------------------------------------------
// Module object: one per binary that links the library.

class CComModule {
public:
    // Records the module handle and the module's type library id.
    void Init(HINSTANCE instance, const GUID* libid) noexcept;
    // Runs the termination functions (last added first) and forgets them.
    void Term() noexcept;

    LONG Lock() noexcept { return ++m_lockCount; }
    LONG Unlock() noexcept { return --m_lockCount; }
    LONG GetLockCount() const noexcept { return m_lockCount.load(); }

    HINSTANCE GetModuleInstance() const noexcept { return m_instance; }
    const GUID* GetTypeLibId() const noexcept { return m_libid; }

    // Functions to run at Term (releasing cached type information and the like).
    void AddTermFunc(std::function<void()> func);

    // Guards the lazy creation of class factories.
    CRITICAL_SECTION& ObjectMapLock() noexcept { return m_objectMapLock; }

    CComModule() noexcept { InitializeCriticalSection(&m_objectMapLock); }
    ~CComModule() { DeleteCriticalSection(&m_objectMapLock); }

private:
    std::atomic<LONG> m_lockCount{0};
    HINSTANCE m_instance = nullptr;
    const GUID* m_libid = nullptr;
    CRITICAL_SECTION m_objectMapLock;
    std::mutex m_termLock;
    std::vector<std::function<void()>> m_termFuncs;
};

extern CComModule _Module;

// ---------------------------------------------------------------------------------------------
// Object root for the multithreaded model: atomic reference count and a critical section.

class CComObjectRootEx {
public:
    CComObjectRootEx() noexcept = default;
    ~CComObjectRootEx() {
        if (m_csInitialised) DeleteCriticalSection(&m_cs);
    }
    CComObjectRootEx(const CComObjectRootEx&) = delete;
    CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

    ULONG InternalAddRef() noexcept { return static_cast<ULONG>(++m_refCount); }
    ULONG InternalRelease() noexcept { return static_cast<ULONG>(--m_refCount); }

    // Creation step: the object's critical section. Failure: the system error as a status.
    HRESULT _AtlInitialConstruct() noexcept {
        if (!InitializeCriticalSectionAndSpinCount(&m_cs, 0))
            return HRESULT_FROM_WIN32(GetLastError());
        m_csInitialised = true;
        return S_OK;
    }
    HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

    // The object lock (re-entrant).
    void Lock() noexcept { EnterCriticalSection(&m_cs); }
    void Unlock() noexcept { LeaveCriticalSection(&m_cs); }

    // The outer unknown of an aggregated object; null for a plain one, whose controlling unknown
    // is its own IUnknown identity.
    IUnknown* m_pOuterUnknown = nullptr;

    // For tests: the current reference count.
    LONG DebugRefCount() const noexcept { return m_refCount.load(); }

protected:
    std::atomic<LONG> m_refCount{0};

private:
    CRITICAL_SECTION m_cs{};
    bool m_csInitialised = false;
};

// Holds the object lock for the life of the scope.
template <typename T>
class CComObjectLock {
public:
    explicit CComObjectLock(T* object) noexcept : m_object(object) { m_object->Lock(); }
    ~CComObjectLock() { m_object->Unlock(); }
    CComObjectLock(const CComObjectLock&) = delete;
    CComObjectLock& operator=(const CComObjectLock&) = delete;

private:
    T* m_object;
};

// ---------------------------------------------------------------------------------------------
// Created objects

// A plain (not aggregated) object. Every live object holds one lock on the module.
template <typename Base>
class CComObject final : public Base {
public:
    static constexpr bool kAggregated = false;

    CComObject() { _Module.Lock(); }
    ~CComObject() override {
        this->FinalRelease();
        _Module.Unlock();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        return this->_InternalQueryInterface(iid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG count = this->InternalRelease();
        if (count == 0) {
            // Keep the module loaded while the destructor runs.
            _Module.Lock();
            delete this;
            _Module.Unlock();
        }
        return count;
    }

    // Creates an object for use inside the module, with reference count 0 (the caller queries it
    // for the interface it keeps).
    static HRESULT CreateInstance(CComObject** object) noexcept;
};

// The inner part of an aggregated object: its interfaces delegate IUnknown to the outer object.
template <typename Base>
class CComContainedObject final : public Base {
public:
    explicit CComContainedObject(IUnknown* outer) noexcept { this->m_pOuterUnknown = outer; }
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        return this->m_pOuterUnknown->QueryInterface(iid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override { return this->m_pOuterUnknown->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->m_pOuterUnknown->Release(); }
};

// An aggregated object: its own IUnknown is the non-delegating one handed to the outer object.
template <typename Base>
class CComAggObject final : public IUnknown, public CComObjectRootEx {
public:
    static constexpr bool kAggregated = true;

    explicit CComAggObject(IUnknown* outer) : m_contained(outer) { _Module.Lock(); }
    virtual ~CComAggObject() {
        m_contained.FinalRelease();
        _Module.Unlock();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained._InternalQueryInterface(iid, ppv);
    }
    STDMETHOD_(ULONG, AddRef)() override { return InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG count = InternalRelease();
        if (count == 0) {
            _Module.Lock();
            delete this;
            _Module.Unlock();
        }
        return count;
    }

    HRESULT _AtlInitialConstruct() noexcept {
        const HRESULT hr = CComObjectRootEx::_AtlInitialConstruct();
        return FAILED(hr) ? hr : m_contained._AtlInitialConstruct();
    }
    HRESULT FinalConstruct() { return m_contained.FinalConstruct(); }
    Base& Contained() noexcept { return m_contained; }

private:
    CComContainedObject<Base> m_contained;
};

// ---------------------------------------------------------------------------------------------
// Object creation, in this order: allocate and construct (failure: E_OUTOFMEMORY), lock the
// module (the constructor does), hold a reference for the next steps (not for the aggregated
// form, whose count starts at 0), initialise the critical section, final construction, drop the
// reference. A failure after construction destroys the object. On success *created holds the
// object with reference count 0.
template <typename T>
HRESULT ConstructObject(IUnknown* outer, T** created) noexcept {
    *created = nullptr;
    T* object = nullptr;
    try {
        if constexpr (T::kAggregated)
            object = new T(outer);
        else
            object = new T();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if constexpr (!T::kAggregated) object->InternalAddRef();
    HRESULT hr = object->_AtlInitialConstruct();
    if (SUCCEEDED(hr)) {
        try {
            hr = object->FinalConstruct();
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (...) {
            hr = E_UNEXPECTED;
        }
    }
    if constexpr (!T::kAggregated) object->InternalRelease();
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    *created = object;
    return S_OK;
}

// Creator of an object map entry: constructs and queries the requested interface.
template <typename T>
struct CComCreator {
    static HRESULT CreateInstance(void* outer, REFIID iid, void** ppv) noexcept {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        T* object = nullptr;
        HRESULT hr = ConstructObject(static_cast<IUnknown*>(outer), &object);
        if (FAILED(hr)) return hr;
        hr = object->QueryInterface(iid, ppv);
        if (FAILED(hr)) delete object;
        return hr;
    }
};

template <typename Base>
HRESULT CComObject<Base>::CreateInstance(CComObject** object) noexcept {
    if (object == nullptr) return E_POINTER;
    return ConstructObject<CComObject>(nullptr, object);
}

// ---------------------------------------------------------------------------------------------
// Dual-interface dispatch through a registered type library.

// Type information of one interface, loaded once from the registered type library and released
// when the module terminates.
class CComTypeInfoHolder {
public:
    CComTypeInfoHolder(const IID* iid, const GUID* libid, WORD major, WORD minor) noexcept
        : m_iid(iid), m_libid(libid), m_major(major), m_minor(minor) {}
    // *info receives the type information with one reference; E_POINTER for a null info.
    HRESULT GetTI(ITypeInfo** info) noexcept;
    // The type information, loaded on the first call and kept until the module terminates;
    // DOES NOT AddRef (the holder keeps it). After the first load no lock is taken.
    HRESULT PeekTI(ITypeInfo** info) noexcept {
        if (ITypeInfo* cached = m_cached.load(std::memory_order_acquire)) {
            *info = cached;
            return S_OK;
        }
        Microsoft::WRL::ComPtr<ITypeInfo> loaded;
        const HRESULT hr = GetTI(&loaded);
        *info = loaded.Get();
        return hr;
    }

private:
    const IID* m_iid;
    const GUID* m_libid;
    WORD m_major;
    WORD m_minor;
    std::mutex m_lock;
    Microsoft::WRL::ComPtr<ITypeInfo> m_info;
    std::atomic<ITypeInfo*> m_cached{nullptr};  // m_info once loaded
    bool m_registeredForTerm = false;
};

// Refuses arguments that the platform's dispatch would take for the return value: more arguments
// than the member has parameters, or an argument in the place of the [out, retval] parameter that
// is not a reference (the platform would write the result through it). DISP_E_BADPARAMCOUNT;
// S_OK otherwise, also when the member is not found (the dispatch answers that itself).
HRESULT CheckArgumentCount(ITypeInfo* info, DISPID id, WORD flags, const DISPPARAMS* params) noexcept;

template <typename T, const IID* piid, const GUID* plibid, WORD major = 1, WORD minor = 0>
class IDispatchImpl : public T {
public:
    STDMETHOD(GetTypeInfoCount)(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT index, LCID, ITypeInfo** info) override {
        if (info == nullptr) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return s_typeInfo.GetTI(info);
    }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        Microsoft::WRL::ComPtr<ITypeInfo> info;
        HRESULT hr = s_typeInfo.GetTI(&info);
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), names, count, ids);
    }
    STDMETHOD(Invoke)(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argError) override {
        ITypeInfo* info = nullptr;  // cached per interface, kept by the holder
        const HRESULT hr = s_typeInfo.PeekTI(&info);
        if (FAILED(hr)) return hr;
        const HRESULT checked = CheckArgumentCount(info, id, flags, params);
        if (FAILED(checked)) return checked;
        return DispInvoke(static_cast<T*>(this), info, id, flags, params, result, excepInfo,
                          argError);
    }

private:
    static inline CComTypeInfoHolder s_typeInfo{piid, plibid, major, minor};
};

// Answers InterfaceSupportsErrorInfo with S_OK for one interface, S_FALSE otherwise.
template <const IID* piid>
class ISupportErrorInfoImpl : public ISupportErrorInfo {
public:
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID iid) override {
        return InlineIsEqualGUID(iid, *piid) ? S_OK : S_FALSE;
    }
};

// Hands out a face with one added reference: for interface tables.
template <typename Interface, typename Object>
inline HRESULT AnswerInterface(Object* object, void** ppv) noexcept {
    *ppv = static_cast<Interface*>(object);
    static_cast<Interface*>(object)->AddRef();
    return S_OK;
}

}  // namespace ComLib
