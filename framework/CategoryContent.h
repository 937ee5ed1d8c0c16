// ICategoryContent: the corporate and personal category collections of the object, and its link
// in the initialisation, commit-preparation and after-commit chains.
//
// Both lists journal into the same two properties, "SI_ADM_ADD_" and "SI_ADM_DEL_" followed by
// SI_CATEGORIES; the update journal keeps its default name per list.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "ScheduableContainer.h"
#include "objrelativesimpl.h"

inline constexpr char kCategoryContentFile[] = "export/iface/sdk/common/CategoryContent";

template <typename TPlugin, const IID* piidPlugin, const GUID* plibidPlugin>
class ICategoryContent : public ISScheduableContainer<TPlugin, piidPlugin, plibidPlugin>,
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

    // The category journals before the host stores the object: the corporate list, then the
    // personal list, whatever the first gives; the first failure is returned. The writes are
    // recorded in undo, which the caller takes back when the commit step fails as a whole. The
    // flag is only traced.
    HRESULT PrepareForCommit(VARIANT_BOOL flag, HostUndo& undo) {
        SDK_TRACE_ENTRY(L"ICategoryContent::PrepareForCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = ForBothLists(PrepareRelativesForCommit, undo);
        SDK_TRACE_EXIT(L"ICategoryContent::PrepareForCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    // The category journals emptied after the host stored the object, as PrepareForCommit goes
    // through the lists; the cached collections stay as they are.
    HRESULT AfterCommit(VARIANT_BOOL flag, HostUndo& undo) {
        SDK_TRACE_ENTRY(L"ICategoryContent::AfterCommit", SdkTrace::BoolText(flag));
        const HRESULT hr = ForBothLists(ResetRelativesAfterCommit, undo);
        SDK_TRACE_EXIT(L"ICategoryContent::AfterCommit", static_cast<long>(hr),
                       SdkTrace::BoolText(flag));
        return hr;
    }

    // The collection over SI_CORPORATE_CATEGORIES, made by the first successful call and handed
    // out again (a new reference each time) for the life of the object.
    STDMETHOD(get_CorporateCategories)(ISObjectRelativeIDs** ppCategories) override {
        return GetCategories(L"ICategoryContent::get_CorporateCategories",
                             Pravhelper500::WP_SI_CORPORATE_CATEGORIES_W, m_pCorporateCategories,
                             ppCategories,
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: the collection cannot be made
                              SDK_TRACE_SITE});  // OUT
    }
    // The same over SI_PERSONAL_CATEGORIES.
    STDMETHOD(get_PersonalCategories)(ISObjectRelativeIDs** ppCategories) override {
        return GetCategories(L"ICategoryContent::get_PersonalCategories",
                             Pravhelper500::WP_SI_PERSONAL_CATEGORIES_W, m_pPersonalCategories,
                             ppCategories,
                             {SDK_TRACE_SITE,    // IN
                              SDK_TRACE_SITE,    // OUT: the collection cannot be made
                              SDK_TRACE_SITE});  // OUT
    }

private:
    // The shared journal names of both category lists.
    struct CategoryJournals {
        Zentil500::SWCharString add{Pravhelper500::WP_SI_ADM_ADD__W};
        Zentil500::SWCharString del{Pravhelper500::WP_SI_ADM_DEL__W};
        CategoryJournals() {
            add += Pravhelper500::WP_SI_CATEGORIES_W;
            del += Pravhelper500::WP_SI_CATEGORIES_W;
        }
    };

    using CommitOperation = HRESULT (*)(const wchar_t*, ISInfoObject*, const wchar_t*,
                                        const wchar_t*, const wchar_t*, HostUndo*);

    // A commit operation on the corporate list, then on the personal list, with the shared
    // journal names and the default update journal; the first failure is returned.
    HRESULT ForBothLists(CommitOperation operation, HostUndo& undo) noexcept try {
        const CategoryJournals names;
        const HRESULT corporate =
            operation(Pravhelper500::WP_SI_CORPORATE_CATEGORIES_W, this->m_pInfoObject.Get(),
                      names.add.c_str(), names.del.c_str(), L"", &undo);
        const HRESULT personal =
            operation(Pravhelper500::WP_SI_PERSONAL_CATEGORIES_W, this->m_pInfoObject.Get(),
                      names.add.c_str(), names.del.c_str(), L"", &undo);
        return FAILED(corporate) ? corporate : personal;
    } catch (...) {
        return E_OUTOFMEMORY;  // the journal names could not be made
    }

    HRESULT GetCategories(const wchar_t* label, const wchar_t* property,
                          Microsoft::WRL::ComPtr<ISObjectRelativeIDs>& cache,
                          ISObjectRelativeIDs** ppCategories,
                          const SdkTrace::TraceSites<3>& sites) noexcept try {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY_AT(sites[0], label);
        if (!this->m_pInfoObject) {
            SDK_ASSERT(this->m_pInfoObject);
            return E_FAIL;
        }
        if (ppCategories == nullptr)
            SDK_RETURN_NULL_ARGUMENT("Invalid pointer ppCategories", GUID_NULL);
        HRESULT hr = S_OK;
        {
            // Threads that find the cache empty at the same time wait here: the first makes the
            // collection, the others hand out that same one.
            ComLib::CComObjectLock<ComLib::CComObjectRootEx> lock(this);
            if (!cache) {
                if (this->m_ObjectLocale == 0)
                    ::SdkTrace::ReportAssert(kTraceFile, __LINE__, "m_ObjectLocale!=0");
                const CategoryJournals names;
                Microsoft::WRL::ComPtr<ISObjectRelativeIDs> created;
                hr = CreateRelativeIDs(property, this->m_pInfoObject.Get(), this->m_ObjectLocale,
                                       names.add.c_str(), names.del.c_str(), &created);
                if (FAILED(hr)) SDK_TRACE_RETURN_AT(sites[1], label, hr);  // the cache stays empty
                cache = created;
            }
            *ppCategories = cache.Get();
            (*ppCategories)->AddRef();
        }
        SDK_TRACE_EXIT_AT(sites[2], label, static_cast<long>(hr),
                          SdkTrace::CollectionText<CComCategoryRelativeIDs>(ppCategories));
        return hr;
    }
    SDK_CATCH_RETURN()

    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_pCorporateCategories;
    Microsoft::WRL::ComPtr<ISObjectRelativeIDs> m_pPersonalCategories;
};
