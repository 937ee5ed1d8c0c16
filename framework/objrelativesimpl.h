// IObjectRelatives: the editing layer of a relative-ID collection (Add, Delete, Clear), which
// writes every change straight into the host object's list property and records it in the two
// journal properties; CComCategoryRelativeIDs, the collection class; and the operations the
// framework layers use: CreateRelativeIDs, PrepareRelativesForCommit, ResetRelativesAfterCommit.
//
// Stored form: the list property (a bag-valued property of the host object's bag) holds the count
// under SI_TOTAL and the elements at positions 1..count; the ADD and DEL journals have the same
// form and hold VT_I4 IDs. Properties the collection creates get the empty text as value and the
// flags kMainListFlags (the list) or kJournalFlags (a journal).
//
// Consistency: the elements, their keys and the host list are kept in step. Add, Delete and
// Clear hold the object lock from their first host call on the list to their last change of the
// in-memory state, so concurrent edits are applied to the host list and to memory in the same
// order, and a position in memory is always the same element as position + 1 in the host list.
// Memory changes only after the host accepted the change, and in a step that cannot fail (what it
// needs is allocated before the host call).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <unordered_set>
#include <vector>

#include "KorvelInfoStore.h"
#include "comlib.h"
#include "enumtypesimpl.h"
#include "pravhelper500.h"
#include "scomobjectbase.h"
#include "scoped.h"
#include "sdktrace.h"
#include "zentil500.h"

inline constexpr char kObjRelativesImplFile[] = "export/iface/sdk/common/objrelativesimpl";

// Property flags of a list property and of a journal property that the collection creates.
inline constexpr long kMainListFlags = 0x0A000000;
inline constexpr long kJournalFlags = 0x08000000;
// The flag that marks a list property as changed for the commit.
inline constexpr long kChangedListFlag = 0x02000000;

// The host writes of one edit, recorded so that they can be taken back when a later step fails:
// the host has no transactions, and a failed call must leave the host object as it found it.
// Each write is recorded right after the host accepted it; Reserve makes the room for its record
// before the write, so that recording never fails. Writes neither committed nor taken back when
// the record goes (an early return, an exception) are taken back then.
class HostUndo {
public:
    // `member` names the edit in the warning of a failed undo, written from source file `file`.
    HostUndo(const char* file, const char* member) noexcept : m_file(file), m_member(member) {}
    ~HostUndo() {
        if (!m_records.empty()) Undo();
    }
    HostUndo(const HostUndo&) = delete;
    HostUndo& operator=(const HostUndo&) = delete;

    // Room for one more record. E_OUTOFMEMORY when there is none (then write nothing).
    HRESULT Reserve() noexcept;

    // `value` was appended to `list` (named `what` in a warning): taken back by removing the
    // entry that holds it (the host list holds a value once).
    void Appended(ISPropertyBagCollection* list, const char* what,
                  ComLib::ScopedVariant&& value) noexcept;
    // The entry `value` was removed from `position` of `list`: put back at that position.
    void Removed(ISPropertyBagCollection* list, const char* what, LONG position,
                 ComLib::ScopedVariant&& value) noexcept;
    // `list` was emptied; `values` are its entries before, in order: appended again.
    void Emptied(ISPropertyBagCollection* list, const char* what,
                 std::vector<ComLib::ScopedVariant>&& values) noexcept;
    // `flag` was set (or cleared) on the property named by `name` (VT_BSTR) through `flagsView`.
    void FlagChanged(ISPropertyBagCollection* flagsView, const char* what,
                     ComLib::ScopedVariant&& name, long flag, bool set) noexcept;

    // The edit succeeded: its writes stay.
    void Commit() noexcept { m_records.clear(); }

    // Takes every recorded write back, newest first, and forgets them. A write that cannot be
    // taken back stays; the others are still taken back. The first failure is returned, and a
    // warning line names the writes left.
    HRESULT Undo() noexcept;

    // The entries of `list` in order (for Emptied, read before the list is emptied).
    static HRESULT ReadAll(ISPropertyBagCollection* list,
                           std::vector<ComLib::ScopedVariant>& values) noexcept;

private:
    enum class Kind { Appended, Removed, Emptied, FlagChanged };
    struct Record {
        Kind kind;
        Microsoft::WRL::ComPtr<ISPropertyBagCollection> list;
        const char* what;
        ComLib::ScopedVariant value;  // the value appended or removed, or the property name
        LONG number = 0;              // the position of a removal, or the flag
        bool set = false;
        std::vector<ComLib::ScopedVariant> values;
    };
    static HRESULT TakeBack(Record& record) noexcept;
    void Add(Record&& record) noexcept;

