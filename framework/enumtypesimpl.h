// IEnumTypesImpl: enumeration and indexing of a relative-ID collection (cursor, Next/Skip/Reset,
// Count, Item, _NewEnum and Clone), with the collection's in-memory state: the elements in list
// order with their case-insensitive lookup keys (SdkEnum::ElementStore), and the cursor.
//
// Also here: EnumImplBase (the collection's SComObjectBase part) and CComEnumVariant (the
// IEnumVARIANT that _NewEnum hands out). Elements are ComLib::ScopedVariant owners.
//
// Locking: the in-memory state is guarded by the owning object's critical section (T::Lock, the
// re-entrant lock of its CComObjectRootEx). Host calls are never made while only a read of the
// state is in progress; the editing layer (objrelativesimpl.h) holds the lock across its host
// calls so that the host list and the elements stay in step.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KorvelInfoStore.h"
#include "comlib.h"
#include "pravhelper500.h"
#include "scomobjectbase.h"
#include "scoped.h"
#include "sdktrace.h"
#include "zentil500.h"

inline constexpr char kEnumTypesImplFile[] = "export/iface/sdk/common/enumtypesimpl";

// The per-call guard of a template layer, built from the owning object's SComObjectBase part.
#define SDK_OWNER_CALL_GUARD() \
    const ::SComCallGuard sdkCallGuard_(static_cast<const ::SComObjectBase&>(*this->Owner()))

namespace SdkEnum {

// IEnumVARIANT over its own copy of a set of values. Clones share that copy (it never changes)
// and have a cursor of their own. Free-threaded: the cursor is guarded by the object lock.
class CComEnumVariant : public IEnumVARIANT, public ComLib::CComObjectRootEx {
public:
    CComEnumVariant() = default;
    virtual ~CComEnumVariant() = default;

    HRESULT FinalConstruct() noexcept {
        return CoCreateFreeThreadedMarshaler(static_cast<IEnumVARIANT*>(this),
                                             m_marshaler.ReleaseAndGetAddressOf());
    }
    HRESULT _InternalQueryInterface(REFIID iid, void** ppv) noexcept {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, IID_IEnumVARIANT))
            return ComLib::AnswerInterface<IEnumVARIANT>(this, ppv);
        if (InlineIsEqualGUID(iid, IID_IMarshal) && m_marshaler)
            return m_marshaler->QueryInterface(iid, ppv);
        return E_NOINTERFACE;
    }

    // Copies [first, last) into the enumerator's own values; once only, before it is handed out.
    HRESULT Init(const ComLib::ScopedVariant* first, const ComLib::ScopedVariant* last) noexcept try {
        if (m_values) return E_UNEXPECTED;
        auto values = std::make_shared<std::vector<ComLib::ScopedVariant>>();
        values->resize(static_cast<size_t>(last - first));
        for (size_t i = 0; first + i != last; ++i) {
            const HRESULT hr = (*values)[i].CopyFrom(first[i].Get());
            if (FAILED(hr)) return hr;
        }
        m_values = std::move(values);
        return S_OK;
    }
    SDK_CATCH_RETURN()

    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (rgVar == nullptr || (celt != 1 && pCeltFetched == nullptr)) return E_POINTER;
        ComLib::CComObjectLock<CComEnumVariant> lock(this);
        const size_t size = m_values ? m_values->size() : 0;
        ULONG fetched = 0;
        while (fetched < celt && m_position < size) {
            VariantInit(&rgVar[fetched]);
            const HRESULT hr =
                VariantCopy(&rgVar[fetched], const_cast<VARIANT*>(&(*m_values)[m_position].Get()));
            if (FAILED(hr)) {
                // Hand out all or nothing: what was copied is cleared, the cursor stays.
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                m_position -= fetched;
                return hr;
            }
            ++fetched;
            ++m_position;
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    STDMETHOD(Skip)(ULONG celt) override {
        ComLib::CComObjectLock<CComEnumVariant> lock(this);
        const size_t size = m_values ? m_values->size() : 0;
        const size_t left = size - m_position;
        if (celt > left) {
            m_position = size;
            return S_FALSE;
        }
        m_position += celt;
        return S_OK;
    }
    STDMETHOD(Reset)() override {
        ComLib::CComObjectLock<CComEnumVariant> lock(this);
        m_position = 0;
        return S_OK;
    }
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) override;

