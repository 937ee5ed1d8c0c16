// Property bags (ISProperties, and the same bag as a list through ISPropertyBagCollection), their
// properties (ISProperty) and the snapshot enumerator handed out by _NewEnum.
//
// A bag is an ordered set of named properties, names compared without regard to case. Each
// property holds a VARIANT value, 32-bit flags and, once asked for (ISProperty::get_Properties),
// a nested bag. A bag and everything inside it (properties, nested bags, their properties) share
// one lock and one change counter: the bag tree.
//
// List view. The list of a bag is configured by Setup(count name, prefix), by default
// ("SI_TOTAL", ""). Its elements are the properties named prefix + "1" .. prefix + "n" (decimal,
// no sign or leading zero), n being the value of the count property. Elements are kept by
// position, so their names follow their positions: removing position p renames the later
// elements down by one. Append adds position n + 1 and writes n + 1 into the count property
// (creating it when missing). Writing the count property (put_Value, Add) resizes the list:
// shrinking drops the elements past the new count; growing takes in the properties already
// named prefix + i and leaves the other new positions empty (Item of an empty position fails
// with KV_E_PROPERTYNOTFOUND). Removing an element by name through ISProperties leaves its
// position empty; removing the count property makes the elements ordinary properties again.
// The generic view lists the ordinary properties in the order they were added, then the
// elements in position order.
//
// Costs: Append, Item by position and lookup by name are O(1); the duplicate check and removal
// by ID text use a value index kept with the list (built on first need, O(n) once); removal by
// position moves the shorter side of the list (removing from the front is O(1)).
#pragma once

#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hostcore.h"

namespace RefHost::Detail {

class CBag;

// The lock and change counter shared by a bag and everything inside it.
struct BagTree {
    HostLock lock;
    std::atomic<std::uint64_t> generation{0};
};

// The largest count a list may be given; larger counts are refused with E_INVALIDARG.
inline constexpr long kMaxListCount = 1L << 24;

class CProperty final
    : public ComLib::IDispatchImpl<ISProperty, &IID_ISProperty, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CProperty(std::shared_ptr<BagTree> tree, long id) noexcept;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;

    STDMETHOD(get_Value)(VARIANT* pValue) override;
    // Replaces the value (a copy; by-reference values dereferenced). The count property of the
    // owner's list accepts only values that convert to an integer 0..kMaxListCount.
    STDMETHOD(put_Value)(VARIANT value) override;
    STDMETHOD(get_Name)(BSTR* pName) override;
    // A number unique within the bag that made the property.
    STDMETHOD(get_ID)(LONG* pID) override;
    STDMETHOD(get_Flags)(LONG* pFlags) override;
    STDMETHOD(put_Flags)(LONG flags) override;
    // The nested bag, made empty on the first request and kept with the property.
    STDMETHOD(get_Properties)(ISProperties** ppProperties) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISProperty*>(this); }

  private:
    friend class CBag;
    ~CProperty() override = default;

    const std::shared_ptr<BagTree> m_tree;
    const long m_id;
    // Guarded by m_tree->lock:
    CBag* m_owner = nullptr;       // the bag holding the property; null once removed (not owning)
    bool m_element = false;        // an element of the owner's list (its name is its position)
    std::uint64_t m_sequence = 0;  // element: order key, ascending with the position
    size_t m_slot = 0;             // ordinary property: index in the owner's ordinary storage
    std::wstring m_name;           // ordinary or removed property
    Variant m_value;
    long m_flags = 0;
    ComPtr<CBag> m_nested;
};

