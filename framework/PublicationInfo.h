// IPublicationInfo: typed access to the publication properties of the object, and the first link
// of the initialisation, commit-preparation and after-commit chains.
#pragma once

#include <windows.h>

#include <source_location>

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
    // in the order scope batch, source document, scope-batch document. Every list is prepared
    // whatever the others give, and the first failure is returned; a failure takes back what
    // every list wrote, so that the object is left as it was. The flag is passed on and traced;
    // this layer's own work does not depend on it.
    HRESULT PrepareForCommit(VARIANT_BOOL flag) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::PrepareForCommit";
        SDK_TRACE_ENTRY(kLabel, SdkTrace::BoolText(flag));
        HostUndo undo(kTraceFile, "IPublicationInfo::PrepareForCommit");
        HRESULT hr = Base::PrepareForCommit(flag, undo);
        hr = ForEachList(hr, undo, PrepareRelativesForCommit);
        if (FAILED(hr))
            undo.Undo();
        else
            undo.Commit();
        SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
    }

    // After the host stored the object: the category layer first, then the journals of the
    // publication lists are emptied, in the same order and as PrepareForCommit goes through them.
    // The collection caches are not touched.
    HRESULT AfterCommit(VARIANT_BOOL flag) {
        static constexpr wchar_t kLabel[] = L"IPublicationInfo::AfterCommit";
        SDK_TRACE_ENTRY(kLabel, SdkTrace::BoolText(flag));
        HostUndo undo(kTraceFile, "IPublicationInfo::AfterCommit");
        HRESULT hr = Base::AfterCommit(flag, undo);
        hr = ForEachList(hr, undo, ResetRelativesAfterCommit);
        if (FAILED(hr))
            undo.Undo();
        else
            undo.Commit();
        SDK_TRACE_RETURN(kLabel, hr, SdkTrace::BoolText(flag));
    }

private:
    using CommitOperation = HRESULT (*)(const wchar_t*, ISInfoObject*, const wchar_t*,
                                        const wchar_t*, const wchar_t*, HostUndo*);

    // A commit operation on each publication list P, with the journals "SI_ADM_ADD_" + P and
    // "SI_ADM_DEL_" + P and the default update journal. `first` is the status so far; the first
    // failure is returned.
    HRESULT ForEachList(HRESULT first, HostUndo& undo, CommitOperation operation) noexcept {
        for (const wchar_t* property :
             {Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCH_W, Pravhelper500::WP_SI_ARTIFACTS_SOURCEDOC_W,
              Pravhelper500::WP_SI_ARTIFACTS_SCOPEBATCHDOC_W}) {
            HRESULT hr = E_OUTOFMEMORY;  // the journal names could not be made
            try {
                Zentil500::SWCharString addName(Pravhelper500::WP_SI_ADM_ADD__W);
                addName += property;
                Zentil500::SWCharString delName(Pravhelper500::WP_SI_ADM_DEL__W);
                delName += property;
                hr = operation(property, this->m_pInfoObject.Get(), addName.c_str(),
                               delName.c_str(), L"", &undo);
            } catch (...) {
            }
            if (SUCCEEDED(first)) first = hr;
        }
        return first;
    }

public:

    // The 46 publication members, also members 97 to 142 of the flattened interface.
#include "PublicationInfoMembers.inl"
};
