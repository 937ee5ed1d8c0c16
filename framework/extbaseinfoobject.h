// ISExtendedDesktopPluginImpl2: initialisation of the plug-in object with its host object, and
// the per-thread name of the last interface a caller asked for by name.
#pragma once

#include <windows.h>

#include "BaseInfoObject.h"
#include "comlib.h"
#include "pravhelper500.h"
#include "scomobjectbase.h"
#include "scoped.h"
#include "sdktrace.h"
#include "zentil500.h"

inline constexpr char kExtBaseInfoObjectFile[] = "export/iface/sdk/common/extbaseinfoobject";

// The property flag the host gives the new-object marker.
inline constexpr long kNewObjectPropertyFlags = 0x2000000;
// The locale an object gets when its host object does not tell one.
inline constexpr LCID kDefaultObjectLocale = 1024;

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class ISExtendedDesktopPluginImpl2 : public SComObjectBase,
                                     public ISDesktopPluginImpl2<TPlugin, piidPlugin, plibidPlugin> {
public:
    static constexpr const char* kTraceFile = kExtBaseInfoObjectFile;

    ~ISExtendedDesktopPluginImpl2() override = default;

    // Records name as the last interface asked for on the calling thread.
    virtual HRESULT SetLastInterface(const Zentil500::SWCharString& name) {
        Zentil500::CS_Lock lock(m_lastInterfaceLock);
        m_lastInterface.SetAt(Zentil500::CSIProcess::GetCurrentThreadID(), name);
        return S_OK;
    }

    // The name last recorded on the calling thread; E_NOINTERFACE when it recorded none.
    virtual HRESULT GetLastInterface(Zentil500::SWCharString& name) {
        Zentil500::CS_Lock lock(m_lastInterfaceLock);
        if (m_lastInterface.Lookup(Zentil500::CSIProcess::GetCurrentThreadID(), name)) return S_OK;
        SDK_ASSERT_FAILED(L"::GetLastInterface: Should always find the interface name");
        return E_NOINTERFACE;
    }

    // The desktop layer's part of initialisation (takes the host object, the object locale and,
    // for a new entry, the new-object marker), in steps, so that a later layer's failure leaves
    // no trace: PrepareInitialize reads the locale and adds the marker, then either
    // CommitInitialize takes the host object and the locale (and cannot fail) or UndoInitialize
    // removes the marker again. Neither guarded nor traced.
    struct PendingInitialize {
        LCID locale = kDefaultObjectLocale;
        // The bag the marker was added to (by this call), for UndoInitialize.
        Microsoft::WRL::ComPtr<ISProperties> markedBag;
        typename ComLib::SwappableComPtr<ISInfoObject>::Reservation room;
    };

    HRESULT PrepareInitialize(ISInfoObject* infoObject, VARIANT_BOOL isNew,
                              PendingInitialize& pending) {
        if (this->m_pInfoObject) {
            SDK_TRACE_WARNING(
                "this->m_pInfoObject.p should equal to NULL, check if you called Initialize twice "
                "or called base object Initialize() as well");
        }
        if (infoObject == nullptr) {
            return Pravhelper500::ReportTormicError(GUID_NULL, IID_ISDesktopPlugin,
                                                    Pravhelper500::MSG_INVALID_POINTER, {},
                                                    E_POINTER);
        }
        HRESULT hr = ComLib::SwappableComPtr<ISInfoObject>::Reserve(pending.room);
        if (FAILED(hr)) return hr;

        long locale = static_cast<long>(kDefaultObjectLocale);
        infoObject->get_Locale(&locale);  // a failure leaves the default
        pending.locale = static_cast<LCID>(locale);

        if (isNew != VARIANT_TRUE) return S_OK;
        return AddNewObjectMarker(infoObject, pending);
    }

    // Takes the new reference, then releases the old one (after every call still using it);
    // nothing happens to the reference when the host object is the one held.
    void CommitInitialize(ISInfoObject* infoObject, PendingInitialize& pending) noexcept {
        this->m_pInfoObject.Replace(infoObject, pending.room);
        m_ObjectLocale = pending.locale;
    }

    // Removes the marker PrepareInitialize added; a warning names it when it stays.
    void UndoInitialize(PendingInitialize& pending) noexcept {
        if (!pending.markedBag) return;
        ComLib::ScopedVariant name;
        HRESULT hr = name.SetBstr(Pravhelper500::WP_SI_NEWOBJECT_W);
        if (SUCCEEDED(hr)) hr = pending.markedBag->Remove(name.Get());
        if (FAILED(hr))
            SDK_TRACE_WARNING("Initialize: the new-object marker added before the failure stays");
        pending.markedBag.Reset();
    }

private:
    HRESULT AddNewObjectMarker(ISInfoObject* infoObject, PendingInitialize& pending) {
        Microsoft::WRL::ComPtr<ISProperties> bag;
        HRESULT hr = infoObject->get_Properties(&bag);
        if (FAILED(hr)) return hr;
        if (!bag) return E_POINTER;

        ComLib::ScopedVariant name;
        hr = name.SetBstr(Pravhelper500::WP_SI_NEWOBJECT_W);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ISProperty> existing;
        if (SUCCEEDED(bag->get_Item(name.Get(), &existing))) return S_OK;

        ComLib::ScopedBstr nameText(Pravhelper500::WP_SI_NEWOBJECT_W);
        if (!nameText.Get()) return E_OUTOFMEMORY;
        ComLib::ScopedVariant marker;
        marker.SetBool(VARIANT_TRUE);
        Microsoft::WRL::ComPtr<ISProperty> added;
        hr = bag->Add(nameText.Get(), marker.Get(), kNewObjectPropertyFlags, &added);
        if (SUCCEEDED(hr)) pending.markedBag = bag;
        return hr;
    }

    Zentil500::CS_Wrapper m_lastInterfaceLock;
    Zentil500::SIMap<unsigned long, Zentil500::SWCharString> m_lastInterface;
};
