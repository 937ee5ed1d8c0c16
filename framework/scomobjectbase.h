// SComObjectBase: the bottom of every plug-in object of the framework, and SComCallGuard, the
// per-call guard that every traced method opens first.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>

#include "comlib.h"
#include "thrin1001206.h"
#include "zentil500.h"

// Source-file name under which the guard reports its assertion.
inline constexpr char kSComObjectBaseFile[] = "export/iface/sdk/common/scomobjectbase";

// Derives from the component library's multithreaded object root (reference count and critical
// section).
class SComObjectBase : public ComLib::CComObjectRootEx {
public:
    SComObjectBase() = default;
    virtual ~SComObjectBase() = default;

    // Final construction step: the free-threaded marshaler, aggregated with the controlling
    // unknown (the outer unknown of an aggregated object, else `identity`).
    HRESULT CreateFreeThreadedMarshaler(IUnknown* identity) noexcept {
        IUnknown* controlling = m_pOuterUnknown ? m_pOuterUnknown : identity;
        return CoCreateFreeThreadedMarshaler(controlling, m_pFreeThreadedMarshaler.ReleaseAndGetAddressOf());
    }

    // The object's free-threaded marshaler (inner unknown of the aggregated marshaler); created
    // with the object, released with it.
    Microsoft::WRL::ComPtr<IUnknown> m_pFreeThreadedMarshaler;
    // Locale of the object; 0 until Initialize sets it. Read by the per-call guard; a second
    // Initialize may change it while calls run.
    std::atomic<LCID> m_ObjectLocale{0};
};

// Lives for exactly one method call. Opening registers the thread with the threading library,
// reports a missing object locale (an assertion, never a failure) and switches the resource
// manager to the object's locale; closing undoes both in reverse order, also when an exception
// passes. Nested guards on one thread each hand back their own cookie.
class SComCallGuard {
public:
    explicit SComCallGuard(const SComObjectBase& object) noexcept;
    ~SComCallGuard();
    SComCallGuard(const SComCallGuard&) = delete;
    SComCallGuard& operator=(const SComCallGuard&) = delete;

    unsigned Cookie() const noexcept { return m_cookie; }

private:
    // Field order matters: the thread registration is made first and ended last.
    Thrin1001206::JTCAdoptCurrentThread m_threadRegistration;
    unsigned m_cookie = 0;
};
