// SwappableComPtr: an owning interface pointer that one thread may replace while other threads
// call through it.
//
// Readers never call through a pointer they read without protection: each use registers as a
// reader of the holder for its whole duration, and an object that was replaced is released only
// once no reader is left that may still hold it. A use costs one increment and one decrement of
// the holder's reader count (no reference count traffic on the object, no lock).
//     host->get_Title(&title);         // one use for this one call (the full expression)
//     auto object = host.Acquire();    // a counted reference kept for as long as `object` lives
//     Consume(host.Get());             // lent to a call for the full expression
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <new>
#include <utility>

namespace ComLib {

template <typename T>
class SwappableComPtr {
    // A replaced object kept until no use may hold it; the node is allocated by Reserve.
    struct Retired {
        T* object = nullptr;
        Retired* next = nullptr;
    };

public:
    // One use of the current object: it stays alive until the use ends (the end of the full
    // expression that made it).
    class Use {
    public:
        explicit Use(const SwappableComPtr& owner) noexcept
            : m_owner(owner), m_object(owner.Enter()) {}
        ~Use() { m_owner.Leave(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        T* operator->() const noexcept { return m_object; }
        // Lends the object to a call; DOES NOT AddRef.
        operator T*() const noexcept { return m_object; }
        explicit operator bool() const noexcept { return m_object != nullptr; }

    private:
        const SwappableComPtr& m_owner;
        T* m_object;
    };

    // Room for one replacement, made before anything else changes, so that Replace with it
    // cannot fail (Reserve fills it).
    class Reservation {
    public:
        Reservation() noexcept = default;
        ~Reservation() { delete m_node; }
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;

    private:
        friend class SwappableComPtr;
        Retired* m_node = nullptr;
    };

    SwappableComPtr() noexcept = default;
    ~SwappableComPtr() {
        // No use can be running any more.
        ReleaseAll(m_retired);
        if (T* object = m_object.load()) object->Release();
    }
    SwappableComPtr(const SwappableComPtr&) = delete;
    SwappableComPtr& operator=(const SwappableComPtr&) = delete;

    // A counted reference to the current object (null when there is none).
    Microsoft::WRL::ComPtr<T> Acquire() const noexcept {
        const Use use(*this);
        return Microsoft::WRL::ComPtr<T>(static_cast<T*>(use));
    }
    Use Get() const noexcept { return Use(*this); }
    Use operator->() const noexcept { return Use(*this); }

    // Whether an object is held now (a later use may find another one).
    explicit operator bool() const noexcept { return m_object.load() != nullptr; }

    // Fills `room` for one Replace. E_OUTOFMEMORY when it cannot.
    static HRESULT Reserve(Reservation& room) noexcept {
        if (room.m_node == nullptr) room.m_node = new (std::nothrow) Retired{};
        return room.m_node ? S_OK : E_OUTOFMEMORY;
    }

    // Holds `object` from now on: the new reference is taken before the previous object is
    // released, which happens once no use that may hold it is left (at once when none runs).
    // Nothing happens when `object` is the one held. `room` must have been filled by Reserve.
    void Replace(T* object, Reservation& room) noexcept {
        if (object == m_object.load()) return;
        if (object) object->AddRef();
        AcquireSRWLockExclusive(&m_retiredLock);
        T* previous = m_object.exchange(object);
        if (previous) {
            Retired* node = std::exchange(room.m_node, nullptr);
            node->object = previous;
            node->next = m_retired;
            m_retired = node;
            m_hasRetired.store(true);
        }
        ReleaseSRWLockExclusive(&m_retiredLock);
        if (previous) ReleaseRetiredIfIdle();
    }
    // Both steps at once: E_OUTOFMEMORY, with nothing changed, when the previous object could
    // not be kept for later.
    HRESULT Replace(T* object) noexcept {
        Reservation room;
        const HRESULT hr = Reserve(room);
        if (SUCCEEDED(hr)) Replace(object, room);
        return hr;
    }

    // QueryInterface on the current object.
    template <typename Target>
    HRESULT As(Target other) const noexcept {
        const Use use(*this);
        if (!use) return E_NOINTERFACE;
        return Microsoft::WRL::ComPtr<T>(static_cast<T*>(use)).As(other);
    }

private:
    // Sequentially consistent throughout: a reader that may have read a replaced object counts
    // as a reader until it leaves, and the count is looked at only after the object was retired.
    T* Enter() const noexcept {
        m_readers.fetch_add(1);
        return m_object.load();
    }
    void Leave() const noexcept {
        if (m_readers.fetch_sub(1) == 1 && m_hasRetired.load()) ReleaseRetiredIfIdle();
    }
    void ReleaseRetiredIfIdle() const noexcept {
        Retired* released = nullptr;
        AcquireSRWLockExclusive(&m_retiredLock);
        if (m_readers.load() == 0) {
            released = std::exchange(m_retired, nullptr);
            m_hasRetired.store(false);
        }
        ReleaseSRWLockExclusive(&m_retiredLock);
        ReleaseAll(released);
    }
    static void ReleaseAll(Retired* node) noexcept {
        while (node) {
            node->object->Release();
            delete std::exchange(node, node->next);
        }
    }

    std::atomic<T*> m_object{nullptr};
    mutable std::atomic<long> m_readers{0};
    // Objects replaced while uses ran, released by whoever finds no reader left.
    mutable std::atomic<bool> m_hasRetired{false};
    mutable Retired* m_retired = nullptr;
    mutable SRWLOCK m_retiredLock = SRWLOCK_INIT;
};

}  // namespace ComLib