private:
    std::shared_ptr<const std::vector<ComLib::ScopedVariant>> m_values;
    size_t m_position = 0;  // guarded by the object lock
    Microsoft::WRL::ComPtr<IUnknown> m_marshaler;
};

inline STDMETHODIMP CComEnumVariant::Clone(IEnumVARIANT** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    ComLib::CComObject<CComEnumVariant>* copy = nullptr;
    HRESULT hr = ComLib::CComObject<CComEnumVariant>::CreateInstance(&copy);
    if (FAILED(hr)) return hr;
    Microsoft::WRL::ComPtr<IEnumVARIANT> holder(copy);  // destroys the copy on failure
    {
        ComLib::CComObjectLock<CComEnumVariant> lock(this);
        copy->m_values = m_values;
        copy->m_position = m_position;
    }
    *ppEnum = holder.Detach();
    return S_OK;
}

// The integer ID of an InfoObject seen through its property bag (its SI_ID property).
inline HRESULT ReadObjectId(IUnknown* object, long* id) noexcept {
    if (object == nullptr) return E_POINTER;
    Microsoft::WRL::ComPtr<ISProperties> bag;
    HRESULT hr =
        object->QueryInterface(IID_ISProperties, reinterpret_cast<void**>(bag.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!bag) return E_NOINTERFACE;
    ComLib::ScopedVariant name;
    hr = name.SetBstr(Pravhelper500::WP_SI_ID_W);
    if (FAILED(hr)) return hr;
    Microsoft::WRL::ComPtr<ISProperty> property;
    hr = bag->get_Item(name.Get(), &property);
    if (FAILED(hr)) return hr;
    if (!property) return E_POINTER;
    ComLib::ScopedVariant value;
    hr = property->get_Value(value.Receive());
    if (FAILED(hr)) return hr;
    hr = value.ChangeType(VT_I4);
    if (FAILED(hr)) return hr;
    *id = V_I4(&value.Get());
    return S_OK;
}

// The integer value of an element: an ID element is its value, a text element its text read as
// a number, an object element its SI_ID. Other elements have none (DISP_E_TYPEMISMATCH).
inline HRESULT ElementId(const VARIANT& element, long* id) noexcept {
    switch (V_VT(&element)) {
        case VT_I4:
            *id = V_I4(&element);
            return S_OK;
        case VT_BSTR: {
            ComLib::ScopedVariant number;
            HRESULT hr = number.CopyFrom(element);
            if (SUCCEEDED(hr)) hr = number.ChangeType(VT_I4);
            if (FAILED(hr)) return hr;
            *id = V_I4(&number.Get());
            return S_OK;
        }
        case VT_DISPATCH:
            return ReadObjectId(V_DISPATCH(&element), id);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// The lookup key of an ID: "#" followed by the ID in decimal ("#17").
inline Zentil500::SWCharString IdKey(long id) {
    Zentil500::SWCharString number;
    Zentil500::StringConvFromInteger(number, id, 10);
    Zentil500::SWCharString key(L"#");
    key += number;
    return key;
}

// The elements of a relative-ID collection in list order, with their lookup keys. Not locked
// itself: its owner's lock guards it.
//
// Every element gets a sequence number when it is appended, and keeps it until a compaction:
// elements live in a vector indexed by sequence number, and a removed element leaves a gap there
// (so a removal shifts nothing). A Fenwick tree over the sequence numbers, 1 for a live element,
// turns a sequence number into its position and a position into its sequence number in
// O(log n). When the gaps outnumber the elements, the vector is compacted (renumbering every
// element once): amortised O(1) per removal.
//
// Keys: an element may have a key (an ID element "#<id>", a text element its text, an object
// element "#<its SI_ID>"), compared without regard to case. A key names the first occurrence in
// list order of the elements that have it (lists written by other clients may hold an ID more
// than once); each key lists its occurrences in order, so when the first goes, the next one takes
// the key. Key look-up is a hash look-up, O(1) on average. ID keys ("#<id>" as IdKey writes
// them, whatever the element) are also in a flat table from the ID to the first occurrence: a
// look-up there touches one cache line where the map's touches several, which is most of the
// cost of a look-up in a long list. The table also tells whether that element is the plain ID
// (an integer element), so that get_Item by an ID key answers without touching the element; and
// when the IDs are dense (as a repository hands them out), a bitmap over their range answers that
// from a few bytes per thousand IDs, which stay in the cache where the table's cells do not.
class ElementStore {
public:
    using Sequence = size_t;

    ElementStore() = default;
    ElementStore(const ElementStore&) = delete;
    ElementStore& operator=(const ElementStore&) = delete;

    // The number of elements.
    int Count() const noexcept { return static_cast<int>(m_live); }
    // The number of distinct keys.
    int KeyCount() const noexcept { return static_cast<int>(m_keys.size()); }

    // The sequence number of the element at position (from 0, below Count()).
    Sequence SequenceAt(int position) const noexcept;
    // The position (from 0) of element `sequence`, which must be present.
    int PositionOf(Sequence sequence) const noexcept;
    // The value of element `sequence`, which must be present. The reference is good until the
    // next change of the store.
    const VARIANT& Element(Sequence sequence) const noexcept {
        return m_slots[sequence].value.Get();
    }

    // The element that key names (its first occurrence); false when no element has the key.
    bool FindKey(const Zentil500::SWCharString& key, Sequence* sequence) const;
    // Whether key (length characters) is an ID key ("#17") naming an integer element, that is
    // the ID itself: then *id is that ID. False for every other key (FindKey answers those).
    bool FindPlainId(const wchar_t* key, size_t length, long* id) const noexcept;

    // Appending in two steps, so that an append after a host call cannot fail: ReserveAppend
    // allocates whatever the append of one element with key `key` (nullptr: without a key) needs
    // and may throw; CommitAppend then appends `value` without allocating. Nothing else may change
    // the store in between.
    void ReserveAppend(const Zentil500::SWCharString* key);
    void CommitAppend(ComLib::ScopedVariant&& value) noexcept;
    // Both steps at once (may throw, then nothing was appended).
    void Append(ComLib::ScopedVariant&& value, const Zentil500::SWCharString* key) {
        ReserveAppend(key);
        CommitAppend(std::move(value));
    }

    // Removes element `sequence`, which must be present. When it was the first occurrence of its
    // key, the key passes to the next occurrence, or goes with it when there is none.
    void Remove(Sequence sequence) noexcept;
    void Clear() noexcept;
    // Exchanges the elements and keys of the two stores.
    void Swap(ElementStore& other) noexcept {
        m_slots.swap(other.m_slots);
        m_tree.swap(other.m_tree);
        std::swap(m_live, other.m_live);
        m_keys.swap(other.m_keys);
        m_ids.swap(other.m_ids);
        std::swap(m_idCount, other.m_idCount);
        m_plainBits.swap(other.m_plainBits);
        std::swap(m_plainBase, other.m_plainBase);
        std::swap(m_spare, other.m_spare);
        std::swap(m_pendingEntry, other.m_pendingEntry);
        std::swap(m_pendingNewKey, other.m_pendingNewKey);
    }

    // Calls visit(value) on the elements in list order from position `from` on, while it answers
    // true.
    template <typename Visit>
    void VisitFrom(int from, Visit&& visit) const {
        if (from < 0 || from >= Count()) return;
        for (Sequence s = SequenceAt(from); s < m_slots.size(); ++s)
            if (m_slots[s].live && !visit(m_slots[s].value.Get())) return;
    }

    // Copies of the elements and their keys into `target` (empty), in list order, without gaps.
    // A failure of a copy is returned; target then holds the elements copied so far.
    HRESULT CopyTo(ElementStore& target) const;

private:
    // Hash and equality of keys without regard to case (see the .cpp for the folding).
    struct KeyHash {
        size_t operator()(const Zentil500::SWCharString& key) const noexcept;
    };
    struct KeyEqual {
        bool operator()(const Zentil500::SWCharString& a,
                        const Zentil500::SWCharString& b) const noexcept;
    };
    // The occurrences of one key in list order: `first`, then `rest`.
    struct Occurrences {
        Sequence first = 0;
        std::vector<Sequence> rest;
        size_t renumbered = 0;  // scratch of Compact
        bool isId = false;      // an ID key, also in the ID table
        long id = 0;
    };
    using KeyMap = std::unordered_map<Zentil500::SWCharString, Occurrences, KeyHash, KeyEqual>;
    using KeyEntry = KeyMap::value_type;  // stable address while in the map
    struct Slot {
        ComLib::ScopedVariant value;
        KeyEntry* key = nullptr;  // nullptr: no key
        bool live = false;
    };

    // The ID table: open addressing with linear probing, size 0 or a power of two, at most half
    // full. A cell holds an ID key's ID, its first occurrence + 1 (0: an empty cell) and whether
    // that element is the integer ID itself.
    struct IdCell {
        long id = 0;
        std::uint32_t first : 31 = 0;
        std::uint32_t plain : 1 = 0;
    };
    // The ID of key when it is an ID key, written as IdKey writes it.
    static bool ParseIdKey(const wchar_t* key, size_t length, long* id) noexcept;
    static bool ParseIdKey(const Zentil500::SWCharString& key, long* id) noexcept {
        return ParseIdKey(key.c_str(), key.str().size(), id);
    }
    // Points the ID's cell at element `first`.
    void SetIdFirst(long id, Sequence first) noexcept;
    // The index of id's bit in the plain-ID bitmap; false when id lies outside its range (or
    // there is no bitmap).
    bool PlainBitIndex(long id, size_t* bit) const noexcept {
        if (m_plainBits.empty()) return false;
        const long long offset = static_cast<long long>(id) - m_plainBase;
        if (offset < 0 || offset >= static_cast<long long>(m_plainBits.size()) * 64) return false;
        *bit = static_cast<size_t>(offset);
        return true;
    }
    void SetPlainBit(long id, bool plain) noexcept;
    size_t IdHome(long id) const noexcept;
    // The cell of id; nullptr when absent.
    const IdCell* FindIdCell(long id) const noexcept;
    IdCell* FindIdCell(long id) noexcept {
        return const_cast<IdCell*>(static_cast<const ElementStore*>(this)->FindIdCell(id));
    }
    void InsertId(long id, Sequence first, bool plain) noexcept;  // room reserved
    void EraseId(long id) noexcept;
    void ReserveId();  // room for one more ID; may throw

    // Number of live slots before 1-based tree index `end` (slots 0..end-1).
    int PrefixCount(size_t end) const noexcept;
    void Compact() noexcept;

    std::vector<Slot> m_slots;  // by sequence number; a removed element leaves a gap
    std::vector<int> m_tree;    // Fenwick tree over m_slots (1-based: m_tree[0] unused)
    size_t m_live = 0;          // elements present
    KeyMap m_keys;
    std::vector<IdCell> m_ids;  // the ID table
    size_t m_idCount = 0;
    // Within [m_plainBase, m_plainBase + 64 * size) a bit is set exactly when the ID's cell says
    // plain; chosen anew each time the table grows, over the range of the plain IDs then (when
    // they are dense enough) with room for IDs added after them. Outside it the table answers.
    std::vector<std::uint64_t> m_plainBits;
    long long m_plainBase = 0;
    // Prepared by ReserveAppend for CommitAppend:
    KeyMap::node_type m_spare;           // the node of a new key (keeps its allocation)
    KeyEntry* m_pendingEntry = nullptr;  // the existing entry of the key
    bool m_pendingNewKey = false;        // whether m_spare is to go into the map
};

}  // namespace SdkEnum

// The collection's SComObjectBase part (object root, free-threaded marshaler, object locale).
class EnumImplBase : public SComObjectBase {
public:
    ~EnumImplBase() override = default;
};

// T: the collection class (derives from this template and from EnumImplBase).
template <typename T, typename Interface, typename ElemType, const CLSID* pclsid, const IID* piid,
          const GUID* plibid>
class IEnumTypesImpl : public ComLib::IDispatchImpl<Interface, piid, plibid> {
public:
    static constexpr const char* kTraceFile = kEnumTypesImplFile;

    // Moves the cursor back to the first element. Traced, not guarded.
    STDMETHOD(Reset)() override try {
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::Reset");
        {
            ComLib::CComObjectLock<T> lock(Owner());
            m_cursor = 0;
        }
        SDK_TRACE_EXIT(L"IEnumTypesImpl::Reset", static_cast<long>(S_OK));
        return S_OK;
    }
    SDK_CATCH_RETURN()

    // Advances the cursor count positions; S_FALSE when the end came first (the cursor then
    // stands at the element count). Traced, not guarded.
    STDMETHOD(Skip)(ULONG count) override try {
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::Skip", static_cast<int>(count));
        ULONG left = count;
        HRESULT hr = S_OK;
        {
            ComLib::CComObjectLock<T> lock(Owner());
            const ULONG size = static_cast<ULONG>(m_store.Count());
            while (left > 0) {
                if (m_cursor >= size) {
                    hr = S_FALSE;
                    break;
                }
                ++m_cursor;
                --left;
            }
        }
        SDK_TRACE_EXIT(L"IEnumTypesImpl::Skip", static_cast<long>(hr),
                       static_cast<long>(static_cast<long long>(left) - 1));
        return hr;
    }
    SDK_CATCH_RETURN()

    STDMETHOD(get_Count)(LONG* pCount) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::get_Count", static_cast<long>(pCount ? *pCount : 0));
        if (pCount == nullptr) return NullArgument("Invalid pointer pCount");
        LONG count = 0;
        {
            ComLib::CComObjectLock<T> lock(Owner());
            count = m_store.Count();
        }
        *pCount = count;
        SDK_TRACE_EXIT(L"IEnumTypesImpl::get_Count", static_cast<long>(S_OK),
                       static_cast<long>(count));
        return S_OK;
    }
    SDK_CATCH_RETURN()

    // An IEnumVARIANT over a copy of the elements as they are now; later edits do not reach it.
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::_NewEnum");
        if (ppEnum == nullptr) return NullArgument("Invalid pointer ppEnum");
        *ppEnum = nullptr;

        ComLib::CComObject<SdkEnum::CComEnumVariant>* enumerator = nullptr;
        HRESULT hr = ComLib::CComObject<SdkEnum::CComEnumVariant>::CreateInstance(&enumerator);
        if (FAILED(hr)) {
            hr = Report(Pravhelper500::MSG_ENUM_CREATION_FAILED, E_OUTOFMEMORY);
            SDK_TRACE_RETURN(L"IEnumTypesImpl::_NewEnum", hr);
        }
        Microsoft::WRL::ComPtr<IEnumVARIANT> holder(enumerator);  // destroys it on failure

        // The count and the copies are taken under one hold of the lock, so that the snapshot
        // is the list of one moment, whatever other threads do.
        std::vector<ComLib::ScopedVariant> snapshot;
        {
            ComLib::CComObjectLock<T> lock(Owner());
            snapshot.resize(static_cast<size_t>(m_store.Count()));
            size_t i = 0;
            m_store.VisitFrom(0, [&](const VARIANT& value) {
                hr = snapshot[i++].CopyFrom(value);
                return SUCCEEDED(hr);
            });
        }
        if (SUCCEEDED(hr))
            hr = enumerator->Init(snapshot.data(), snapshot.data() + snapshot.size());
        if (SUCCEEDED(hr))
            hr = holder->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppEnum));
        if (FAILED(hr)) SDK_TRACE_RETURN(L"IEnumTypesImpl::_NewEnum", hr);
        SDK_TRACE_EXIT(L"IEnumTypesImpl::_NewEnum", static_cast<long>(hr),
                       SdkTrace::PointerText(*ppEnum));
        return hr;
    }
    SDK_CATCH_RETURN()

    // Copies up to count element values from the cursor on, advancing it. S_OK when count values
    // were copied (also for count <= 0), S_FALSE when the list ended first.
    STDMETHOD(Next)(LONG count, ElemType* ids, LONG* pFetched) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::Next", static_cast<int>(count));
        if (ids == nullptr) return NullArgument("Invalid pointer ids");
        if (count != 1 && pFetched == nullptr) return NullArgument("Invalid pointer pFetched");

        LONG fetched = 0;
        // Elements without a stored integer are resolved after the lock is left (an object
        // element asks its host object for its ID); an element without any integer gives 0.
        std::vector<std::pair<LONG, ComLib::ScopedVariant>> deferred;
        {
            ComLib::CComObjectLock<T> lock(Owner());
            if (count > 0 && m_cursor < static_cast<ULONG>(m_store.Count())) {
                m_store.VisitFrom(static_cast<int>(m_cursor), [&](const VARIANT& element) {
                    if (V_VT(&element) == VT_I4) {
                        ids[fetched] = V_I4(&element);
                    } else {
                        ids[fetched] = 0;
                        deferred.emplace_back(fetched, ComLib::ScopedVariant());
                        deferred.back().second.CopyFrom(element);
                    }
                    ++fetched;
                    ++m_cursor;
                    return fetched < count;
                });
            }
        }
        for (auto& [slot, element] : deferred) {
            long id = 0;
            if (SUCCEEDED(SdkEnum::ElementId(element.Get(), &id))) ids[slot] = id;
        }
        if (pFetched) *pFetched = fetched;
        const HRESULT hr = (count <= 0 || fetched == count) ? S_OK : S_FALSE;
        SDK_TRACE_EXIT(L"IEnumTypesImpl::Next", static_cast<long>(hr), static_cast<long>(count),
                       fetched > 0 ? SdkTrace::DecimalText(ids[0]) : Zentil500::SWCharString(),
                       static_cast<long>(pFetched ? fetched : 0));
        return hr;
    }
    SDK_CATCH_RETURN()

    // The element designated by index: a position from 1, the key text of an element ("#17"),
    // or an omitted argument for the first element.
    STDMETHOD(get_Item)(VARIANT index, ElemType* pID) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::get_Item", SdkTrace::VariantText(&index));
        if (pID == nullptr) return NullArgument("Invalid pointer pID");

        ComLib::ScopedVariant resolved;
        HRESULT hr = VariantCopyInd(resolved.Ptr(), &index);
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IEnumTypesImpl::get_Item", hr, SdkTrace::VariantText(&index));

        bool found = false;
        bool plain = false;
        long value = 0;
        ComLib::ScopedVariant element;
        {
            ComLib::CComObjectLock<T> lock(Owner());
            SdkEnum::ElementStore::Sequence sequence = 0;
            if (resolved.Type() == VT_BSTR &&
                m_store.FindPlainId(V_BSTR(&resolved.Get()), SysStringLen(V_BSTR(&resolved.Get())),
                                    &value)) {
                found = plain = true;
            } else if (FindLocked(resolved.Get(), &sequence)) {
                found = true;
                hr = element.CopyFrom(m_store.Element(sequence));
            }
        }
        if (!found) {
            hr = ReportIndexNotFound(resolved);
            SDK_TRACE_RETURN(L"IEnumTypesImpl::get_Item", hr, SdkTrace::VariantText(&index));
        }
        if (SUCCEEDED(hr) && !plain) hr = SdkEnum::ElementId(element.Get(), &value);
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IEnumTypesImpl::get_Item", hr, SdkTrace::VariantText(&index));
        *pID = static_cast<ElemType>(value);
        SDK_TRACE_EXIT(L"IEnumTypesImpl::get_Item", static_cast<long>(hr),
                       SdkTrace::VariantText(&index), static_cast<long>(value));
        return hr;
    }
    SDK_CATCH_RETURN()

    // A copy of the elements, the keys, the cursor and the locale, without binding: it enumerates
    // and indexes, but cannot edit (Add E_NOINTERFACE, Delete 0x80042A3A, Clear does nothing).
    STDMETHOD(Clone)(Interface** ppCopy) override try {
        SDK_OWNER_CALL_GUARD();
        SDK_TRACE_ENTRY(L"IEnumTypesImpl::Clone");
        if (ppCopy == nullptr) return NullArgument("Invalid pointer ppCopy");
        *ppCopy = nullptr;

        ComLib::CComObject<T>* copy = nullptr;
        HRESULT hr = ComLib::CComObject<T>::CreateInstance(&copy);
        if (FAILED(hr)) {
            Report(Pravhelper500::MSG_CLONE_FAILED, KV_E_CLONEFAILED);
            SDK_TRACE_EXIT(L"IEnumTypesImpl::Clone", static_cast<unsigned int>(KV_E_CLONEFAILED),
                           SdkTrace::PointerText(nullptr));
            return KV_E_CLONEFAILED;
        }
        Microsoft::WRL::ComPtr<Interface> holder;
        hr = copy->QueryInterface(*piid, reinterpret_cast<void**>(holder.GetAddressOf()));
        if (FAILED(hr)) {
            delete copy;  // never handed out: reference count 0
            SDK_TRACE_RETURN(L"IEnumTypesImpl::Clone", hr, SdkTrace::PointerText(nullptr));
        }
        {
            ComLib::CComObjectLock<T> lock(Owner());
            IEnumTypesImpl& target = *copy;
            hr = m_store.CopyTo(target.m_store);
            target.m_cursor = m_cursor;
            copy->m_ObjectLocale = Owner()->m_ObjectLocale.load();
        }
        if (FAILED(hr))
            SDK_TRACE_RETURN(L"IEnumTypesImpl::Clone", hr, SdkTrace::PointerText(nullptr));
        *ppCopy = holder.Detach();
        SDK_TRACE_EXIT(L"IEnumTypesImpl::Clone", static_cast<long>(hr),
                       SdkTrace::PointerText(*ppCopy));
        return hr;
    }
    SDK_CATCH_RETURN()