class CBag final
    : public ComLib::IDispatchImpl<ISProperties, &IID_ISProperties, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    explicit CBag(std::shared_ptr<BagTree> tree) noexcept;
    // A new empty bag with a tree of its own. Throws std::bad_alloc.
    static ComPtr<CBag> Create();

    REFHOST_REFCOUNT
    // IUnknown, IDispatch, ISProperties: this face; ISPropertyBagCollection: the list face.
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;

    // ISProperties. Names given as VARIANTs (Item, Remove) are converted to text, so the VT_I4 42
    // names the property "42".
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;  // the ISProperty objects (VT_DISPATCH)
    STDMETHOD(get_Names)(VARIANT* pNames) override;       // VT_ARRAY | VT_BSTR
    STDMETHOD(Exists)(BSTR name, VARIANT_BOOL* pExists) override;
    STDMETHOD(Clear)() override;
    STDMETHOD(get_Item)(VARIANT name, ISProperty** ppProperty) override;
    STDMETHOD(Copy)(ISProperties** ppCopy) override;  // deep copy, a tree of its own
    // Adds the property, or replaces value and flags of an existing one (same property object,
    // nested bag kept). E_INVALIDARG for an empty name.
    STDMETHOD(Add)(BSTR name, VARIANT value, LONG flags, ISProperty** ppProperty) override;
    STDMETHOD(Remove)(VARIANT name) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISProperties*>(this); }

    // ---- Internal access for the other host objects (no hook; each takes the tree lock)

    const std::shared_ptr<BagTree>& Tree() const noexcept { return m_tree; }
    std::uint64_t Generation() const noexcept { return m_tree->generation.load(); }
    // The value of a property; KV_E_PROPERTYNOTFOUND when absent.
    HRESULT GetValue(std::wstring_view name, VARIANT* value);
    // Adds the property with newFlags, or replaces the value of an existing one (flags kept).
    HRESULT SetValue(std::wstring_view name, const VARIANT& value, long newFlags = 0);
    // Adds the property, or replaces value and flags of an existing one.
    HRESULT AddProperty(std::wstring_view name, const VARIANT& value, long flags,
                        ComPtr<CProperty>* property = nullptr);
    // As AddProperty, taking the value over (`value` is left empty).
    HRESULT TakeProperty(std::wstring_view name, VARIANT& value, long flags,
                         ComPtr<CProperty>* property);
    HRESULT RemoveProperty(std::wstring_view name);
    bool HasProperty(std::wstring_view name);
    // The nested bag of the named property; the property is added (empty text, `flags`) when
    // absent.
    HRESULT NestedBag(std::wstring_view name, long flags, ComPtr<CBag>* bag);
    // A deep copy with a tree of its own: values copied, nested bags copied; an element whose
    // value is its own nested bag (AppendBag) gets the copied bag as value. Other object values
    // are shared (the reference is copied).
    ComPtr<CBag> DeepCopy();
    // Replaces the contents (and list setup) of this bag by a deep copy of source's.
    void ReplaceContents(CBag& source);

    // The bag as text and back (see serialize.cpp for the format).
    std::wstring SerializeText();
    // Replaces the contents with those described by text; on a malformed text nothing changes
    // and E_INVALIDARG is returned.
    HRESULT DeserializeText(std::wstring_view text);
    // Merges the properties described by text into the bag (added or replaced).
    HRESULT MergeText(std::wstring_view text);

  private:
    friend class CProperty;

    // The list face: forwards IUnknown to the bag and its members to the bag's List_ members.
    class ListFace final
        : public ComLib::IDispatchImpl<ISPropertyBagCollection, &IID_ISPropertyBagCollection,
                                       &LIBID_KorvelInfoStoreLib> {
      public:
        explicit ListFace(CBag& bag) noexcept : m_bag(bag) {}
        STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
            return m_bag.QueryInterface(iid, ppv);
        }
        STDMETHOD_(ULONG, AddRef)() override { return m_bag.AddRef(); }
        STDMETHOD_(ULONG, Release)() override { return m_bag.Release(); }
        STDMETHOD(get_Count)(LONG* p) override { return m_bag.List_get_Count(p); }
        STDMETHOD(get_Item)(VARIANT position, VARIANT* p) override {
            return m_bag.List_get_Item(position, p);
        }
        STDMETHOD(get__NewEnum)(IUnknown** p) override { return m_bag.List_get__NewEnum(p); }
        STDMETHOD(get_Bag)(ISProperties** p) override { return m_bag.List_get_Bag(p); }
        STDMETHOD(Setup)(BSTR countName, BSTR prefix) override {
            return m_bag.List_Setup(countName, prefix);
        }
        STDMETHOD(Append)(VARIANT value) override { return m_bag.List_Append(value); }
        STDMETHOD(Remove)(VARIANT position) override { return m_bag.List_Remove(position); }
        STDMETHOD(AppendBag)(ISProperties** p) override { return m_bag.List_AppendBag(p); }
        STDMETHOD(RemoveAll)() override { return m_bag.List_RemoveAll(); }
        STDMETHOD(Find)(VARIANT value, LONG* p) override { return m_bag.List_Find(value, p); }
        STDMETHOD(SetFlags)(VARIANT name, LONG flags) override {
            return m_bag.List_SetFlags(name, flags);
        }
        STDMETHOD(ClearFlags)(VARIANT name, LONG flags) override {
            return m_bag.List_ClearFlags(name, flags);
        }

      private:
        CBag& m_bag;
    };

    // An element position: its order key and its property (null: an empty position).
    struct Slot {
        std::uint64_t sequence;
        ComPtr<CProperty> property;
    };

    ~CBag() override;

    // ISPropertyBagCollection members.
    HRESULT List_get_Count(LONG* pCount) noexcept;
    // position: a value that converts to an integer 1..n.
    HRESULT List_get_Item(VARIANT position, VARIANT* pValue) noexcept;
    HRESULT List_get__NewEnum(IUnknown** ppEnum) noexcept;  // the element values
    HRESULT List_get_Bag(ISProperties** ppBag) noexcept;
    // E_INVALIDARG for an empty count name or one that is itself an element name.
    HRESULT List_Setup(BSTR countName, BSTR prefix) noexcept;
    // KV_E_VALUEALREADYINLIST when an element holds an equal value (equal text: the VT_I4 5 and
    // the text "5" are equal; objects by identity; empty values are never equal).
    HRESULT List_Append(VARIANT value) noexcept;
    // VT_BSTR: the first element whose value has that text; otherwise a position 1..n.
    HRESULT List_Remove(VARIANT position) noexcept;
    // Appends an element whose value is (and whose nested bag is) a new empty bag.
    HRESULT List_AppendBag(ISProperties** ppElementBag) noexcept;
    HRESULT List_RemoveAll() noexcept;
    // Position of the first element with an equal value; KV_E_PROPERTYNOTFOUND when none.
    HRESULT List_Find(VARIANT value, LONG* pPosition) noexcept;
    HRESULT List_SetFlags(VARIANT name, LONG flags) noexcept;
    HRESULT List_ClearFlags(VARIANT name, LONG flags) noexcept;
    HRESULT ChangeFlags(const VARIANT& name, LONG flags, bool set);

    // ---- Everything below requires the tree lock.
    CProperty* LookupLocked(std::wstring_view name);
    CProperty* LookupOrdinaryLocked(std::wstring_view name);
    CProperty* CountPropertyLocked();
    // 1.. when name is prefix + a canonical decimal number, else 0 (whatever the count).
    size_t ElementNumberLocked(std::wstring_view name) const;
    size_t PositionLocked(const CProperty& property) const;  // 1-based
    std::wstring ElementNameLocked(size_t position) const;
    std::wstring NameLocked(const CProperty& property) const;
    size_t CountLocked() const noexcept { return m_elements.size(); }

    ComPtr<CProperty> NewPropertyLocked();
    void InsertOrdinaryLocked(const ComPtr<CProperty>& property, std::wstring name);
    // The same with the name folded already (FoldName).
    void InsertOrdinaryLocked(const ComPtr<CProperty>& property, std::wstring name,
                              std::wstring folded);
    ComPtr<CProperty> TakeOrdinaryLocked(CProperty& property);
    static void DetachLocked(CProperty& property, std::wstring name);

    HRESULT AddLocked(std::wstring_view name, VARIANT& value, long flags, bool replaceFlags,
                      ComPtr<CProperty>* added);
    HRESULT RemoveLocked(std::wstring_view name);
    HRESULT SetPropertyValueLocked(CProperty& property, VARIANT& value);
    HRESULT AppendLocked(VARIANT& value, bool checkDuplicate, CProperty** appended);
    void RemovePositionLocked(size_t position);
    void ResizeLocked(size_t count);
    void ElementsToOrdinaryLocked();
    void EnsureCountPropertyLocked();
    void WriteCountLocked();
    void ClearLocked();
    void CopyContentsLocked(const CBag& source);

    // Value index of the elements (text of the value -> element).
    static bool ValueKey(const VARIANT& value, std::wstring& key);
    void RebuildIndexLocked();
    void IndexAddLocked(CProperty& property);
    void IndexRemoveLocked(CProperty& property);
    CProperty* FindByKeyLocked(const std::wstring& key);

    void ChangedLocked() noexcept { ++m_tree->generation; }

    const std::shared_ptr<BagTree> m_tree;
    ListFace m_list{*this};
    // Guarded by m_tree->lock:
    std::vector<ComPtr<CProperty>> m_ordinary;              // in order of addition; null: removed
    size_t m_ordinaryRemoved = 0;                           // null entries in m_ordinary
    std::unordered_map<std::wstring, CProperty*> m_byName;  // folded name -> ordinary property
    std::deque<Slot> m_elements;                            // positions 1..n
    size_t m_emptyPositions = 0;
    std::uint64_t m_nextSequence = 1;
    long m_nextPropertyId = 1;
    std::wstring m_countName = L"SI_TOTAL";
    std::wstring m_prefix;
    std::unordered_multimap<std::wstring, CProperty*> m_valueIndex;
    bool m_indexValid = true;
};

// IEnumVARIANT over a snapshot of values; clones share the snapshot.
class CVariantEnum final : public IEnumVARIANT, public HostObject {
  public:
    struct Snapshot {
        std::vector<VARIANT> values;
        Snapshot() = default;
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;
        ~Snapshot() {
            for (VARIANT& value : values) VariantClear(&value);
        }
        // Appends a copy of value. Throws std::bad_alloc; another copy failure is returned.
        HRESULT Add(const VARIANT& value);
    };

    explicit CVariantEnum(std::shared_ptr<const Snapshot> snapshot, ULONG position = 0) noexcept
        : m_snapshot(std::move(snapshot)), m_position(position) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(Next)(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumVARIANT** ppEnum) override;

    IUnknown* HostIdentity() noexcept { return static_cast<IEnumVARIANT*>(this); }

  private:
    ~CVariantEnum() override = default;
    const std::shared_ptr<const Snapshot> m_snapshot;
    HostLock m_lock;
    ULONG m_position;  // guarded by m_lock
};

}  // namespace RefHost::Detail