    const char* m_file;
    const char* m_member;
    std::vector<Record> m_records;
};

template <typename T, typename Interface, typename ElemType, const CLSID* pclsid, const IID* piid,
          const GUID* plibid>
class IObjectRelatives : public IEnumTypesImpl<T, Interface, ElemType, pclsid, piid, plibid> {
    using Base = IEnumTypesImpl<T, Interface, ElemType, pclsid, piid, plibid>;

public:
    static constexpr const char* kTraceFile = kObjRelativesImplFile;

    // Appends id to the host list and journals it as added, unless it cancels an earlier delete
    // (then the DEL journal entry is removed instead). Duplicates are the host list's decision.
    // Whether the ID is in the DEL journal is asked before anything is written: a host that fails
    // that question (other than answering "absent") gets its failure back and nothing changes, so
    // an ID never ends up in both journals. When the journal cannot be written, the ID is taken
    // out of the host list again: a failed Add changes nothing.
    STDMETHOD(Add)(ElemType id) override { return Add(id, nullptr); }
    // Add as a step of a larger edit whose host writes `outer` records (see AddWith).
    HRESULT Add(ElemType id, HostUndo* outer) try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IObjectRelatives::Add", static_cast<int>(id));
        const HRESULT hr = AddWith(id, outer);
        if (FAILED(hr)) SDK_TRACE_RETURN(L"IObjectRelatives::Add", hr, static_cast<int>(id));
        SDK_TRACE_EXIT(L"IObjectRelatives::Add", static_cast<long>(S_OK), static_cast<int>(id));
        return S_OK;
    }
    SDK_CATCH_RETURN()

    // Removes the element designated by index (any form get_Item accepts) from the host list and
    // memory, and journals it as deleted unless it cancels an add since the last commit. A
    // position designates that very element; a key its first occurrence (a list written by
    // another client may hold an ID more than once, and each occurrence can be deleted).
    // The journal is written first and the host list last: a journal entry can be taken back
    // exactly, a removed list element not always (the host list refuses a value it holds, and
    // the list may hold an ID twice). So a failed Delete changes nothing.
    STDMETHOD(Delete)(VARIANT index) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IObjectRelatives::Delete", SdkTrace::VariantText(&index));
        // Held from the resolution of the index to the end: the element resolved is the element
        // removed.
        ComLib::CComObjectLock<T> lock(this->Owner());

        ElemType id{};
        HRESULT hr = this->Owner()->get_Item(index, &id);
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IObjectRelatives::Delete", hr, SdkTrace::VariantText(&index));

        SdkEnum::ElementStore::Sequence first = 0;
        if (!this->m_store.FindKey(SdkEnum::IdKey(static_cast<long>(id)), &first) || !m_pMainList) {
            // Not an element of this collection, or a copy without binding.
            this->Report(Pravhelper500::MSG_ID_NOT_IN_COLLECTION, KV_E_IDNOTINCOLLECTION);
            SDK_TRACE_EXIT(L"IObjectRelatives::Delete",
                           static_cast<unsigned int>(KV_E_IDNOTINCOLLECTION),
                           SdkTrace::VariantText(&index));
            return KV_E_IDNOTINCOLLECTION;
        }
        const SdkEnum::ElementStore::Sequence removed =
            this->OccurrenceLocked(index, static_cast<long>(id), first);

        // Asked before anything is written (see Add).
        bool cancels = false;
        LONG journalPosition = 0;
        hr = IsJournalled(m_addName, m_pAddList, static_cast<long>(id), &cancels,
                          &journalPosition);
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IObjectRelatives::Delete", hr, SdkTrace::VariantText(&index));

        HostUndo undo(kObjRelativesImplFile, "IObjectRelatives::Delete");
        hr = JournalDelete(static_cast<long>(id), cancels, journalPosition, undo);
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IObjectRelatives::Delete", hr, SdkTrace::VariantText(&index));

        ComLib::ScopedVariant hostPosition;
        hostPosition.SetI4(this->m_store.PositionOf(removed) + 1);
        hr = m_pMainList->Remove(hostPosition.Get());
        if (FAILED(hr)) {
            undo.Undo();
            SDK_TRACE_RETURN(L"IObjectRelatives::Delete", hr, SdkTrace::VariantText(&index));
        }
        undo.Commit();
        // When the element was the first occurrence of its key, the key passes to the next
        // occurrence, if any.
        this->m_store.Remove(removed);
        SDK_TRACE_EXIT(L"IObjectRelatives::Delete", static_cast<long>(S_OK),
                       SdkTrace::VariantText(&index));
        return S_OK;
    }
    SDK_CATCH_RETURN()

    // Deletes every element: each journalled as Delete journals it, then the ADD journal, the
    // host list and memory are emptied. What each delete journals is worked out before anything
    // is written, and the host list is emptied last, so a failed Clear changes nothing.
    STDMETHOD(Clear)() override { return Clear(nullptr); }
    // Clear as a step of a larger edit whose host writes `outer` records (see ClearWith).
    HRESULT Clear(HostUndo* outer) try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IObjectRelatives::Clear");
        const HRESULT hr = ClearWith(outer);
        SDK_TRACE_RETURN(L"IObjectRelatives::Clear", hr);
    }
    SDK_CATCH_RETURN()

