// IFormatPlugin: the outermost framework layer. It carries the plug-in face the host drives
// (initialisation, commit hooks, message texts, job-server errors) and the byte stream and
// streaming file of the object's main file.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "PublicationInfo.h"

inline constexpr char kFormatPluginFile[] = "export/iface/sdk/desktop/common/FormatPlugin";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class IFormatPlugin
    : public IPublicationInfo<TPlugin, piidPlugin, plibidPlugin>,
      public ComLib::IDispatchImpl<ISWebView, &IID_ISWebView, plibidPlugin> {
    using Base = IPublicationInfo<TPlugin, piidPlugin, plibidPlugin>;

public:
    static constexpr const char* kTraceFile = kFormatPluginFile;

    // ---- plug-in face, slots 3 to 16 (slot 4, PrepareForCommit, is the plug-in class's own)

    // Slot 3: the wrapped host object with a reference for the caller (null before Initialize).
    STDMETHOD(get_InfoObject)(ISInfoObject** ppIIOb) override {
        if (ppIIOb == nullptr) {
            if (Zentil500::ShouldAssert())
                Zentil500::SAssert(kBaseInfoObjectFile, __LINE__, "ppIIOb != NULL");
            return E_POINTER;
        }
        *ppIIOb = this->m_pInfoObject.Get();
        if (*ppIIOb) (*ppIIOb)->AddRef();
        return S_OK;
    }

    // Slot 5: the initialisation chain, entered at the publication layer.
    STDMETHOD(Initialize)(ISInfoObject* infoObject, VARIANT_BOOL isNew) override {
        return Base::Initialize(infoObject, isNew);
    }

    STDMETHOD(PrepareForDelete)(VARIANT_BOOL) override { return S_OK; }

    // Slot 8: message text in the object's locale (the neutral choice when it has none).
    STDMETHOD(LoadMessage)(unsigned long messageID, BSTR* text) override {
        if (text == nullptr) return E_POINTER;
        long locale = 0;
        const Zentil500::SWCharString message =
            SUCCEEDED(this->get_Locale(&locale))
                ? Zentil500::SResManager::LoadStringW(messageID, static_cast<LCID>(locale))
                : Zentil500::SResManager::LoadStringW(messageID, 0);
        *text = SysAllocStringLen(message.c_str(), static_cast<UINT>(message.length()));
        return *text ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHOD(AfterDelete)(VARIANT_BOOL) override { return S_OK; }
    STDMETHOD(PrepareForCopy)(ISInfoObject*) override { return S_OK; }
    STDMETHOD(AfterCopy)(ISInfoObject*) override { return S_OK; }
    STDMETHOD(PrepareForSchedule)(VARIANT_BOOL) override { return S_OK; }

    // Slot 14: unmanaged destinations are supported by every object.
    STDMETHOD(get_IsUnmanagedDestinationSupported)(VARIANT_BOOL* supported) override {
        if (supported == nullptr) return E_POINTER;
        SDK_TRACE_ENTRY(L"IFormatPlugin::get_IsUnmanagedDestinationSupported",
                        SdkTrace::BoolText(supported));
        *supported = VARIANT_TRUE;
        SDK_TRACE_EXIT(L"IFormatPlugin::get_IsUnmanagedDestinationSupported",
                       static_cast<long>(S_OK), SdkTrace::BoolText(*supported));
        return S_OK;
    }

    // Slots 15 and 16: the plug-in face flag; set exactly when written as VARIANT_TRUE.
    STDMETHOD(get_ExtendedMode)(VARIANT_BOOL* extended) override {
        if (extended == nullptr) return E_POINTER;
        *extended = m_faceFlag.load() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    STDMETHOD(put_ExtendedMode)(VARIANT_BOOL extended) override {
        m_faceFlag.store(extended == VARIANT_TRUE);
        return S_OK;
    }

    // Filled in with the commit chain and the job-server error text.
    STDMETHOD(FormatJobServerError)(ISProperties*, BSTR*) override { return E_NOTIMPL; }
    // Slot 11: the after-commit chain, entered at the publication layer.
    STDMETHOD(AfterCommit)(VARIANT_BOOL flag) override { return Base::AfterCommit(flag); }

    // ---- web view (byte stream and streaming file are filled in with the format layer)
    STDMETHOD(get_ByteStream)(VARIANT*) override { return E_NOTIMPL; }
    STDMETHOD(get_StreamingFile)(ISStreamingFile**) override { return E_NOTIMPL; }

private:
    std::atomic<bool> m_faceFlag{false};
};
