// IPublicationInfo: typed access to the publication properties of the object, and the first link
// of the initialisation, commit-preparation and after-commit chains.
#pragma once

#include <windows.h>

#include "CategoryContent.h"

inline constexpr char kPublicationInfoFile[] = "export/iface/sdk/common/PublicationInfo";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class IPublicationInfo
    : public ICategoryContent<TPlugin, piidPlugin, plibidPlugin>,
      public ComLib::IDispatchImpl<ISPublicationInfo, &IID_ISPublicationInfo, plibidPlugin> {
    using Base = ICategoryContent<TPlugin, piidPlugin, plibidPlugin>;

public:
    static constexpr const char* kTraceFile = kPublicationInfoFile;

    // Initialisation chain entry: the category layer's initialisation, traced.
    HRESULT Initialize(ISInfoObject* infoObject, VARIANT_BOOL isNew) {
        SDK_TRACE_ENTRY(L"IPublicationInfo::Initialize", SdkTrace::PointerText(infoObject),
                        SdkTrace::BoolText(isNew));
        const HRESULT hr = Base::Initialize(infoObject, isNew);
        SDK_TRACE_EXIT(L"IPublicationInfo::Initialize", static_cast<long>(hr),
                       SdkTrace::PointerText(infoObject), SdkTrace::BoolText(isNew));
        return hr;
    }

    // Commit preparation: the category layer first, then the journals of the publication lists
    // in the order scope batch, source document, scope-batch document. The first failure ends it.
    // The flag is passed on and traced; this layer's own work does not depend on it.
    HRESULT PrepareForCommit(VARIANT_BOOL flag) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::PrepareForCommit";
        SDK_TRACE_ENTRY(kLabel, SdkTrace::BoolText(flag));
        HRESULT hr = Base::PrepareForCommit(flag);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = PrepareListForCommit(Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = PrepareListForCommit(Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = PrepareListForCommit(Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
    }

    // After the host stored the object: the category layer first, then the journals of the
    // publication lists are emptied, in the same order. A failure leaves the later lists as they
    // were. The collection caches are not touched.
    HRESULT AfterCommit(VARIANT_BOOL flag) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::AfterCommit";
        SDK_TRACE_ENTRY(kLabel, SdkTrace::BoolText(flag));
        HRESULT hr = Base::AfterCommit(flag);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = ResetListAfterCommit(Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = ResetListAfterCommit(Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        hr = ResetListAfterCommit(Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
        SDK_TRACE_RETURN(kLabel, S_OK, SdkTrace::BoolText(flag));
    }

private:
    // The commit operations of one publication list P, with the journals "SI_ADM_ADD_" + P and
    // "SI_ADM_DEL_" + P and the default update journal.
    HRESULT PrepareListForCommit(const wchar_t* property) noexcept try {
        Zentil500::SWCharString addName(Pravhelper500::WP_SI_ADM_ADD__W);
        addName += property;
        Zentil500::SWCharString delName(Pravhelper500::WP_SI_ADM_DEL__W);
        delName += property;
        return PrepareRelativesForCommit(property, this->m_pInfoObject.Get(), addName.c_str(),
                                         delName.c_str(), L"");
    } catch (...) {
        return E_OUTOFMEMORY;  // the journal names could not be made
    }
    HRESULT ResetListAfterCommit(const wchar_t* property) noexcept try {
        Zentil500::SWCharString addName(Pravhelper500::WP_SI_ADM_ADD__W);
        addName += property;
        Zentil500::SWCharString delName(Pravhelper500::WP_SI_ADM_DEL__W);
        delName += property;
        return ResetRelativesAfterCommit(property, this->m_pInfoObject.Get(), addName.c_str(),
                                         delName.c_str(), L"");
    } catch (...) {
        return E_OUTOFMEMORY;
    }

public:

    // The 46 publication members, also members 97 to 142 of the flattened interface.
#include "PublicationInfoMembers.inl"
};
