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

    // Commit preparation: the category layer first, then the journals of the publication lists.
    HRESULT PrepareForCommit(VARIANT_BOOL flag) {
        SDK_TRACE_ENTRY(L"IPublicationInfo::PrepareForCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = Base::PrepareForCommit(flag);
        SDK_TRACE_EXIT(L"IPublicationInfo::PrepareForCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    // After the host stored the object: the category layer first, then the publication lists.
    HRESULT AfterCommit(VARIANT_BOOL flag) {
        SDK_TRACE_ENTRY(L"IPublicationInfo::AfterCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = Base::AfterCommit(flag);
        SDK_TRACE_EXIT(L"IPublicationInfo::AfterCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    // Publication members (filled in with the publication layer).
    STDMETHOD(put_IsPublicationJob)(VARIANT_BOOL isPublicationJob) override { return E_NOTIMPL; }
    STDMETHOD(get_IsPublicationJob)(VARIANT_BOOL* pISPublicationJob) override { return E_NOTIMPL; }
    STDMETHOD(put_IsPublicationGlobalDeliveryRuleJob)(VARIANT_BOOL isGlobalDeliveryRuleJob) override { return E_NOTIMPL; }
    STDMETHOD(get_IsPublicationGlobalDeliveryRuleJob)(VARIANT_BOOL* pGlobalDeliveryRuleJob) override { return E_NOTIMPL; }
    STDMETHOD(put_ScopeID)(long scopeID) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeID)(long* pScopeID) override { return E_NOTIMPL; }
    STDMETHOD(put_MultiPassBursting)(long multiPassBursting) override { return E_NOTIMPL; }
    STDMETHOD(get_MultiPassBursting)(long* pMultiPassBursting) override { return E_NOTIMPL; }
    STDMETHOD(put_MergedArtifact)(VARIANT_BOOL mergedArtifact) override { return E_NOTIMPL; }
    STDMETHOD(get_MergedArtifact)(VARIANT_BOOL* pMergedArtifact) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeBatchObjects)(ISObjectRelativeIDs** ppScopeBatchObjects) override { return E_NOTIMPL; }
    STDMETHOD(put_ScopeBatchObjectID)(long scopeBatchObjectID) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeBatchObjectID)(long* pScopeBatchObjectID) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeBatchDocObjects)(ISObjectRelativeIDs** ppScopeBatchDocObjects) override { return E_NOTIMPL; }
    STDMETHOD(put_ScopeBatchDocumentID)(long scopeBatchDocumentID) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeBatchDocumentID)(long* pScopeBatchDocumentID) override { return E_NOTIMPL; }
    STDMETHOD(get_SourceDocObjects)(ISObjectRelativeIDs** ppSourceDocObjects) override { return E_NOTIMPL; }
    STDMETHOD(put_SourceDocumentID)(long sourceDocumentID) override { return E_NOTIMPL; }
    STDMETHOD(get_SourceDocumentID)(long* pSourceDocumentID) override { return E_NOTIMPL; }
    STDMETHOD(put_ArtifactParentID)(long artifactParentID) override { return E_NOTIMPL; }
    STDMETHOD(get_ArtifactParentID)(long* pArtifactParentID) override { return E_NOTIMPL; }
    STDMETHOD(put_DeliveryRuleExpression)(BSTR deliveryRuleExpression) override { return E_NOTIMPL; }
    STDMETHOD(get_DeliveryRuleExpression)(BSTR* pBstrDeliveryRuleExpression) override { return E_NOTIMPL; }
    STDMETHOD(put_DeliveryRuleOptions)(long deliveryRuleOptions) override { return E_NOTIMPL; }
    STDMETHOD(get_DeliveryRuleOptions)(long* pDeliveryRuleOptions) override { return E_NOTIMPL; }
    STDMETHOD(put_DeliveryEmptyDocument)(VARIANT_BOOL deliverEmptyDocument) override { return E_NOTIMPL; }
    STDMETHOD(get_DeliveryEmptyDocument)(VARIANT_BOOL* pDeliverEmptyDocument) override { return E_NOTIMPL; }
    STDMETHOD(put_DeliverySkipped)(VARIANT_BOOL deliverySkipped) override { return E_NOTIMPL; }
    STDMETHOD(get_DeliverySkipped)(VARIANT_BOOL* pDeliverySkipped) override { return E_NOTIMPL; }
    STDMETHOD(GetDeliveryRuleResults)(long lScopeID, VARIANT_BOOL* pValue) override { return E_NOTIMPL; }
    STDMETHOD(SetDeliveryRuleResults)(long lScopeID, VARIANT_BOOL Value) override { return E_NOTIMPL; }
    STDMETHOD(RemoveDeliveryRuleResults)(long lScopeID) override { return E_NOTIMPL; }
    STDMETHOD(put_PublicationKeepSavedData)(VARIANT_BOOL keepSavedData) override { return E_NOTIMPL; }
    STDMETHOD(get_PublicationKeepSavedData)(VARIANT_BOOL* pPublicationKeepSavedData) override { return E_NOTIMPL; }
    STDMETHOD(get_FormatInfos)(ISFormatInfos** ppFormatInfos) override { return E_NOTIMPL; }
    STDMETHOD(get_ScopeBatchScopes)(ISScopeBatchScopes** ppScopes) override { return E_NOTIMPL; }
    STDMETHOD(get_DynamicRecipientProfileValueMappings)(ISProfileValueMappings** ppProfileValueMappings) override { return E_NOTIMPL; }
    STDMETHOD(get_PublicationDocumentVariableMappings)(ISDocumentVariableMappings** ppDocVariableMappings) override { return E_NOTIMPL; }
    STDMETHOD(put_DeliverIfAlertIsTrue)(VARIANT_BOOL deliverIfAlertTrue) override { return E_NOTIMPL; }
    STDMETHOD(get_DeliverIfAlertIsTrue)(VARIANT_BOOL* pDeliverIfAlertTrue) override { return E_NOTIMPL; }
    STDMETHOD(put_ShowAllDataForNullProfileValues)(VARIANT_BOOL showAllDataForNullValues) override { return E_NOTIMPL; }
    STDMETHOD(get_ShowAllDataForNullProfileValues)(VARIANT_BOOL* pShowAllDataForNullValues) override { return E_NOTIMPL; }
    STDMETHOD(put_IsDynamicRecipeintsScopeBatch)(VARIANT_BOOL newVal) override { return E_NOTIMPL; }
    STDMETHOD(get_IsDynamicRecipeintsScopeBatch)(VARIANT_BOOL* pVal) override { return E_NOTIMPL; }
    STDMETHOD(put_Format)(BSTR bstrFormat) override { return E_NOTIMPL; }
    STDMETHOD(get_Format)(BSTR* pBstrFormat) override { return E_NOTIMPL; }
};
