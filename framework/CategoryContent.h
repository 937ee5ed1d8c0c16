// ICategoryContent: the corporate and personal category collections of the object, and its link
// in the initialisation, commit-preparation and after-commit chains.
#pragma once

#include <windows.h>

#include "ScheduableContainer.h"

inline constexpr char kCategoryContentFile[] = "export/iface/sdk/common/CategoryContent";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class ICategoryContent
    : public ISScheduableContainer<TPlugin, piidPlugin, plibidPlugin>,
      public ComLib::IDispatchImpl<ISCategoryContent, &IID_ISCategoryContent,
                                   &LIBID_KorvelInfoStoreLib> {
    using Base = ISScheduableContainer<TPlugin, piidPlugin, plibidPlugin>;

public:
    static constexpr const char* kTraceFile = kCategoryContentFile;

    HRESULT Initialize(ISInfoObject* infoObject, VARIANT_BOOL isNew) {
        SDK_TRACE_ENTRY(L"ICategoryContent::Initialize", SdkTrace::PointerText(infoObject),
                        SdkTrace::BoolText(isNew));
        const HRESULT hr = Base::Initialize(infoObject, isNew);
        SDK_TRACE_EXIT(L"ICategoryContent::Initialize", static_cast<long>(hr),
                       SdkTrace::PointerText(infoObject), SdkTrace::BoolText(isNew));
        return hr;
    }

    HRESULT PrepareForCommit(VARIANT_BOOL flag) {
        SDK_TRACE_ENTRY(L"ICategoryContent::PrepareForCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = S_OK;
        SDK_TRACE_EXIT(L"ICategoryContent::PrepareForCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    HRESULT AfterCommit(VARIANT_BOOL flag) {
        SDK_TRACE_ENTRY(L"ICategoryContent::AfterCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = S_OK;
        SDK_TRACE_EXIT(L"ICategoryContent::AfterCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    // Category members (filled in with the category layer).
    STDMETHOD(get_CorporateCategories)(ISObjectRelativeIDs**) override { return E_NOTIMPL; }
    STDMETHOD(get_PersonalCategories)(ISObjectRelativeIDs**) override { return E_NOTIMPL; }
};