protected:
    T* Owner() noexcept { return static_cast<T*>(this); }
    const T* Owner() const noexcept { return static_cast<const T*>(this); }

    // An error report of the collection (its class and interface), returning status.
    static HRESULT Report(UINT messageId, HRESULT status,
                          const Zentil500::SIArray<Zentil500::SWCharString>& arguments = {}) {
        return Pravhelper500::ReportTormicError(*pclsid, *piid, messageId, arguments, status);
    }

    // A null argument: the assertion with `message`, then message 42505 with E_POINTER.
    HRESULT NullArgument(const char* message) {
        SDK_ASSERT_FAILED(message);
        return Report(Pravhelper500::MSG_INVALID_POINTER, E_POINTER);
    }

    // Index resolution on a dereferenced index: the element it designates. Requires the lock.
    bool FindLocked(const VARIANT& index, SdkEnum::ElementStore::Sequence* sequence) {
        const int size = m_store.Count();
        long number = 0;
        switch (V_VT(&index)) {
            case VT_BSTR:
                // A text is a key, never a number.
                return m_store.FindKey(SdkTrace::BstrText(V_BSTR(&index)), sequence);
            case VT_EMPTY:
            case VT_ERROR:  // an omitted argument
                number = 1;
                break;
            default: {
                ComLib::ScopedVariant converted;
                if (FAILED(converted.CopyFrom(index)) || FAILED(converted.ChangeType(VT_I4)))
                    return false;
                number = V_I4(&converted.Get());
            }
        }
        if (number < 1 || number > size) return false;
        *sequence = m_store.SequenceAt(static_cast<int>(number - 1));
        return true;
    }

    // The element Delete removes for an index that resolved to id, whose key's first occurrence
    // is `first`: a position designates its own element when that element has the key "#id" (an
    // ID or object element); a key designates the first occurrence. Requires the lock.
    SdkEnum::ElementStore::Sequence OccurrenceLocked(const VARIANT& index, long id,
                                                     SdkEnum::ElementStore::Sequence first) {
        ComLib::ScopedVariant resolved;
        if (FAILED(VariantCopyInd(resolved.Ptr(), const_cast<VARIANT*>(&index))) ||
            resolved.Type() == VT_BSTR)
            return first;
        SdkEnum::ElementStore::Sequence designated = 0;
        if (!FindLocked(resolved.Get(), &designated)) return first;
        const VARIANT& element = m_store.Element(designated);
        long elementId = 0;
        if ((V_VT(&element) == VT_I4 || V_VT(&element) == VT_DISPATCH) &&
            SUCCEEDED(SdkEnum::ElementId(element, &elementId)) && elementId == id)
            return designated;
        return first;
    }

    // Message 42208 with the index as text, status 0x80042A37.
    HRESULT ReportIndexNotFound(const ComLib::ScopedVariant& index) {
        ComLib::ScopedVariant text;
        Zentil500::SIArray<Zentil500::SWCharString> arguments;
        if (SUCCEEDED(text.CopyFrom(index.Get())) && SUCCEEDED(text.ChangeType(VT_BSTR)))
            arguments.Add(SdkTrace::BstrText(V_BSTR(&text.Get())));
        else
            arguments.Add(Zentil500::SWCharString());
        return Report(Pravhelper500::MSG_INDEX_NOT_FOUND, KV_E_PROPERTYNOTFOUND, arguments);
    }

    // Guarded by the owner's lock:
    SdkEnum::ElementStore m_store;  // the elements in list order and their keys
    ULONG m_cursor = 0;             // position of the next element for Next
};