protected:
    // The work of Add. Without `outer`, the host writes are taken back when a later one fails and
    // memory takes the ID on success. With `outer` (an edit of several steps), the writes are
    // recorded there, and memory is the caller's: nothing in memory changes here.
    HRESULT AddWith(ElemType id, HostUndo* outer) {
        ComLib::CComObjectLock<T> lock(this->Owner());

        HRESULT hr = FindList(m_propertyName, true, kMainListFlags, m_pMainList);
        if (FAILED(hr)) return hr;
        // Room for the element before the host list takes it (an allocation failure here changes
        // nothing).
        const Zentil500::SWCharString key = SdkEnum::IdKey(static_cast<long>(id));
        if (outer == nullptr) this->m_store.ReserveAppend(&key);
        bool cancels = false;
        LONG journalPosition = 0;
        hr = IsJournalled(m_delName, m_pDelList, static_cast<long>(id), &cancels,
                          &journalPosition);
        if (FAILED(hr)) return hr;

        HostUndo own(kObjRelativesImplFile, "IObjectRelatives::Add");
        HostUndo& undo = outer ? *outer : own;
        hr = undo.Reserve();
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant value;
        value.SetI4(static_cast<LONG>(id));
        hr = m_pMainList->Append(value.Get());
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant appended;
        appended.SetI4(static_cast<LONG>(id));
        undo.Appended(m_pMainList.Get(), "the list", std::move(appended));

        hr = undo.Reserve();
        if (SUCCEEDED(hr)) {
            if (cancels) {
                hr = RemoveFromJournal(m_pDelList.Get(), static_cast<long>(id));
                if (SUCCEEDED(hr)) {
                    ComLib::ScopedVariant entry;
                    entry.SetI4(static_cast<LONG>(id));
                    undo.Removed(m_pDelList.Get(), "the DEL journal", journalPosition,
                                 std::move(entry));
                }
            } else {
                hr = this->Owner()->EnsureAddList();
                if (SUCCEEDED(hr)) hr = m_pAddList->Append(value.Get());
            }
        }
        if (outer != nullptr) return hr;
        if (FAILED(hr)) {
            // The ID leaves the host list again. Should that fail too, memory takes the ID as
            // the host list still holds it: memory and host list must not drift apart.
            if (FAILED(own.Undo())) this->m_store.CommitAppend(std::move(value));
            return hr;
        }
        own.Commit();
        this->m_store.CommitAppend(std::move(value));
        return S_OK;
    }

    // The journal step of deleting id (recorded in `undo`): the entry at journalPosition of the
    // ADD journal goes when the delete cancels an add, else the ID goes into the DEL journal
    // (created when missing; an ID it holds already stays as it is).
    HRESULT JournalDelete(long id, bool cancels, LONG journalPosition, HostUndo& undo) {
        HRESULT hr = undo.Reserve();
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant entry;
        entry.SetI4(static_cast<LONG>(id));
        if (cancels) {
            hr = RemoveFromJournal(m_pAddList.Get(), id);
            if (SUCCEEDED(hr))
                undo.Removed(m_pAddList.Get(), "the ADD journal", journalPosition,
                             std::move(entry));
            return hr;
        }
        hr = FindList(m_delName, true, kJournalFlags, m_pDelList);
        if (FAILED(hr)) return hr;
        hr = m_pDelList->Append(entry.Get());
        // Already journalled as deleted (another occurrence of a repeated ID, or the other list
        // of a shared journal): the journal says what it must.
        if (hr == KV_E_VALUEALREADYINLIST) return S_OK;
        if (SUCCEEDED(hr)) undo.Appended(m_pDelList.Get(), "the DEL journal", std::move(entry));
        return hr;
    }

    // The work of Clear; `outer` as for AddWith (with it, memory keeps its elements).
    HRESULT ClearWith(HostUndo* outer) {
        ComLib::CComObjectLock<T> lock(this->Owner());
        // Nothing was loaded (or a copy without binding).
        if (!m_pMainList) return S_OK;
        // The elements as the host list holds them, each with the ID that deleting it would
        // journal. A failure here changes nothing.
        std::vector<ComLib::ScopedVariant> elements;
        HRESULT hr = HostUndo::ReadAll(m_pMainList.Get(), elements);
        if (FAILED(hr) || elements.empty()) return hr;
        hr = FindList(m_delName, true, kJournalFlags, m_pDelList);
        if (FAILED(hr)) return hr;
        std::vector<long> ids;
        ids.reserve(elements.size());
        for (const ComLib::ScopedVariant& element : elements) {
            ElemType id{};
            if (element.Type() == VT_I4) {
                id = V_I4(&element.Get());
            } else {
                hr = this->Owner()->get_Item(element.Get(), &id);
                if (FAILED(hr)) return hr;
            }
            SdkEnum::ElementStore::Sequence sequence = 0;
            if (!this->m_store.FindKey(SdkEnum::IdKey(static_cast<long>(id)), &sequence))
                return this->Report(Pravhelper500::MSG_ID_NOT_IN_COLLECTION,
                                    KV_E_IDNOTINCOLLECTION);
            ids.push_back(static_cast<long>(id));
        }

        // A failure below returns at once: `own` takes back what was written.
        HostUndo own(kObjRelativesImplFile, "IObjectRelatives::Clear");
        HostUndo& undo = outer ? *outer : own;
        // Each ID goes into the DEL journal, unless its delete cancels an add since the last
        // commit (the ADD journal is emptied below); a repeated ID cancels once, then it is
        // journalled as deleted.
        std::unordered_set<long> cancelled;
        for (const long id : ids) {
            bool added = false;
            LONG position = 0;
            hr = IsJournalled(m_addName, m_pAddList, id, &added, &position);
            if (FAILED(hr)) return hr;
            if (added && cancelled.insert(id).second) continue;
            hr = JournalDelete(id, false, 0, undo);
            if (FAILED(hr)) return hr;
        }
        hr = FindList(m_addName, false, kJournalFlags, m_pAddList);
        if (SUCCEEDED(hr)) {
            std::vector<ComLib::ScopedVariant> journalled;
            hr = HostUndo::ReadAll(m_pAddList.Get(), journalled);
            if (SUCCEEDED(hr)) hr = undo.Reserve();
            if (SUCCEEDED(hr)) {
                hr = m_pAddList->RemoveAll();
                if (SUCCEEDED(hr))
                    undo.Emptied(m_pAddList.Get(), "the ADD journal", std::move(journalled));
            }
            if (FAILED(hr)) return hr;
        } else if (hr != KV_E_PROPERTYNOTFOUND) {
            return hr;
        }
        hr = undo.Reserve();
        if (SUCCEEDED(hr)) hr = m_pMainList->RemoveAll();
        if (FAILED(hr)) return hr;
        undo.Emptied(m_pMainList.Get(), "the list", std::move(elements));
        if (outer == nullptr) {
            own.Commit();
            this->m_store.Clear();
        }
        return S_OK;
    }

