// Members of IPublicationInfo, included inside its class body: the 46 publication members and the
// helpers they share.
//
// Every member reads or writes through to the wrapped host object on each call; the only state of
// the layer is the three ID-list collections, each filled once by the first successful call of its
// getter and released with the object. Where a property lives:
// - object property: ISInfoObject get_Property / put_Property;
// - processing property: the same calls on the host object's processing info;
// - processing bag: a bag-valued property of the processing info's bag (GetProcessingBag);
// - bag inside an object property (GetPropertyBagFromProperties);
// - ID list: the relative-ID collection bound to the list property.
//
// On an object that has no host object yet every member fails with E_FAIL after the assertion
// "this->m_pInfoObject" (the trace lines of the member are written as on its other failures).
// Nothing is thrown out of a member: an allocation failure becomes E_OUTOFMEMORY.
public:
    // ---------------------------------------------------------------------------------------------
    // Repository status codes of this layer

    // The host's answer for a property that is not present.
    static constexpr HRESULT kPropertyNotFound = static_cast<HRESULT>(0x80042A37L);
    // A bag that should exist cannot be obtained.
    static constexpr HRESULT kBagNotFound = static_cast<HRESULT>(0x80042A30L);
    // Flags of a bag-valued property that this layer creates.
    static constexpr long kCreatedBagFlags = 0x08000000;

    // ---------------------------------------------------------------------------------------------
    // 1-4: publication job flags (object properties, narrow names, non-zero form)

    STDMETHOD(put_IsPublicationJob)(VARIANT_BOOL isPublicationJob) override {
        return PutObjectProperty(L"IPublicationInfo::put_IsPublicationJob",
                                 PropertyName(Pravhelper500::WP_SI_IS_PUBLICATION_JOB),
                                 NonZeroBoolValue(isPublicationJob),
                                 [=] { return static_cast<int>(isPublicationJob); },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_IsPublicationJob)(VARIANT_BOOL* pISPublicationJob) override {
        return GetObjectBool(L"IPublicationInfo::get_IsPublicationJob",
                             PropertyName(Pravhelper500::WP_SI_IS_PUBLICATION_JOB),
                             pISPublicationJob, "Invalid pointer pISPublicationJob",
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: no host object
                              SDK_TRACE_SITE,    // OUT: no name
                              SDK_TRACE_SITE,    // OUT: not present
                              SDK_TRACE_SITE,    // OUT: no conversion
                              SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_IsPublicationGlobalDeliveryRuleJob)(
        VARIANT_BOOL isGlobalDeliveryRuleJob) override {
        return PutObjectProperty(
            L"IPublicationInfo::put_IsPublicationGlobalDeliveryRuleJob",
            PropertyName(Pravhelper500::WP_SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB),
            NonZeroBoolValue(isGlobalDeliveryRuleJob),
            [=] { return static_cast<int>(isGlobalDeliveryRuleJob); },
            {SDK_TRACE_SITE,    // IN
             SDK_TRACE_SITE,    // OUT: no host object
             SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_IsPublicationGlobalDeliveryRuleJob)(
        VARIANT_BOOL* pGlobalDeliveryRuleJob) override {
        return GetObjectBool(
            L"IPublicationInfo::get_IsPublicationGlobalDeliveryRuleJob",
            PropertyName(Pravhelper500::WP_SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB),
            pGlobalDeliveryRuleJob, "Invalid pointer pGlobalDeliveryRuleJob",
            {SDK_TRACE_SITE,    // IN
             SDK_TRACE_SITE,    // OUT: no host object
             SDK_TRACE_SITE,    // OUT: no name
             SDK_TRACE_SITE,    // OUT: not present
             SDK_TRACE_SITE,    // OUT: no conversion
             SDK_TRACE_SITE});  // OUT
    }

    // ---------------------------------------------------------------------------------------------
    // 5-10: scope, bursting, merged artefact (object properties)

    STDMETHOD(put_ScopeID)(long scopeID) override {
        return PutObjectProperty(L"IPublicationInfo::put_ScopeID",
                                 PropertyName(Pravhelper500::WP_SI_SCOPE_ID_W), I4Value(scopeID),
                                 [=] { return scopeID; },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ScopeID)(long* pScopeID) override {
        return GetObjectLong(L"IPublicationInfo::get_ScopeID",
                             PropertyName(Pravhelper500::WP_SI_SCOPE_ID_W), pScopeID,
                             "Invalid pointer pScopeID",
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: no host object
                              SDK_TRACE_SITE,    // OUT: no name
                              SDK_TRACE_SITE,    // OUT: not present
                              SDK_TRACE_SITE,    // OUT: no conversion
                              SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_MultiPassBursting)(long multiPassBursting) override {
        return PutObjectProperty(L"IPublicationInfo::put_MultiPassBursting",
                                 PropertyName(Pravhelper500::WP_SI_MULTIPASSBURSTING_W),
                                 I4Value(multiPassBursting), [=] { return multiPassBursting; },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_MultiPassBursting)(long* pMultiPassBursting) override {
        return GetObjectLong(L"IPublicationInfo::get_MultiPassBursting",
                             PropertyName(Pravhelper500::WP_SI_MULTIPASSBURSTING_W),
                             pMultiPassBursting, "Invalid pointer pMultiPassBursting",
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: no host object
                              SDK_TRACE_SITE,    // OUT: no name
                              SDK_TRACE_SITE,    // OUT: not present
                              SDK_TRACE_SITE,    // OUT: no conversion
                              SDK_TRACE_SITE});  // OUT
    }
    // Stored as a 16-bit integer holding the argument unchanged, not as VT_BOOL.
    STDMETHOD(put_MergedArtifact)(VARIANT_BOOL mergedArtifact) override {
        VARIANT value;
        V_VT(&value) = VT_I2;
        V_I2(&value) = mergedArtifact;
        return PutObjectProperty(L"IPublicationInfo::put_MergedArtifact",
                                 PropertyName(Pravhelper500::WP_SI_IS_PLUGIN_ARTIFACT_W), value,
                                 [=] { return static_cast<int>(mergedArtifact); },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_MergedArtifact)(VARIANT_BOOL* pMergedArtifact) override {
        return GetObjectBool(L"IPublicationInfo::get_MergedArtifact",
                             PropertyName(Pravhelper500::WP_SI_IS_PLUGIN_ARTIFACT_W),
                             pMergedArtifact, "Invalid pointer pMergedArtifact",
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: no host object
                              SDK_TRACE_SITE,    // OUT: no name
                              SDK_TRACE_SITE,    // OUT: not present
                              SDK_TRACE_SITE,    // OUT: no conversion
                              SDK_TRACE_SITE});  // OUT
    }

    // ---------------------------------------------------------------------------------------------
    // 11-19: the three ID lists and their single-ID members

    STDMETHOD(get_ScopeBatchObjects)(ISObjectRelativeIDs** ppScopeBatchObjects) override {
        return GetRelativeIDs(L"IPublicationInfo::get_ScopeBatchObjects",
                              Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W, m_pScopeBatchObjects,
                              ppScopeBatchObjects, "Invalid pointer ppScopeBatchObjects",
                              {SDK_TRACE_SITE,    // IN
                               SDK_TRACE_SITE,    // OUT: no host object
                               SDK_TRACE_SITE,    // OUT: not made
                               SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_ScopeBatchObjectID)(long scopeBatchObjectID) override {
        return PutSingleID(L"IPublicationInfo::put_ScopeBatchObjectID",
                           &IPublicationInfo::get_ScopeBatchObjects, scopeBatchObjectID,
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: not replaced
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ScopeBatchObjectID)(long* pScopeBatchObjectID) override {
        return GetSingleID(L"IPublicationInfo::get_ScopeBatchObjectID",
                           &IPublicationInfo::get_ScopeBatchObjects, pScopeBatchObjectID,
                           "Invalid pointer pScopeBatchObjectID",
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: no count
                            SDK_TRACE_SITE,    // OUT: no element
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ScopeBatchDocObjects)(ISObjectRelativeIDs** ppScopeBatchDocObjects) override {
        return GetRelativeIDs(L"IPublicationInfo::get_ScopeBatchDocObjects",
                              Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W,
                              m_pScopeBatchDocObjects, ppScopeBatchDocObjects,
                              "Invalid pointer ppScopeBatchDocObjects",
                              {SDK_TRACE_SITE,    // IN
                               SDK_TRACE_SITE,    // OUT: no host object
                               SDK_TRACE_SITE,    // OUT: not made
                               SDK_TRACE_SITE});  // OUT
    }
    // Replaces the scope-batch document list by the one ID, as the other two single-ID setters do
    // for their lists.
    STDMETHOD(put_ScopeBatchDocumentID)(long scopeBatchDocumentID) override {
        return PutSingleID(L"IPublicationInfo::put_ScopeBatchDocumentID",
                           &IPublicationInfo::get_ScopeBatchDocObjects, scopeBatchDocumentID,
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: not replaced
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ScopeBatchDocumentID)(long* pScopeBatchDocumentID) override {
        return GetSingleID(L"IPublicationInfo::get_ScopeBatchDocumentID",
                           &IPublicationInfo::get_ScopeBatchDocObjects, pScopeBatchDocumentID,
                           "Invalid pointer pScopeBatchDocumentID",
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: no count
                            SDK_TRACE_SITE,    // OUT: no element
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_SourceDocObjects)(ISObjectRelativeIDs** ppSourceDocObjects) override {
        return GetRelativeIDs(L"IPublicationInfo::get_SourceDocObjects",
                              Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W, m_pSourceDocObjects,
                              ppSourceDocObjects, "Invalid pointer ppSourceDocObjects",
                              {SDK_TRACE_SITE,    // IN
                               SDK_TRACE_SITE,    // OUT: no host object
                               SDK_TRACE_SITE,    // OUT: not made
                               SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_SourceDocumentID)(long sourceDocumentID) override {
        return PutSingleID(L"IPublicationInfo::put_SourceDocumentID",
                           &IPublicationInfo::get_SourceDocObjects, sourceDocumentID,
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: not replaced
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_SourceDocumentID)(long* pSourceDocumentID) override {
        return GetSingleID(L"IPublicationInfo::get_SourceDocumentID",
                           &IPublicationInfo::get_SourceDocObjects, pSourceDocumentID,
                           "Invalid pointer pSourceDocumentID",
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no list
                            SDK_TRACE_SITE,    // OUT: no count
                            SDK_TRACE_SITE,    // OUT: no element
                            SDK_TRACE_SITE});  // OUT
    }

    // ---------------------------------------------------------------------------------------------
    // 20-29: artefact parent, delivery rule (object and processing properties)

    STDMETHOD(put_ArtifactParentID)(long artifactParentID) override {
        return PutObjectProperty(L"IPublicationInfo::put_ArtifactParentID",
                                 PropertyName(Pravhelper500::WP_SI_ARTIFACT_PARENT_ID_W),
                                 I4Value(artifactParentID), [=] { return artifactParentID; },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ArtifactParentID)(long* pArtifactParentID) override {
        return GetObjectLong(L"IPublicationInfo::get_ArtifactParentID",
                             PropertyName(Pravhelper500::WP_SI_ARTIFACT_PARENT_ID_W),
                             pArtifactParentID, "Invalid pointer pArtifactParentID",
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: no host object
                              SDK_TRACE_SITE,    // OUT: no name
                              SDK_TRACE_SITE,    // OUT: not present
                              SDK_TRACE_SITE,    // OUT: no conversion
                              SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_DeliveryRuleExpression)(BSTR deliveryRuleExpression) override {
        // The host copies the [in] value; the caller's string is only lent.
        return PutProcessingProperty(L"IPublicationInfo::put_DeliveryRuleExpression",
                                     Pravhelper500::WP_SI_DELIVERY_RULE_EXPRESSION_W,
                                     BstrValue(deliveryRuleExpression), true,
                                     [=] { return SdkTrace::BstrText(deliveryRuleExpression); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    // The output check comes before the entry line; exit lines only on success and when the
    // processing info cannot be had.
    STDMETHOD(get_DeliveryRuleExpression)(BSTR* pBstrDeliveryRuleExpression) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::get_DeliveryRuleExpression";
        SDK_CALL_GUARD();
        if (pBstrDeliveryRuleExpression == nullptr)
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pBstrDeliveryRuleExpression", GUID_NULL);
        // The output is the caller's to fill, not to read: its entry text is empty.
        SDK_TRACE_ENTRY(kLabel, SdkTrace::SWCharString());
        if (!this->m_pInfoObject) return NoHostObject(kLabel);
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        HRESULT traced = S_OK;
        HRESULT hr = GetProcessingInfo(info, traced);
        if (FAILED(hr)) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(traced), SdkTrace::SWCharString());
            return hr;
        }
        ComLib::ScopedVariant value;
        hr = ReadProcessingProperty(info.Get(), Pravhelper500::WP_SI_DELIVERY_RULE_EXPRESSION_W,
                                    value);
        if (FAILED(hr)) return hr;
        hr = value.ChangeType(VT_BSTR);
        if (FAILED(hr)) return hr;
        *pBstrDeliveryRuleExpression = V_BSTR(value.Ptr());  // the caller owns the string
        V_VT(value.Ptr()) = VT_EMPTY;
        SDK_TRACE_EXIT(kLabel, static_cast<long>(S_OK),
                       SdkTrace::BstrText(*pBstrDeliveryRuleExpression));
        return S_OK;
    } SDK_CATCH_RETURN()
    STDMETHOD(put_DeliveryRuleOptions)(long deliveryRuleOptions) override {
        return PutProcessingProperty(L"IPublicationInfo::put_DeliveryRuleOptions",
                                     Pravhelper500::WP_SI_DELIVERY_RULE_OPTIONS_W,
                                     I4Value(deliveryRuleOptions), true,
                                     [=] { return deliveryRuleOptions; },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_DeliveryRuleOptions)(long* pDeliveryRuleOptions) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::get_DeliveryRuleOptions";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::PointerText(pDeliveryRuleOptions));
        if (!this->m_pInfoObject) return NoHostObject(kLabel);
        if (pDeliveryRuleOptions == nullptr)
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pDeliveryRuleOptions", GUID_NULL);
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        HRESULT traced = S_OK;
        HRESULT hr = GetProcessingInfo(info, traced);
        if (FAILED(hr)) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(traced));
            return hr;
        }
        ComLib::ScopedVariant value;
        hr = ReadProcessingProperty(info.Get(), Pravhelper500::WP_SI_DELIVERY_RULE_OPTIONS_W,
                                    value);
        if (hr == E_OUTOFMEMORY) SDK_TRACE_RETURN(kLabel, hr);
        if (FAILED(hr)) {
            // Not present: the caller's variable keeps its value.
            SDK_TRACE_EXIT(kLabel, static_cast<long>(S_OK));
            return S_OK;
        }
        hr = value.ChangeType(VT_I4);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        *pDeliveryRuleOptions = V_I4(&value.Get());
        SDK_TRACE_EXIT(kLabel, static_cast<long>(S_OK), static_cast<long>(*pDeliveryRuleOptions));
        return S_OK;
    } SDK_CATCH_RETURN()
    STDMETHOD(put_DeliveryEmptyDocument)(VARIANT_BOOL deliverEmptyDocument) override {
        return PutProcessingProperty(L"IPublicationInfo::put_DeliveryEmptyDocument",
                                     Pravhelper500::WP_SI_DELIVER_EMPTY_DOCUMENT_W,
                                     ExactBoolValue(deliverEmptyDocument), true,
                                     [=] { return SdkTrace::BoolText(deliverEmptyDocument); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_DeliveryEmptyDocument)(VARIANT_BOOL* pDeliverEmptyDocument) override {
        return GetProcessingBool(L"IPublicationInfo::get_DeliveryEmptyDocument",
                                 Pravhelper500::WP_SI_DELIVER_EMPTY_DOCUMENT_W,
                                 pDeliverEmptyDocument, "Invalid pointer pDeliverEmptyDocument",
                                 MissingProcessingValue::KeepOutput,
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE,    // OUT: no processing info (status)
                                  SDK_TRACE_SITE,    // OUT: no processing info
                                  SDK_TRACE_SITE,    // OUT: no name
                                  SDK_TRACE_SITE,    // OUT: not read
                                  SDK_TRACE_SITE,    // OUT: not read, kept
                                  SDK_TRACE_SITE,    // OUT: no conversion
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_DeliverySkipped)(VARIANT_BOOL deliverySkipped) override {
        return PutProcessingProperty(L"IPublicationInfo::put_DeliverySkipped",
                                     Pravhelper500::WP_SI_DELIVERY_SKIPPED_W,
                                     ExactBoolValue(deliverySkipped), true,
                                     [=] { return SdkTrace::BoolText(deliverySkipped); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_DeliverySkipped)(VARIANT_BOOL* pDeliverySkipped) override {
        return GetProcessingBool(L"IPublicationInfo::get_DeliverySkipped",
                                 Pravhelper500::WP_SI_DELIVERY_SKIPPED_W, pDeliverySkipped,
                                 "Invalid pointer pDeliverySkipped",
                                 MissingProcessingValue::KeepOutput,
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE,    // OUT: no processing info (status)
                                  SDK_TRACE_SITE,    // OUT: no processing info
                                  SDK_TRACE_SITE,    // OUT: no name
                                  SDK_TRACE_SITE,    // OUT: not read
                                  SDK_TRACE_SITE,    // OUT: not read, kept
                                  SDK_TRACE_SITE,    // OUT: no conversion
                                  SDK_TRACE_SITE});  // OUT
    }

    // ---------------------------------------------------------------------------------------------
    // 30-32: delivery rule results, one VT_BOOL entry per scope named by the scope ID in decimal.
    // Exit lines only when the results bag cannot be obtained.

    STDMETHOD(GetDeliveryRuleResults)(long lScopeID, VARIANT_BOOL* pValue) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::GetDeliveryRuleResults";
        SDK_CALL_GUARD();
        if (pValue == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer pValue", GUID_NULL);
        SDK_TRACE_ENTRY(kLabel, lScopeID, SdkTrace::BoolText(*pValue));
        Microsoft::WRL::ComPtr<ISProperties> results;
        HRESULT hr = GetDeliveryRuleResultsBag(kLabel, results,
        {SDK_TRACE_SITE,    // OUT: no host object
         SDK_TRACE_SITE,    // OUT: no bag
         SDK_TRACE_SITE});  // OUT: a null bag
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant key;
        hr = ScopeKey(lScopeID, key);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ISProperty> entry;
        hr = results->get_Item(key.Get(), &entry);
        if (FAILED(hr)) return hr;  // kPropertyNotFound when the scope has no entry
        if (!entry) return E_INVALIDARG;
        ComLib::ScopedVariant value;
        hr = entry->get_Value(value.Receive());
        if (FAILED(hr)) return hr;
        // Only a non-zero VT_BOOL reads as true; no other type is converted.
        *pValue = (value.Type() == VT_BOOL && V_BOOL(&value.Get()) != 0) ? VARIANT_TRUE
                                                                            : VARIANT_FALSE;
        return S_OK;
    } SDK_CATCH_RETURN()
    STDMETHOD(SetDeliveryRuleResults)(long lScopeID, VARIANT_BOOL Value) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::SetDeliveryRuleResults";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, lScopeID, SdkTrace::BoolText(Value));
        Microsoft::WRL::ComPtr<ISProperties> results;
        HRESULT hr = GetDeliveryRuleResultsBag(kLabel, results,
        {SDK_TRACE_SITE,    // OUT: no host object
         SDK_TRACE_SITE,    // OUT: no bag
         SDK_TRACE_SITE});  // OUT: a null bag
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant key;
        hr = ScopeKey(lScopeID, key);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ISProperty> entry;
        return results->Add(V_BSTR(&key.Get()), ExactBoolValue(Value), 0, &entry);
    } SDK_CATCH_RETURN()
    // The removal's own status is not used: S_OK whenever the bag was obtained.
    STDMETHOD(RemoveDeliveryRuleResults)(long lScopeID) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::RemoveDeliveryRuleResults";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, lScopeID);
        Microsoft::WRL::ComPtr<ISProperties> results;
        HRESULT hr = GetDeliveryRuleResultsBag(kLabel, results,
        {SDK_TRACE_SITE,    // OUT: no host object
         SDK_TRACE_SITE,    // OUT: no bag
         SDK_TRACE_SITE});  // OUT: a null bag
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant key;
        hr = ScopeKey(lScopeID, key);
        if (FAILED(hr)) return hr;
        results->Remove(key.Get());
        return S_OK;
    } SDK_CATCH_RETURN()

    // ---------------------------------------------------------------------------------------------
    // 33-38: saved data, and the host objects over nested bags (new on every call)

    STDMETHOD(put_PublicationKeepSavedData)(VARIANT_BOOL keepSavedData) override {
        return PutProcessingProperty(L"IPublicationInfo::put_PublicationKeepSavedData",
                                     Pravhelper500::WP_SI_PUBLICATION_KEEP_SAVED_DATA_W,
                                     ExactBoolValue(keepSavedData), true,
                                     [=] { return SdkTrace::BoolText(keepSavedData); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_PublicationKeepSavedData)(VARIANT_BOOL* pPublicationKeepSavedData) override {
        return GetProcessingBool(L"IPublicationInfo::get_PublicationKeepSavedData",
                                 Pravhelper500::WP_SI_PUBLICATION_KEEP_SAVED_DATA_W,
                                 pPublicationKeepSavedData,
                                 "Invalid pointer pPublicationKeepSavedData",
                                 MissingProcessingValue::KeepOutput,
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE,    // OUT: no processing info (status)
                                  SDK_TRACE_SITE,    // OUT: no processing info
                                  SDK_TRACE_SITE,    // OUT: no name
                                  SDK_TRACE_SITE,    // OUT: not read
                                  SDK_TRACE_SITE,    // OUT: not read, kept
                                  SDK_TRACE_SITE,    // OUT: no conversion
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_FormatInfos)(ISFormatInfos** ppFormatInfos) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::get_FormatInfos";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::PointerText(ppFormatInfos));
        if (!this->m_pInfoObject) return NoHostObject(kLabel);
        if (ppFormatInfos == nullptr)
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer ppFormatInfos", GUID_NULL);
        Microsoft::WRL::ComPtr<ISProperties> bag;
        HRESULT hr = GetProcessingBag(Pravhelper500::WP_SI_FORMAT_INFOS_W, bag);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        if (!bag) {
            SDK_TRACE_EXIT(kLabel, 0x80042A30u);
            return kBagNotFound;
        }
        Microsoft::WRL::ComPtr<ISFormatInfos> formatInfos;
        hr = CoCreateInstance(CLSID_FormatInfos, nullptr, kHostObjectContext, IID_ISFormatInfos,
                              reinterpret_cast<void**>(formatInfos.GetAddressOf()));
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        CheckObjectLocale();
        hr = formatInfos->Initialize(bag.Get(), this->m_pInfoObject.Get(),
                                     static_cast<long>(this->m_ObjectLocale));
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        *ppFormatInfos = formatInfos.Detach();
        SDK_TRACE_RETURN(kLabel, S_OK);
    } SDK_CATCH_RETURN()
    STDMETHOD(get_ScopeBatchScopes)(ISScopeBatchScopes** ppScopes) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::get_ScopeBatchScopes";
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(kLabel, SdkTrace::PointerText(ppScopes));
        if (!this->m_pInfoObject) return NoHostObject(kLabel);
        if (ppScopes == nullptr) SDK_RETURN_NULL_ARGUMENT("Invalid pointer ppScopes", GUID_NULL);
        Microsoft::WRL::ComPtr<ISProperties> bag;
        HRESULT hr = GetProcessingBag(Pravhelper500::WP_SI_SCOPEBATCH_SCOPES_W, bag);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        if (!bag) {
            SDK_TRACE_EXIT(kLabel, 0x80042A30u);
            return kBagNotFound;
        }
        Microsoft::WRL::ComPtr<ISScopeBatchScopes> scopes;
        hr = CoCreateInstance(CLSID_ScopeBatchScopes, nullptr, kHostObjectContext,
                              IID_ISScopeBatchScopes,
                              reinterpret_cast<void**>(scopes.GetAddressOf()));
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        CheckObjectLocale();
        hr = scopes->Initialize(bag.Get(), static_cast<long>(this->m_ObjectLocale));
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        *ppScopes = scopes.Detach();
        SDK_TRACE_RETURN(kLabel, S_OK);
    } SDK_CATCH_RETURN()
    STDMETHOD(get_DynamicRecipientProfileValueMappings)(
        ISProfileValueMappings** ppProfileValueMappings) override {
        return GetMappings(L"IPublicationInfo::get_DynamicRecipientProfileValueMappings",
                           Pravhelper500::WP_SI_DYNAMIC_RECIPIENTS_PROFILE_VALUE_MAPPINGS_W,
                           CLSID_ProfileValueMappings, ppProfileValueMappings,
                           "Invalid pointer ppProfileValueMappings",
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no name
                            SDK_TRACE_SITE,    // OUT: no holder
                            SDK_TRACE_SITE,    // OUT: not a bag
                            SDK_TRACE_SITE,    // OUT: no inner bag
                            SDK_TRACE_SITE,    // OUT: not created
                            SDK_TRACE_SITE,    // OUT: not initialised
                            SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_PublicationDocumentVariableMappings)(
        ISDocumentVariableMappings** ppDocVariableMappings) override {
        return GetMappings(L"IPublicationInfo::get_PublicationDocumentVariableMappings",
                           Pravhelper500::WP_SI_PUBLICATION_DOCUMENTPROFILE_TARGETS_W,
                           CLSID_DocumentVariableMappings, ppDocVariableMappings,
                           "Invalid pointer ppDocVariableMappings",
                           {SDK_TRACE_SITE,    // IN
                            SDK_TRACE_SITE,    // OUT: no host object
                            SDK_TRACE_SITE,    // OUT: no name
                            SDK_TRACE_SITE,    // OUT: no holder
                            SDK_TRACE_SITE,    // OUT: not a bag
                            SDK_TRACE_SITE,    // OUT: no inner bag
                            SDK_TRACE_SITE,    // OUT: not created
                            SDK_TRACE_SITE,    // OUT: not initialised
                            SDK_TRACE_SITE});  // OUT
    }

    // ---------------------------------------------------------------------------------------------
    // 39-46: alert, null profile values, dynamic recipients, format

    STDMETHOD(put_DeliverIfAlertIsTrue)(VARIANT_BOOL deliverIfAlertTrue) override {
        return PutProcessingProperty(L"IPublicationInfo::put_DeliverIfAlertIsTrue",
                                     Pravhelper500::WP_SI_DELIVER_IF_ALERT_IS_TRUE_W,
                                     NonZeroBoolValue(deliverIfAlertTrue), true,
                                     [=] { return static_cast<int>(deliverIfAlertTrue); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_DeliverIfAlertIsTrue)(VARIANT_BOOL* pDeliverIfAlertTrue) override {
        return GetProcessingBool(L"IPublicationInfo::get_DeliverIfAlertIsTrue",
                                 Pravhelper500::WP_SI_DELIVER_IF_ALERT_IS_TRUE_W,
                                 pDeliverIfAlertTrue, "Invalid pointer pDeliverIfAlertTrue",
                                 MissingProcessingValue::ReturnStatus,
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE,    // OUT: no processing info (status)
                                  SDK_TRACE_SITE,    // OUT: no processing info
                                  SDK_TRACE_SITE,    // OUT: no name
                                  SDK_TRACE_SITE,    // OUT: not read
                                  SDK_TRACE_SITE,    // OUT: not read, kept
                                  SDK_TRACE_SITE,    // OUT: no conversion
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_ShowAllDataForNullProfileValues)(VARIANT_BOOL showAllDataForNullValues) override {
        return PutObjectProperty(
            L"IPublicationInfo::put_ShowAllDataForNullProfileValues",
            PropertyName(Pravhelper500::WP_SI_SHOW_ALL_DATA_FOR_NULL_PROFILE_VALUES_W),
            NonZeroBoolValue(showAllDataForNullValues),
            [=] { return static_cast<int>(showAllDataForNullValues); },
            {SDK_TRACE_SITE,    // IN
             SDK_TRACE_SITE,    // OUT: no host object
             SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(get_ShowAllDataForNullProfileValues)(
        VARIANT_BOOL* pShowAllDataForNullValues) override {
        return GetObjectBool(
            L"IPublicationInfo::get_ShowAllDataForNullProfileValues",
            PropertyName(Pravhelper500::WP_SI_SHOW_ALL_DATA_FOR_NULL_PROFILE_VALUES_W),
            pShowAllDataForNullValues, "Invalid pointer pShowAllDataForNullValues",
            {SDK_TRACE_SITE,    // IN
             SDK_TRACE_SITE,    // OUT: no host object
             SDK_TRACE_SITE,    // OUT: no name
             SDK_TRACE_SITE,    // OUT: not present
             SDK_TRACE_SITE,    // OUT: no conversion
             SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_IsDynamicRecipeintsScopeBatch)(VARIANT_BOOL newVal) override {
        return PutProcessingProperty(L"IPublicationInfo::put_IsDynamicRecipeintsScopeBatch",
                                     Pravhelper500::WP_SI_IS_DYNAMICRECIPIENTS_SCOPES_W,
                                     ExactBoolValue(newVal), false,
                                     [=] { return static_cast<int>(newVal); },
                                     {SDK_TRACE_SITE,    // IN
                                      SDK_TRACE_SITE,    // OUT
                                      SDK_TRACE_SITE});  // OUT: the status alone
    }
    STDMETHOD(get_IsDynamicRecipeintsScopeBatch)(VARIANT_BOOL* pVal) override {
        return GetProcessingBool(L"IPublicationInfo::get_IsDynamicRecipeintsScopeBatch",
                                 Pravhelper500::WP_SI_IS_DYNAMICRECIPIENTS_SCOPES_W, pVal,
                                 "Invalid pointer pVal", MissingProcessingValue::StatusOnly,
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE,    // OUT: no processing info (status)
                                  SDK_TRACE_SITE,    // OUT: no processing info
                                  SDK_TRACE_SITE,    // OUT: no name
                                  SDK_TRACE_SITE,    // OUT: not read
                                  SDK_TRACE_SITE,    // OUT: not read, kept
                                  SDK_TRACE_SITE,    // OUT: no conversion
                                  SDK_TRACE_SITE});  // OUT
    }
    STDMETHOD(put_Format)(BSTR bstrFormat) override {
        return PutObjectProperty(L"IPublicationInfo::put_Format",
                                 PropertyName(Pravhelper500::WP_SI_FORMAT_W), BstrValue(bstrFormat),
                                 [=] { return SdkTrace::BstrText(bstrFormat); },
                                 {SDK_TRACE_SITE,    // IN
                                  SDK_TRACE_SITE,    // OUT: no host object
                                  SDK_TRACE_SITE});  // OUT
    }
    // The output check comes before the entry line; an exit line on every other path.
    STDMETHOD(get_Format)(BSTR* pBstrFormat) override try {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::get_Format";
        SDK_CALL_GUARD();
        if (pBstrFormat == nullptr)
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer pBstrFormat", GUID_NULL);
        // The output is the caller's to fill, not to read: its text is empty until it is filled.
        SDK_TRACE_ENTRY(kLabel, SdkTrace::SWCharString());
        if (!this->m_pInfoObject) return NoHostObject(kLabel);
        ComLib::ScopedBstr name;
        HRESULT hr = PropertyName(Pravhelper500::WP_SI_FORMAT_W).ToBstr(name);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::SWCharString());
        ComLib::ScopedVariant value;
        hr = this->m_pInfoObject->get_Property(name.Get(), value.Receive());
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::SWCharString());
        hr = value.ChangeType(VT_BSTR);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr, SdkTrace::SWCharString());
        *pBstrFormat = V_BSTR(value.Ptr());  // the caller owns the string
        V_VT(value.Ptr()) = VT_EMPTY;
        SDK_TRACE_RETURN(kLabel, S_OK, SdkTrace::BstrText(*pBstrFormat));
    } SDK_CATCH_RETURN()

private:
    // ---------------------------------------------------------------------------------------------
    // Names and values

    // A property name as the object-helper library exports it: a wide constant, or one of the two
    // narrow constants, converted with the calling thread's ANSI code page.
    class PropertyName {
    public:
        explicit PropertyName(const wchar_t* wide) noexcept : m_wide(wide) {}
        explicit PropertyName(const char* narrow) noexcept : m_narrow(narrow), m_isNarrow(true) {}

        // The name as a new BSTR; a null constant gives a null name. E_OUTOFMEMORY when the
        // string cannot be made.
        HRESULT ToBstr(ComLib::ScopedBstr& name) const noexcept {
            if (!m_isNarrow) {
                if (m_wide == nullptr) return S_OK;
                name.Reset(SysAllocString(m_wide));
                return name.Get() ? S_OK : E_OUTOFMEMORY;
            }
            if (m_narrow == nullptr) return S_OK;
            // The required length (terminator included), a string of that length less one, and
            // the conversion into it; any other length than the one asked counts as a failed
            // allocation.
            const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, m_narrow, -1, nullptr, 0);
            if (length <= 0) return E_OUTOFMEMORY;
            ComLib::ScopedBstr text;
            text.Reset(SysAllocStringLen(nullptr, static_cast<UINT>(length - 1)));
            if (!text.Get()) return E_OUTOFMEMORY;
            if (MultiByteToWideChar(CP_THREAD_ACP, 0, m_narrow, -1, text.Get(), length) != length)
                return E_OUTOFMEMORY;
            name = std::move(text);
            return S_OK;
        }

    private:
        const wchar_t* m_wide = nullptr;
        const char* m_narrow = nullptr;
        bool m_isNarrow = false;
    };

    // Values handed to the host as [in] arguments (the host copies them; nothing to free).
    static VARIANT I4Value(long value) noexcept {
        VARIANT v;
        V_VT(&v) = VT_I4;
        V_I4(&v) = value;
        return v;
    }
    // Boolean, non-zero form: any non-zero argument is stored as VARIANT_TRUE.
    static VARIANT NonZeroBoolValue(VARIANT_BOOL value) noexcept {
        VARIANT v;
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
    // Boolean, exact form: only VARIANT_TRUE is stored as true; 1 and every other value as false.
    static VARIANT ExactBoolValue(VARIANT_BOOL value) noexcept {
        VARIANT v;
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = value == VARIANT_TRUE ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
    // The caller's string, lent (a null BSTR is stored as VT_BSTR with a null pointer).
    static VARIANT BstrValue(BSTR value) noexcept {
        VARIANT v;
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = value;
        return v;
    }

    // The name of a scope's delivery result: the scope ID in decimal, as VT_BSTR.
    static HRESULT ScopeKey(long scopeID, ComLib::ScopedVariant& key) noexcept {
        key.SetI4(scopeID);
        return key.ChangeType(VT_BSTR);
    }

    // Class context of the host objects of members 35 to 38: in-process server and handler,
    // local and remote server.
    static constexpr DWORD kHostObjectContext =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

    // ---------------------------------------------------------------------------------------------
    // Shared steps

    // The object has no host object yet: the assertion, the exit line and E_FAIL.
    HRESULT NoHostObject(const wchar_t* label,
                         int line = static_cast<int>(std::source_location::current().line())) {
        SDK_ASSERT(this->m_pInfoObject);
        SDK_TRACE_EXIT_AT(line, label, static_cast<long>(E_FAIL));
        return E_FAIL;
    }

    // Before a collection or host object is made with the object's locale: a missing locale is
    // reported exactly as the per-call guard reports it (by the guard itself, opened and closed
    // at once), and the call goes on with locale 0.
    void CheckObjectLocale() {
        if (this->m_ObjectLocale == 0 && Zentil500::ShouldAssert()) {
            const SComCallGuard report(static_cast<const SComObjectBase&>(*this));
        }
    }

    // The host object's processing info. A host that succeeds without handing one out gives
    // E_INVALIDARG, and `traced` (the status for the exit line) E_NOINTERFACE.
    HRESULT GetProcessingInfo(Microsoft::WRL::ComPtr<ISProcessingInfo>& info, HRESULT& traced) {
        HRESULT hr = this->m_pInfoObject->get_ProcessingInfo(&info);
        traced = hr;
        if (SUCCEEDED(hr) && !info) {
            traced = E_NOINTERFACE;
            hr = E_INVALIDARG;
        }
        return hr;
    }

    // Reads processing property `name` into `value` (VT_EMPTY before). The host's status, or
    // E_OUTOFMEMORY when the name cannot be made.
    static HRESULT ReadProcessingProperty(ISProcessingInfo* info, const wchar_t* name,
                                          ComLib::ScopedVariant& value) {
        ComLib::ScopedBstr nameText;
        const HRESULT hr = PropertyName(name).ToBstr(nameText);
        if (FAILED(hr)) return hr;
        return info->get_Property(nameText.Get(), value.Receive());
    }

    // Object-property setter: guard, entry line, put_Property, exit line with the put's status.
    // `traced` makes the traced value (called only when a line is written).
    template <typename Traced>
    HRESULT PutObjectProperty(const wchar_t* label, const PropertyName& name, const VARIANT& value,
                              Traced traced,
        const SdkTrace::TraceSites<3>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, traced());
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            SDK_TRACE_EXIT_AT(sites[1], label, static_cast<long>(E_FAIL), traced());
            return E_FAIL;
        }
        ComLib::ScopedBstr nameText;
        HRESULT hr = name.ToBstr(nameText);
        if (SUCCEEDED(hr)) hr = this->m_pInfoObject->put_Property(nameText.Get(), value);
        SDK_TRACE_EXIT_AT(sites[2], label, static_cast<long>(hr), traced());
        return hr;
    } SDK_CATCH_RETURN()

    // Processing-property setter. `valueOnFailure`: whether failed exits carry the traced value.
    template <typename Traced>
    HRESULT PutProcessingProperty(const wchar_t* label, const wchar_t* name, const VARIANT& value,
                                  bool valueOnFailure, Traced traced,
        const SdkTrace::TraceSites<3>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, traced());
        HRESULT hr = E_FAIL;
        HRESULT tracedStatus = E_FAIL;
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
        } else {
            Microsoft::WRL::ComPtr<ISProcessingInfo> info;
            hr = GetProcessingInfo(info, tracedStatus);
            if (SUCCEEDED(hr)) {
                ComLib::ScopedBstr nameText;
                hr = PropertyName(name).ToBstr(nameText);
                if (SUCCEEDED(hr)) hr = info->put_Property(nameText.Get(), value);
                tracedStatus = hr;
            }
        }
        if (SUCCEEDED(hr) || valueOnFailure)
            SDK_TRACE_EXIT_AT(sites[1], label, static_cast<long>(tracedStatus), traced());
        else
            SDK_TRACE_EXIT_AT(sites[2], label, static_cast<long>(tracedStatus));
        return hr;
    } SDK_CATCH_RETURN()

    // Object-property getter of a 32-bit integer (members 6, 8, 21). Not present: S_OK, the
    // output unchanged. A stored value that does not convert is never handed out: the
    // conversion's status is returned and the output is unchanged.
    HRESULT GetObjectLong(const wchar_t* label, const PropertyName& name, long* out,
                          const char* nullMessage,
        const SdkTrace::TraceSites<6>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, SdkTrace::PointerText(out));
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        ComLib::ScopedBstr nameText;
        HRESULT hr = name.ToBstr(nameText);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
        ComLib::ScopedVariant value;
        if (FAILED(this->m_pInfoObject->get_Property(nameText.Get(), value.Receive()))) {
            SDK_TRACE_EXIT_AT(sites[3], label, static_cast<long>(S_OK));
            return S_OK;
        }
        hr = value.ChangeType(VT_I4);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[4], label, hr);
        *out = V_I4(&value.Get());
        SDK_TRACE_EXIT_AT(sites[5], label, static_cast<long>(S_OK), static_cast<long>(*out));
        return S_OK;
    } SDK_CATCH_RETURN()

    // Object-property getter of a boolean (members 2, 4, 10, 42): any stored type that converts
    // to a non-zero VT_BOOL reads as VARIANT_TRUE. Not present: S_OK, the output unchanged.
    HRESULT GetObjectBool(const wchar_t* label, const PropertyName& name, VARIANT_BOOL* out,
                          const char* nullMessage,
        const SdkTrace::TraceSites<6>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, SdkTrace::BoolText(out));
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        ComLib::ScopedBstr nameText;
        HRESULT hr = name.ToBstr(nameText);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
        ComLib::ScopedVariant value;
        if (FAILED(this->m_pInfoObject->get_Property(nameText.Get(), value.Receive()))) {
            SDK_TRACE_EXIT_AT(sites[3], label, static_cast<long>(S_OK));
            return S_OK;
        }
        hr = value.ChangeType(VT_BOOL);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[4], label, hr);
        *out = V_BOOL(&value.Get()) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        SDK_TRACE_EXIT_AT(sites[5], label, static_cast<long>(S_OK), SdkTrace::BoolText(*out));
        return S_OK;
    } SDK_CATCH_RETURN()

    // What a processing-property boolean getter does when the property cannot be read.
    enum class MissingProcessingValue {
        // S_OK, the output unchanged; the exit lines carry the output's text, and the read's
        // failure is traced as 0x80042A53 (members 27, 29, 34).
        KeepOutput,
        // The read's status; the output's text only on the processing-info exit (member 40).
        ReturnStatus,
        // The read's status; every failed exit carries the status alone (member 44).
        StatusOnly,
    };

    HRESULT GetProcessingBool(const wchar_t* label, const wchar_t* name, VARIANT_BOOL* out,
                              const char* nullMessage, MissingProcessingValue missing,
        const SdkTrace::TraceSites<9>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, SdkTrace::BoolText(out));
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        HRESULT traced = S_OK;
        HRESULT hr = GetProcessingInfo(info, traced);
        if (FAILED(hr)) {
            if (missing == MissingProcessingValue::StatusOnly)
                SDK_TRACE_EXIT_AT(sites[2], label, static_cast<long>(traced));
            else
                SDK_TRACE_EXIT_AT(sites[3], label, static_cast<long>(traced), SdkTrace::BoolText(*out));
            return hr;
        }
        ComLib::ScopedVariant value;
        hr = ReadProcessingProperty(info.Get(), name, value);
        if (hr == E_OUTOFMEMORY) SDK_TRACE_RETURN_AT(sites[4], label, hr);
        if (FAILED(hr)) {
            if (missing != MissingProcessingValue::KeepOutput) SDK_TRACE_RETURN_AT(sites[5], label, hr);
            SDK_TRACE_EXIT_AT(sites[6], label, 0x80042A53u, SdkTrace::BoolText(*out));
            return S_OK;
        }
        hr = value.ChangeType(VT_BOOL);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[7], label, hr);
        *out = V_BOOL(&value.Get()) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        SDK_TRACE_EXIT_AT(sites[8], label, static_cast<long>(S_OK), SdkTrace::BoolText(*out));
        return S_OK;
    } SDK_CATCH_RETURN()

    // ---------------------------------------------------------------------------------------------
    // Bags

    // Finds or creates the bag-valued property `name` in the processing info's bag and hands out
    // its nested bag. No guard, no entry line; one exit line on each failure path.
    HRESULT GetProcessingBag(const wchar_t* name, Microsoft::WRL::ComPtr<ISProperties>& nested) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::GetProcessingBag";
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        HRESULT traced = S_OK;
        HRESULT hr = GetProcessingInfo(info, traced);
        if (FAILED(hr)) {
            SDK_TRACE_EXIT(kLabel, static_cast<long>(traced));
            return hr;
        }
        Microsoft::WRL::ComPtr<ISProperties> bag;
        hr = info->get_Properties(&bag);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        if (!bag) {
            SDK_TRACE_EXIT(kLabel, 0x80042A30u);
            return E_INVALIDARG;
        }
        Microsoft::WRL::ComPtr<ISProperty> property;
        hr = FindOrAddBagProperty(bag.Get(), name, property);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        if (!property) {
            SDK_TRACE_EXIT(kLabel, 0x80042A30u);
            return E_INVALIDARG;
        }
        hr = property->get_Properties(&nested);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        return hr;
    }

    // The bag-valued property `name` of `bag`, created (empty text, flags 0x08000000) when the
    // bag answers that it is not present. Item's or Add's failure is returned.
    static HRESULT FindOrAddBagProperty(ISProperties* bag, const wchar_t* name,
                                        Microsoft::WRL::ComPtr<ISProperty>& property) {
        ComLib::ScopedVariant nameValue;
        HRESULT hr = nameValue.SetBstr(name);
        if (FAILED(hr)) return hr;
        hr = bag->get_Item(nameValue.Get(), &property);
        if (hr != kPropertyNotFound) return hr;
        ComLib::ScopedBstr nameText;
        hr = PropertyName(name).ToBstr(nameText);
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant empty;
        hr = empty.SetBstr(L"");
        if (FAILED(hr)) return hr;
        property.Reset();
        return bag->Add(nameText.Get(), empty.Get(), kCreatedBagFlags, &property);
    }

    // The nested bag of the bag-valued property `name` inside `bag`, created when missing. The
    // reference `bag` is taken over. No guard; exit lines on failure paths only. A nested bag
    // that cannot be obtained gives 0x80042A30.
    HRESULT GetPropertyBagFromProperties(const wchar_t* name,
                                         Microsoft::WRL::ComPtr<ISProperties> bag,
                                         Microsoft::WRL::ComPtr<ISProperties>& inner) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::GetPropertyBagFromProperties";
        Microsoft::WRL::ComPtr<ISProperty> property;
        HRESULT hr = FindOrAddBagProperty(bag.Get(), name, property);
        if (FAILED(hr)) SDK_TRACE_RETURN(kLabel, hr);
        if (!property) SDK_TRACE_RETURN(kLabel, E_INVALIDARG);
        if (FAILED(property->get_Properties(&inner))) {
            SDK_TRACE_EXIT(kLabel, 0x80042A30u);
            return kBagNotFound;
        }
        return S_OK;
    }

    // The results bag of members 30 to 32, with their exit line (status alone) when it cannot be
    // obtained.
    HRESULT GetDeliveryRuleResultsBag(const wchar_t* label,
                                      Microsoft::WRL::ComPtr<ISProperties>& results,
        const SdkTrace::TraceSites<3>& sites) {
        if (!this->m_pInfoObject) return NoHostObject(label, sites[0]);
        const HRESULT hr = GetProcessingBag(Pravhelper500::WP_SI_DELIVERY_RULE_RESULTS_W, results);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[1], label, hr);
        if (!results) {
            SDK_TRACE_EXIT_AT(sites[2], label, 0x80042A30u);
            return E_INVALIDARG;
        }
        return S_OK;
    }

    // Members 37 and 38: a mappings host object over the bag SI_VARIABLE_MAPPINGS inside the bag
    // held by object property `holder`.
    template <typename Mappings>
    HRESULT GetMappings(const wchar_t* label, const wchar_t* holder, REFCLSID clsid,
                        Mappings** out, const char* nullMessage,
        const SdkTrace::TraceSites<9>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, SdkTrace::PointerText(out));
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        ComLib::ScopedBstr nameText;
        HRESULT hr = PropertyName(holder).ToBstr(nameText);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
        ComLib::ScopedVariant value;
        hr = this->m_pInfoObject->get_Property(nameText.Get(), value.Receive());
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[3], label, hr);
        // The value must be an object that is a property bag.
        IUnknown* object = nullptr;
        if (value.Type() == VT_DISPATCH)
            object = V_DISPATCH(&value.Get());
        else if (value.Type() == VT_UNKNOWN)
            object = V_UNKNOWN(&value.Get());
        Microsoft::WRL::ComPtr<ISProperties> bag;
        if (object == nullptr ||
            FAILED(object->QueryInterface(IID_ISProperties,
                                          reinterpret_cast<void**>(bag.GetAddressOf()))) ||
            !bag) {
            SDK_TRACE_EXIT_AT(sites[4], label, 0x80042A30u);
            return kBagNotFound;
        }
        Microsoft::WRL::ComPtr<ISProperties> inner;
        if (FAILED(GetPropertyBagFromProperties(Pravhelper500::WP_SI_VARIABLE_MAPPINGS_W,
                                                std::move(bag), inner)) ||
            !inner) {
            SDK_TRACE_EXIT_AT(sites[5], label, 0x80042A30u);
            return kBagNotFound;
        }
        Microsoft::WRL::ComPtr<Mappings> mappings;
        hr = CoCreateInstance(clsid, nullptr, kHostObjectContext, __uuidof(Mappings),
                              reinterpret_cast<void**>(mappings.GetAddressOf()));
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[6], label, hr);
        CheckObjectLocale();
        hr = mappings->Initialize(inner.Get(), static_cast<long>(this->m_ObjectLocale));
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[7], label, hr);
        *out = mappings.Detach();
        SDK_TRACE_RETURN_AT(sites[8], label, S_OK);
    } SDK_CATCH_RETURN()

    // ---------------------------------------------------------------------------------------------
    // ID lists

    // A collection getter (members 11, 14, 17): the cached collection of list property `property`,
    // made on the first successful call. The fill and the hand-out run under the object's lock, so
    // racing first calls share one collection.
    HRESULT GetRelativeIDs(const wchar_t* label, const wchar_t* property,
                           Microsoft::WRL::ComPtr<ISObjectRelativeIDs>& cache,
                           ISObjectRelativeIDs** out, const char* nullMessage,
        const SdkTrace::TraceSites<4>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label);
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        HRESULT hr = S_OK;
        {
            ComLib::CComObjectLock<ComLib::CComObjectRootEx> lock(this);
            if (!cache) {
                Zentil500::SWCharString addName(Pravhelper500::WP_SI_ADM_ADD__W);
                addName += property;
                Zentil500::SWCharString delName(Pravhelper500::WP_SI_ADM_DEL__W);
                delName += property;
                CheckObjectLocale();
                Microsoft::WRL::ComPtr<ISObjectRelativeIDs> created;
                hr = CreateRelativeIDs(property, this->m_pInfoObject.Get(), this->m_ObjectLocale,
                                       addName.c_str(), delName.c_str(), &created);
                if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
                cache = created;
            }
            *out = cache.Get();
            (*out)->AddRef();
        }
        SDK_TRACE_EXIT_AT(sites[3], label, static_cast<long>(hr),
                       SdkTrace::CollectionText<CComCategoryRelativeIDs>(out));
        return hr;
    } SDK_CATCH_RETURN()

    using RelativeIDsGetter =
        HRESULT (STDMETHODCALLTYPE IPublicationInfo::*)(ISObjectRelativeIDs**);

    // Single-ID getter (members 13, 16, 19): element 1 of the list, through the list's own getter
    // so that the cache is used.
    HRESULT GetSingleID(const wchar_t* label, RelativeIDsGetter getList, long* out,
                        const char* nullMessage,
        const SdkTrace::TraceSites<6>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, SdkTrace::PointerText(out));
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        if (out == nullptr) SDK_RETURN_NULL_ARGUMENT(nullMessage, GUID_NULL);
        Microsoft::WRL::ComPtr<ISObjectRelativeIDs> list;
        HRESULT hr = (this->*getList)(&list);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
        long count = 0;
        hr = list->get_Count(&count);  // the count itself is not used
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[3], label, hr);
        ComLib::ScopedVariant first;
        first.SetI4(1);  // the collection counts from 1
        long id = 0;
        hr = list->get_Item(first.Get(), &id);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[4], label, hr);
        *out = id;
        SDK_TRACE_EXIT_AT(sites[5], label, static_cast<long>(S_OK), static_cast<long>(id));
        return S_OK;
    } SDK_CATCH_RETURN()

    // Single-ID setter (members 12, 15, 18): the list becomes exactly the one ID (Clear, then
    // Add, both journalled by the collection, as one step).
    HRESULT PutSingleID(const wchar_t* label, RelativeIDsGetter getList, long id,
        const SdkTrace::TraceSites<5>& sites) try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label, id);
        if (!this->m_pInfoObject) return NoHostObject(label, sites[1]);
        Microsoft::WRL::ComPtr<ISObjectRelativeIDs> list;
        HRESULT hr = (this->*getList)(&list);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[2], label, hr);
        // The cache holds only collections made by CreateRelativeIDs. Clear and Add run under one
        // hold of the collection's lock: no reader sees anything but the old ID or the new one.
        hr = static_cast<CComCategoryRelativeIDs*>(list.Get())->ReplaceAll(id);
        if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[3], label, hr);
        SDK_TRACE_EXIT_AT(sites[4], label, static_cast<long>(hr), id);
        return hr;
    } SDK_CATCH_RETURN()

    // The three cached collections, released in reverse order when the object goes.
    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_pScopeBatchObjects;
    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_pScopeBatchDocObjects;
    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_pSourceDocObjects;

    // What follows the inclusion in the class body stays public.
public:
