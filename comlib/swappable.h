// SwappableComPtr: an owning interface pointer that one thread may replace while other threads
// call through it.
//
// Readers never call through the stored pointer itself: each use takes its own counted reference
// under a reader lock and keeps it for the whole call, so an object that was replaced is released
// only after the last call that uses it has returned.
//     host->get_Title(&title);         // one reference for this one call (the full expression)
//     auto object = host.Acquire();    // a reference kept for as long as `object` lives
//     Consume(host.Get());             // lent to a call for the full expression
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <utility>

namespace ComLib {

template <typename T>
class SwappableComPtr {
public:
    // One use's reference: it lives until the end of the full expression that made it.
    class Use {
    public:
        explicit Use(Microsoft::WRL::ComPtr<T>&& object) noexcept : m_object(std::move(object)) {}
        T* operator->() const noexcept { return m_object.Get(); }
        // Lends the object to a call; DOES NOT AddRef.
        operator T*() const noexcept { return m_object.Get(); }
        explicit operator bool() const noexcept { return m_object != nullptr; }

    private:
        Microsoft::WRL::ComPtr<T> m_object;
    };

    SwappableComPtr() noexcept = default;
    ~SwappableComPtr() {
        if (T* object = m_object.load(std::memory_order_acquire)) object->Release();
    }
    SwappableComPtr(const SwappableComPtr&) = delete;
    SwappableComPtr& operator=(const SwappableComPtr&) = delete;

    // A counted reference to the current object (null when there is none).
    Microsoft::WRL::ComPtr<T> Acquire() const noexcept {
        Microsoft::WRL::ComPtr<T> object;
        AcquireSRWLockShared(&m_lock);
        object = m_object.load(std::memory_order_relaxed);  // AddRef while the holder's stays
        ReleaseSRWLockShared(&m_lock);
        return object;
    }
    Use Get() const noexcept { return Use(Acquire()); }
    Use operator->() const noexcept { return Use(Acquire()); }

    // Whether an object is held now (a later use may find another one).
    explicit operator bool() const noexcept {
        return m_object.load(std::memory_order_acquire) != nullptr;
    }

    // Holds `object` from now on: the new reference is taken before the previous object is
    // released (outside the lock), and nothing changes when it is the same object.
    void Replace(T* object) noexcept {
        if (object) object->AddRef();
        AcquireSRWLockExclusive(&m_lock);
        T* previous = m_object.exchange(object, std::memory_order_acq_rel);
        ReleaseSRWLockExclusive(&m_lock);
        if (previous) previous->Release();
    }

    // QueryInterface on the current object.
    template <typename Target>
    HRESULT As(Target other) const noexcept {
        const Microsoft::WRL::ComPtr<T> object = Acquire();
        if (!object) return E_NOINTERFACE;
        return object.As(other);
    }

private:
    std::atomic<T*> m_object{nullptr};
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
};

}  // namespace ComLib