protected:
    // Whether journal `name` (never created here) holds id, and at which position: *found false
    // when the journal or the ID is absent (the host's "absent" answer). Any other failure of the
    // host is returned. Requires the lock.
    HRESULT IsJournalled(const Zentil500::SWCharString& name,
                         Microsoft::WRL::ComPtr<ISPropertyBagCollection>& cache, long id,
                         bool* found, LONG* position) {
        *found = false;
        HRESULT hr = FindList(name, false, kJournalFlags, cache);
        if (hr == KV_E_PROPERTYNOTFOUND) return S_OK;
        if (FAILED(hr)) return hr;
        ComLib::ScopedVariant value;
        value.SetI4(static_cast<LONG>(id));
        hr = cache->Find(value.Get(), position);
        if (hr == KV_E_PROPERTYNOTFOUND) return S_OK;
        if (FAILED(hr)) return hr;
        *found = true;
        return S_OK;
    }

    // Removes the entry of id, designated by its decimal text, from a journal.
    static HRESULT RemoveFromJournal(ISPropertyBagCollection* journal, long id) {
        ComLib::ScopedVariant text;
        const HRESULT hr = text.SetBstr(SdkTrace::DecimalText(id).c_str());
        if (FAILED(hr)) return hr;
        return journal->Remove(text.Get());
    }

    // The list view of the host property `name`, cached in `cache`. The property is looked up by
    // name; when it is missing it is created (empty text, `flags`) if `create`, else the lookup
    // fails with KV_E_PROPERTYNOTFOUND. The list is set up with SI_TOTAL and the empty prefix.
    // E_NOINTERFACE without a bound property bag. Requires the lock.
    HRESULT FindList(const Zentil500::SWCharString& name, bool create, long flags,
                     Microsoft::WRL::ComPtr<ISPropertyBagCollection>& cache) {
        if (cache) return S_OK;
        if (!m_pProperties) return E_NOINTERFACE;
        Microsoft::WRL::ComPtr<ISPropertyBagCollection> list;
        HRESULT hr = OpenList(m_pProperties.Get(), name.c_str(), create, flags, list);
        if (SUCCEEDED(hr)) cache = list;
        return hr;
    }

public:
    // The list view of property `name` of bag (see FindList); usable without a collection.
    static HRESULT OpenList(ISProperties* bag, const wchar_t* name, bool create, long flags,
                            Microsoft::WRL::ComPtr<ISPropertyBagCollection>& list) {
        ComLib::ScopedVariant nameValue;
        HRESULT hr = nameValue.SetBstr(name);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ISProperty> property;
        hr = bag->get_Item(nameValue.Get(), &property);
        if (hr == KV_E_PROPERTYNOTFOUND && create) {
            ComLib::ScopedBstr nameText(name);
            ComLib::ScopedVariant empty;
            hr = nameText.Get() ? empty.SetBstr(L"") : E_OUTOFMEMORY;
            if (SUCCEEDED(hr)) hr = bag->Add(nameText.Get(), empty.Get(), flags, &property);
        }
        if (FAILED(hr)) return hr;
        if (!property) return E_POINTER;
        Microsoft::WRL::ComPtr<ISProperties> nested;
        hr = property->get_Properties(&nested);
        if (FAILED(hr)) return hr;
        if (!nested) return E_POINTER;
        Microsoft::WRL::ComPtr<ISPropertyBagCollection> view;
        hr = nested.As(&view);
        if (FAILED(hr)) return hr;
        if (!view) return E_NOINTERFACE;
        ComLib::ScopedBstr countName(Pravhelper500::WP_SI_TOTAL_W);
        ComLib::ScopedBstr prefix(L"");
        if (!countName.Get() || !prefix.Get()) return E_OUTOFMEMORY;
        hr = view->Setup(countName.Get(), prefix.Get());
        if (FAILED(hr)) return hr;
        list = view;
        return hr;
    }

protected:
    // Binding, set once before the collection is handed out (read without the lock afterwards).
    Microsoft::WRL::ComPtr<ISProperties> m_pProperties;  // the host object's bag
    Zentil500::SWCharString m_propertyName;
    Zentil500::SWCharString m_addName;
    Zentil500::SWCharString m_delName;
    // Found or created lazily; guarded by the owner's lock.
    Microsoft::WRL::ComPtr<ISPropertyBagCollection> m_pMainList;
    Microsoft::WRL::ComPtr<ISPropertyBagCollection> m_pAddList;
    Microsoft::WRL::ComPtr<ISPropertyBagCollection> m_pDelList;
};

