// CCryptoGraphicKey: the plug-in object of the repository kind CryptoGraphicKey. It keeps no key
// data of its own: every key member reads or writes a named property of the wrapped host object.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <mutex>

#include "CryptoGraphicKeyPlugin.h"
#include "FormatPlugin.h"
#include "comlib.h"
#include "scoped.h"

// The status of a refused state transition.
inline constexpr HRESULT KV_E_STATE_TRANSITION = static_cast<HRESULT>(0x80042A90L);
// The status of a refused HTML action.
inline constexpr HRESULT KV_E_HTML_ACTION = static_cast<HRESULT>(0x80042AA6L);

// Resources of the module that the object shows as pictures.
inline constexpr UINT kPictureIconResource = 201;
inline constexpr UINT kPictureGifResource = 202;

class CCryptoGraphicKey
    : public IFormatPlugin<ISCryptoGraphicKey, &IID_ISCryptoGraphicKey,
                           &LIBID_KorvelCryptoGraphicKeyPluginLib>,
      public ComLib::IDispatchImpl<ISCryptoGraphicKeyBase, &IID_ISCryptoGraphicKeyBase,
                                   &LIBID_KorvelCryptoGraphicKeyPluginLib>,
      public ComLib::IDispatchImpl<ISDerivedKey, &IID_ISDerivedKey,
                                   &LIBID_KorvelCryptoGraphicKeyPluginLib>,
      public ComLib::IDispatchImpl<ISVersionedInfoObject, &IID_ISVersionedInfoObject,
                                   &LIBID_KorvelInfoStoreLib> {
    using Base = IFormatPlugin<ISCryptoGraphicKey, &IID_ISCryptoGraphicKey,
                               &LIBID_KorvelCryptoGraphicKeyPluginLib>;

public:
    static constexpr const char* kTraceFile = "CCryptoGraphicKey";

    CCryptoGraphicKey() = default;
    ~CCryptoGraphicKey() override = default;

    // Final construction: the aggregated free-threaded marshaler.
    HRESULT FinalConstruct() noexcept { return CreateFreeThreadedMarshaler(GetUnknown()); }

    // The object's interface table (see the rows in the implementation).
    HRESULT _InternalQueryInterface(REFIID iid, void** ppv) noexcept;
    // The object's IUnknown identity: the plug-in face. DOES NOT AddRef.
    IUnknown* GetUnknown() noexcept { return static_cast<ISDesktopPluginEx*>(this); }
    // The outer unknown of an aggregated object, else the identity. DOES NOT AddRef.
    IUnknown* GetControllingUnknown() noexcept {
        return m_pOuterUnknown ? m_pOuterUnknown : GetUnknown();
    }

    // ---- key members (ISCryptoGraphicKeyBase, ISDerivedKey, ISCryptoGraphicKey)
    STDMETHOD(get_KeyValue)(BSTR* strKeyValue) override;
    STDMETHOD(get_KeyState)(KvKeyState* KeyState) override;
    STDMETHOD(get_DerivedKey)(BSTR* strDerivedKey) override;
    STDMETHOD(SuspendRekey)() override;
    STDMETHOD(ResumeRekey)() override;
    STDMETHOD(StartRekey)() override;
    STDMETHOD(get_ActivePeriodInMilliseconds)(long* lActivePeriod) override;
    STDMETHOD(get_isCompromised)(VARIANT_BOOL* bisCompromised) override;
    STDMETHOD(SetCompromised)() override;

    // ---- identity (ISInfoObject, ISCryptoGraphicKey, ISWebView)
    STDMETHOD(get_PluginInterface)(BSTR InterfaceName, IDispatch** pInterface) override;
    STDMETHOD(get_MimeType)(BSTR* pType) override;
    STDMETHOD(FileExtensionFromMimeType)(BSTR, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(MimeTypeFromFileExtension)(BSTR, BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(get_Picture)(KvPictureKind RequestedPicture, VARIANT* pPicture) override;
    STDMETHOD(DoHTMLAction)(BSTR Request, BSTR InterfaceIID, VARIANT SubmitData) override;

    // ISVersionedInfoObject: nothing to upgrade.
    STDMETHOD(Upgrade)(long, VARIANT_BOOL*) override { return S_FALSE; }
    // ISupportErrorInfo
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID iid) override;

    // ---- plug-in face slot 4: refuses a key object without a readable MIME type.
    STDMETHOD(PrepareForCommit)(VARIANT_BOOL flag) override;

private:
    // Helpers of the key members. They write the member's exit lines after a failure, each at
    // its own line of the member (see SdkTrace::TraceSites): FindProperty's three (no bag, no
    // name, no property), ReadProperty's two more (no value, no conversion), Rekey's two more
    // (refused, done).
    using FindSites = SdkTrace::TraceSites<3>;
    using ReadSites = SdkTrace::TraceSites<5>;
    using RekeySites = SdkTrace::TraceSites<7>;
    HRESULT FindProperty(const wchar_t* label, const wchar_t* name,
                         Microsoft::WRL::ComPtr<ISProperty>& property, const FindSites& sites);
    HRESULT ReadProperty(const wchar_t* label, const wchar_t* name, VARTYPE type,
                         ComLib::ScopedVariant& value, Microsoft::WRL::ComPtr<ISProperty>* keep,
                         const ReadSites& sites);
    // A rekey command: moves the state from `required` to `next`, or refuses.
    HRESULT Rekey(const wchar_t* label, KvKeyState required, KvKeyState next,
                  const RekeySites& sites);

    // MIME type cache: filled once by the first successful get_MimeType, under its lock.
    std::mutex m_mimeTypeLock;
    ComLib::ScopedBstr m_mimeType;
    bool m_mimeTypeCached = false;
};
