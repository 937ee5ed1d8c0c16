// ISScheduableContainer: obtains the host's info store at initialisation and creates new
// repository objects as children of this object.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "extbaseinfoobject.h"

inline constexpr char kScheduableContainerFile[] = "export/iface/sdk/common/ScheduableContainer";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class ISScheduableContainer : public ISExtendedDesktopPluginImpl2<TPlugin, piidPlugin, plibidPlugin> {
    using Base = ISExtendedDesktopPluginImpl2<TPlugin, piidPlugin, plibidPlugin>;

public:
    static constexpr const char* kTraceFile = kScheduableContainerFile;

    // The host's info store: empty until Initialize, released with the object. Replaced by a
    // second Initialize while calls may run (each call takes its own reference).
    ComLib::SwappableComPtr<ISInfoStore> m_pInfoStore;

    // The desktop layer's initialisation, then the info store through the parent-objects
    // collection. Not traced. The object takes the host object, its locale and the info store
    // only when every step succeeded; a failure removes the new-object marker the desktop layer
    // added, so that a failed call changes nothing.
    HRESULT Initialize(ISInfoObject* infoObject, VARIANT_BOOL isNew) {
        typename Base::PendingInitialize pending;
        HRESULT hr = Base::PrepareInitialize(infoObject, isNew, pending);
        if (FAILED(hr)) return hr;
        if (m_pInfoStore)
            SDK_TRACE_WARNING("m_pInfoStore.p should equal to NULL, check if you called Initialize twice");
        Microsoft::WRL::ComPtr<ISInfoObjects> parents;
        hr = infoObject->get_ParentInfoObjects(&parents);
        if (SUCCEEDED(hr) && !parents) hr = E_POINTER;
        Microsoft::WRL::ComPtr<ISInfoStore> store;
        if (SUCCEEDED(hr)) hr = parents->get_InfoStore(&store);
        typename ComLib::SwappableComPtr<ISInfoStore>::Reservation room;
        if (SUCCEEDED(hr)) hr = ComLib::SwappableComPtr<ISInfoStore>::Reserve(room);
        if (FAILED(hr)) {
            Base::UndoInitialize(pending);
            return hr;
        }
        Base::CommitInitialize(infoObject, pending);
        m_pInfoStore.Replace(store.Get(), room);  // a host without info store leaves none
        return S_OK;
    }

    // Creates a new repository object of `kind` whose parent is this object; *ppObj receives it
    // with a reference for the caller. Guarded, not traced.
    virtual HRESULT NewChildObject(BSTR kind, ISInfoObject** ppObj) try {
        SDK_CALL_GUARD();
        if (ppObj == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer ppObj", GUID_NULL);
        // Without an info store there is nothing to create the object with. Every object the
        // host hands back along the chain is checked: success with a null object gives E_FAIL.
        const Microsoft::WRL::ComPtr<ISInfoStore> store = m_pInfoStore.Acquire();
        if (!store) return E_FAIL;

        Microsoft::WRL::ComPtr<ISInfoObjects> newObjects;
        HRESULT hr = store->NewInfoObjectCollection(&newObjects);
        if (FAILED(hr)) return hr;
        if (!newObjects) return E_FAIL;
        Microsoft::WRL::ComPtr<ISPluginManager> pluginManager;
        hr = store->get_PluginManager(&pluginManager);
        if (FAILED(hr)) return hr;
        if (!pluginManager) return E_FAIL;
        Microsoft::WRL::ComPtr<ISPluginInfos> pluginInfos;
        hr = pluginManager->get_PluginInfos(&pluginInfos);
        if (FAILED(hr)) return hr;
        if (!pluginInfos) return E_FAIL;
        ComLib::ScopedVariant kindValue;
        hr = kindValue.SetBstr(kind);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ISPluginInfo> pluginInfo;
        hr = pluginInfos->get_Item(kindValue.Get(), &pluginInfo);
        if (FAILED(hr)) return hr;
        if (!pluginInfo) return E_FAIL;
        Microsoft::WRL::ComPtr<ISInfoObject> pNewObj;
        hr = newObjects->Add(pluginInfo.Get(), &pNewObj);
        if (FAILED(hr)) return hr;
        if (!pNewObj) return E_FAIL;

        // The parent link is best effort: a failure is reported, the object still handed out.
        long id = 0;
        SDK_ASSERT(SUCCEEDED(this->get_ID(&id)));
        SDK_ASSERT(SUCCEEDED(pNewObj->put_ParentID(id)));
        *ppObj = pNewObj.Detach();
        return S_OK;
    } SDK_CATCH_RETURN()
};