// The relative-ID collection over one list property of a host object. Created only inside the
// plug-in (CreateRelativeIDs, Clone); not registered.
class CComCategoryRelativeIDs
    : public IObjectRelatives<CComCategoryRelativeIDs, ISObjectRelativeIDs, LONG,
                              &CLSID_ObjectRelativeIDs, &IID_ISObjectRelativeIDs,
                              &LIBID_KorvelInfoStoreLib>,
      public ComLib::ISupportErrorInfoImpl<&IID_ISObjectRelativeIDs>,
      public EnumImplBase {
public:
    CComCategoryRelativeIDs() = default;
    ~CComCategoryRelativeIDs() override = default;

    // Final construction: the aggregated free-threaded marshaler.
    HRESULT FinalConstruct() noexcept { return CreateFreeThreadedMarshaler(GetUnknown()); }
    // IUnknown, ISObjectRelativeIDs, IDispatch (the main interface), ISupportErrorInfo, IMarshal.
    HRESULT _InternalQueryInterface(REFIID iid, void** ppv) noexcept;

    // ADD journal "SI_ADM_ADD_" + base, DEL journal "SI_ADM_DEL_" + base.
    virtual HRESULT SetJournalNamesFromBase(const wchar_t* base);
    // The journal names from the list property's name (the defaults).
    virtual HRESULT SetJournalNamesFromPropertyName();
    // The ADD journal list, created when missing. Requires the lock.
    virtual HRESULT EnsureAddList();
    // The object's IUnknown identity. DOES NOT AddRef.
    virtual IUnknown* GetControllingUnknown() noexcept { return GetUnknown(); }
    IUnknown* GetUnknown() noexcept { return static_cast<ISObjectRelativeIDs*>(this); }

    // Binding and load (CreateRelativeIDs): binds the collection to list property `propertyName`
    // of bag and loads the list. Empty journal names (both) stand for the defaults.
    HRESULT BindAndLoad(ISProperties* bag, const wchar_t* propertyName, LCID locale,
                        const wchar_t* addName, const wchar_t* delName);

    // Clear, then Add(id), under one hold of the lock: other threads see the list before or
    // after, never in between. The first failure is returned.
    // A failure of either takes back what both wrote, in the host list and in memory.
    HRESULT ReplaceAll(LONG id) noexcept try {
        ComLib::CComObjectLock<CComCategoryRelativeIDs> lock(this);
        // Memory after the change, made before anything is written.
        SdkEnum::ElementStore replacement;
        ComLib::ScopedVariant element;
        element.SetI4(id);
        const Zentil500::SWCharString key = SdkEnum::IdKey(id);
        replacement.Append(std::move(element), &key);
        HostUndo undo(kObjRelativesImplFile, "ReplaceAll");  // takes back on a failure
        HRESULT hr = Clear(&undo);
        if (SUCCEEDED(hr)) hr = Add(id, &undo);
        if (FAILED(hr)) return hr;
        undo.Commit();
        m_store.Swap(replacement);
        return S_OK;
    }
    SDK_CATCH_RETURN()

    // For tests: the lock, element count and key count seen together.
    void DebugState(int* elements, int* keys) {
        ComLib::CComObjectLock<CComCategoryRelativeIDs> lock(this);
        *elements = m_store.Count();
        *keys = m_store.KeyCount();
    }

private:
    HRESULT Load();
};

// Whether the object of bag is new: its SI_NEWOBJECT property holds VT_BOOL true. Any failure
// counts as not new.
bool IsNewInfoObject(ISProperties* bag) noexcept;

// A new collection over list property `propertyName` of infoObject, bound and loaded; *ppIDs
// receives it with one reference. Both journal names empty: "SI_ADM_ADD_"/"SI_ADM_DEL_" +
// propertyName. Any failure is returned and nothing is handed out.
HRESULT CreateRelativeIDs(const wchar_t* propertyName, ISInfoObject* infoObject, LCID locale,
                          const wchar_t* addName, const wchar_t* delName,
                          ISObjectRelativeIDs** ppIDs);

// The commit operations write through `undo` when given (a commit hook of several lists, which
// takes them back itself); without it, an operation that fails takes back its own writes. A
// failure ends the operation.
//
// Before a commit: for a new object, copies the list into its ADD journal when that journal is
// empty; then marks the list property with kChangedListFlag. An empty name stands for its
// default ("SI_ADM_ADD_", "SI_ADM_DEL_" or "SI_ADM_UPD_" + propertyName). E_FAIL without host
// object. Host failures while copying or marking are returned (a journal that could not be
// written must not pass as ready for the commit).
HRESULT PrepareRelativesForCommit(const wchar_t* propertyName, ISInfoObject* infoObject,
                                  const wchar_t* addName, const wchar_t* delName,
                                  const wchar_t* updName, HostUndo* undo = nullptr);

// After a commit: empties the ADD, DEL and UPD journals that exist and clears kChangedListFlag on
// them and on the list property. E_FAIL without host object, E_NOINTERFACE without its bag. The
// first host failure is returned.
HRESULT ResetRelativesAfterCommit(const wchar_t* propertyName, ISInfoObject* infoObject,
                                  const wchar_t* addName, const wchar_t* delName,
                                  const wchar_t* updName, HostUndo* undo = nullptr);
