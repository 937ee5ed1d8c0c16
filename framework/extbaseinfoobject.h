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

    // The desktop layer's part of initialisation: takes the host object, the object locale and,
    // for a new entry, the new-object marker. Neither guarded nor traced.
    HRESULT Initialize(ISInfoObject* infoObject, VARIANT_BOOL isNew) {
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
        // Takes the new reference, then releases the old one (after every call still using it).
        this->m_pInfoObject.Replace(infoObject);

        long locale = static_cast<long>(kDefaultObjectLocale);
        infoObject->get_Locale(&locale);  // a failure leaves the default
        m_ObjectLocale = static_cast<LCID>(locale);

        if (isNew != VARIANT_TRUE) return S_OK;
        return AddNewObjectMarker(infoObject);
    }

private:
    HRESULT AddNewObjectMarker(ISInfoObject* infoObject) {
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
        return bag->Add(nameText.Get(), marker.Get(), kNewObjectPropertyFlags, &added);
    }

    Zentil500::CS_Wrapper m_lastInterfaceLock;
    Zentil500::SIMap<unsigned long, Zentil500::SWCharString> m_lastInterface;
};
