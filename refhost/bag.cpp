// Property bags, their list view and their properties.
#include "bag.h"

#include <algorithm>
#include <mutex>

namespace RefHost::Detail {

namespace {

using TreeGuard = std::lock_guard<HostLock>;

// The text a VARIANT name argument stands for.
HRESULT NameArgument(const VARIANT& name, std::wstring& text) {
    const HRESULT hr = VariantToText(name, text);
    return FAILED(hr) ? hr : (text.empty() ? E_INVALIDARG : S_OK);
}

}  // namespace

// =============================================================================================
// CProperty

CProperty::CProperty(std::shared_ptr<BagTree> tree, long id) noexcept
    : m_tree(std::move(tree)), m_id(id) {}

STDMETHODIMP CProperty::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISProperty::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ISProperty)
        *ppv = static_cast<ISProperty*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP CProperty::get_Value(VARIANT* pValue) try {
    HOST_HOOK("ISProperty::get_Value");
    if (pValue == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    return m_value.CopyTo(pValue);
}
HOST_CATCH()

STDMETHODIMP CProperty::put_Value(VARIANT value) try {
    HOST_HOOK("ISProperty::put_Value", value);
    TreeGuard guard(m_tree->lock);
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    if (m_owner != nullptr) return m_owner->SetPropertyValueLocked(*this, *copy.get());
    m_value.Take(*copy.get());
    ++m_tree->generation;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CProperty::get_Name(BSTR* pName) try {
    HOST_HOOK("ISProperty::get_Name");
    if (pName == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    return ReturnText(m_owner != nullptr ? m_owner->NameLocked(*this) : m_name, pName);
}
HOST_CATCH()

STDMETHODIMP CProperty::get_ID(LONG* pID) try {
    HOST_HOOK("ISProperty::get_ID");
    if (pID == nullptr) return E_POINTER;
    *pID = m_id;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CProperty::get_Flags(LONG* pFlags) try {
    HOST_HOOK("ISProperty::get_Flags");
    if (pFlags == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    *pFlags = m_flags;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CProperty::put_Flags(LONG flags) try {
    HOST_HOOK("ISProperty::put_Flags", flags);
    TreeGuard guard(m_tree->lock);
    m_flags = flags;
    ++m_tree->generation;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CProperty::get_Properties(ISProperties** ppProperties) try {
    HOST_HOOK("ISProperty::get_Properties");
    if (ppProperties == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    if (!m_nested) m_nested = Make<CBag>(m_tree);
    *ppProperties = m_nested.Get();
    m_nested->AddRef();
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CBag: life, identity

CBag::CBag(std::shared_ptr<BagTree> tree) noexcept : m_tree(std::move(tree)) {}

ComPtr<CBag> CBag::Create() {
    return Make<CBag>(std::make_shared<BagTree>());
}

CBag::~CBag() {
    // Properties still held by clients live on without a bag, under their last names.
    TreeGuard guard(m_tree->lock);
    for (size_t i = 0; i < m_elements.size(); ++i) {
        CProperty* property = m_elements[i].property.Get();
        if (property == nullptr) continue;
        try {
            DetachLocked(*property, ElementNameLocked(i + 1));
        } catch (...) {
            DetachLocked(*property, std::wstring());
        }
    }
    for (auto& property : m_ordinary)
        if (property) property->m_owner = nullptr;
}

STDMETHODIMP CBag::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISProperties::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ISProperties)
        *ppv = static_cast<ISProperties*>(this);
    else if (iid == IID_ISPropertyBagCollection)
        *ppv = static_cast<ISPropertyBagCollection*>(&m_list);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

// =============================================================================================
// CBag: lookup and storage (tree lock held)

size_t CBag::ElementNumberLocked(std::wstring_view name) const {
    if (name.size() <= m_prefix.size() || name.size() - m_prefix.size() > 9) return 0;
    if (!m_prefix.empty() && !SameName(name.substr(0, m_prefix.size()), m_prefix)) return 0;
    const std::wstring_view digits = name.substr(m_prefix.size());
    if (digits[0] == L'0') return 0;
    size_t number = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return 0;
        number = number * 10 + static_cast<size_t>(c - L'0');
    }
    return number;
}

CProperty* CBag::LookupOrdinaryLocked(std::wstring_view name) {
    const auto found = m_byName.find(FoldName(name));
    return found == m_byName.end() ? nullptr : found->second;
}

CProperty* CBag::LookupLocked(std::wstring_view name) {
    const size_t number = ElementNumberLocked(name);
    if (number != 0 && number <= CountLocked()) return m_elements[number - 1].property.Get();
    return LookupOrdinaryLocked(name);
}

CProperty* CBag::CountPropertyLocked() {
    return LookupOrdinaryLocked(m_countName);
}

size_t CBag::PositionLocked(const CProperty& property) const {
    const auto found =
        std::lower_bound(m_elements.begin(), m_elements.end(), property.m_sequence,
                         [](const Slot& slot, std::uint64_t key) { return slot.sequence < key; });
    return static_cast<size_t>(found - m_elements.begin()) + 1;
}

std::wstring CBag::ElementNameLocked(size_t position) const {
    return m_prefix + DecimalText(static_cast<long long>(position));
}

std::wstring CBag::NameLocked(const CProperty& property) const {
    return property.m_element ? ElementNameLocked(PositionLocked(property)) : property.m_name;
}

ComPtr<CProperty> CBag::NewPropertyLocked() {
    ComPtr<CProperty> property = Make<CProperty>(m_tree, m_nextPropertyId);
    ++m_nextPropertyId;
    return property;
}

void CBag::InsertOrdinaryLocked(const ComPtr<CProperty>& property, std::wstring name) {
    std::wstring folded = FoldName(name);
    InsertOrdinaryLocked(property, std::move(name), std::move(folded));
}

void CBag::InsertOrdinaryLocked(const ComPtr<CProperty>& property, std::wstring name,
                                std::wstring folded) {
    m_ordinary.push_back(property);
    try {
        m_byName.emplace(std::move(folded), property.Get());
    } catch (...) {
        m_ordinary.pop_back();
        throw;
    }
    property->m_slot = m_ordinary.size() - 1;
    property->m_name = std::move(name);
    property->m_element = false;
    property->m_owner = this;
}

ComPtr<CProperty> CBag::TakeOrdinaryLocked(CProperty& property) {
    const std::wstring folded = FoldName(property.m_name);  // may throw: before any change
    ComPtr<CProperty> taken = std::move(m_ordinary[property.m_slot]);
    m_byName.erase(folded);
    ++m_ordinaryRemoved;
    // Compact in place once most entries are gone (no allocation).
    if (m_ordinaryRemoved > 16 && m_ordinaryRemoved * 2 > m_ordinary.size()) {
        size_t kept = 0;
        for (size_t i = 0; i < m_ordinary.size(); ++i) {
            if (!m_ordinary[i]) continue;
            m_ordinary[i]->m_slot = kept;
            if (kept != i) m_ordinary[kept] = std::move(m_ordinary[i]);
            ++kept;
        }
        m_ordinary.resize(kept);
        m_ordinaryRemoved = 0;
    }
    return taken;
}

void CBag::DetachLocked(CProperty& property, std::wstring name) {
    property.m_owner = nullptr;
    property.m_element = false;
    property.m_name = std::move(name);
}

void CBag::EnsureCountPropertyLocked() {
    if (CountPropertyLocked() != nullptr) return;
    ComPtr<CProperty> count = NewPropertyLocked();
    count->m_value.SetLong(static_cast<long>(CountLocked()));
    InsertOrdinaryLocked(count, m_countName);
}

void CBag::WriteCountLocked() {
    if (CProperty* count = CountPropertyLocked())
        count->m_value.SetLong(static_cast<long>(CountLocked()));
}

// =============================================================================================
// CBag: value index (tree lock held)

bool CBag::ValueKey(const VARIANT& value, std::wstring& key) {
    switch (V_VT(&value)) {
        case VT_I4:
            key = DecimalText(V_I4(&value));
            return true;
        case VT_BSTR:
            key.assign(TextOf(V_BSTR(&value)));
            return true;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (V_UNKNOWN(&value) == nullptr) return false;
            // Objects are equal only to themselves; the leading control character keeps their
            // keys apart from every text.
            key = L"\x01" + ArgText(static_cast<const void*>(V_UNKNOWN(&value)));
            return true;
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
        case VT_BOOL:
            return SUCCEEDED(VariantToText(value, key));
        default:
            return false;
    }
}

void CBag::RebuildIndexLocked() {
    m_valueIndex.clear();
    m_indexValid = false;
    std::wstring key;
    for (const Slot& slot : m_elements)
        if (slot.property && ValueKey(slot.property->m_value.ref(), key))
            m_valueIndex.emplace(key, slot.property.Get());
    m_indexValid = true;
}

void CBag::IndexAddLocked(CProperty& property) {
    if (!m_indexValid) return;
    std::wstring key;
    if (!ValueKey(property.m_value.ref(), key)) return;
    try {
        m_valueIndex.emplace(std::move(key), &property);
    } catch (...) {
        m_indexValid = false;  // rebuilt on the next need
        throw;
    }
}

void CBag::IndexRemoveLocked(CProperty& property) {
    if (!m_indexValid) return;
    std::wstring key;
    if (!ValueKey(property.m_value.ref(), key)) return;
    auto [first, last] = m_valueIndex.equal_range(key);
    for (; first != last; ++first)
        if (first->second == &property) {
            m_valueIndex.erase(first);
            return;
        }
}

CProperty* CBag::FindByKeyLocked(const std::wstring& key) {
    if (!m_indexValid) RebuildIndexLocked();
    auto [first, last] = m_valueIndex.equal_range(key);
    CProperty* best = nullptr;
    size_t bestPosition = 0;
    for (; first != last; ++first) {
        const size_t position = PositionLocked(*first->second);
        if (best == nullptr || position < bestPosition) {
            best = first->second;
            bestPosition = position;
        }
    }
    return best;
}

// =============================================================================================
// CBag: changes (tree lock held)

HRESULT CBag::AddLocked(std::wstring_view name, VARIANT& value, long flags, bool replaceFlags,
                        ComPtr<CProperty>* added) {
    if (name.empty()) return E_INVALIDARG;
    ComPtr<CProperty> property;
    if (SameName(name, m_countName)) {
        long count = 0;
        HRESULT hr = VariantToLong(value, count);
        if (FAILED(hr)) return hr;
        if (count < 0 || count > kMaxListCount) return E_INVALIDARG;
        property = CountPropertyLocked();
        const bool isNew = !property;
        if (isNew) {
            property = NewPropertyLocked();
            InsertOrdinaryLocked(property, std::wstring(name));
        }
        ResizeLocked(static_cast<size_t>(count));
        property->m_value.SetLong(count);
        if (isNew || replaceFlags) property->m_flags = flags;
    } else if (const size_t number = ElementNumberLocked(name);
               number != 0 && number <= CountLocked()) {
        Slot& slot = m_elements[number - 1];
        if (slot.property) {
            property = slot.property;
            IndexRemoveLocked(*property.Get());
            property->m_value.Take(value);
            if (replaceFlags) property->m_flags = flags;
        } else {
            property = NewPropertyLocked();
            property->m_element = true;
            property->m_sequence = slot.sequence;
            property->m_owner = this;
            property->m_value.Take(value);
            property->m_flags = flags;
            slot.property = property;
            --m_emptyPositions;
        }
        IndexAddLocked(*property.Get());
    } else {
        // An ordinary property: the name is folded once for the look-up and the insertion.
        std::wstring folded = FoldName(name);
        const auto existing = m_byName.find(folded);
        if (existing != m_byName.end()) {
            property = existing->second;
            property->m_value.Take(value);
            if (replaceFlags) property->m_flags = flags;
        } else {
            property = NewPropertyLocked();
            property->m_value.Take(value);
            property->m_flags = flags;
            InsertOrdinaryLocked(property, std::wstring(name), std::move(folded));
        }
    }
    ChangedLocked();
    if (added != nullptr) *added = std::move(property);
    return S_OK;
}

HRESULT CBag::RemoveLocked(std::wstring_view name) {
    if (SameName(name, m_countName)) {
        CProperty* count = CountPropertyLocked();
        if (count == nullptr) return KV_E_PROPERTYNOTFOUND;
        // Without a count the elements are ordinary properties again.
        ElementsToOrdinaryLocked();
        ComPtr<CProperty> taken = TakeOrdinaryLocked(*count);
        DetachLocked(*taken.Get(), taken->m_name);
    } else if (const size_t number = ElementNumberLocked(name);
               number != 0 && number <= CountLocked()) {
        Slot& slot = m_elements[number - 1];
        if (!slot.property) return KV_E_PROPERTYNOTFOUND;
        IndexRemoveLocked(*slot.property.Get());
        DetachLocked(*slot.property.Get(), ElementNameLocked(number));
        slot.property.Reset();
        ++m_emptyPositions;
    } else {
        CProperty* existing = LookupOrdinaryLocked(name);
        if (existing == nullptr) return KV_E_PROPERTYNOTFOUND;
        ComPtr<CProperty> taken = TakeOrdinaryLocked(*existing);
        DetachLocked(*taken.Get(), taken->m_name);
    }
    ChangedLocked();
    return S_OK;
}

HRESULT CBag::SetPropertyValueLocked(CProperty& property, VARIANT& value) {
    if (!property.m_element && SameName(property.m_name, m_countName)) {
        long count = 0;
        HRESULT hr = VariantToLong(value, count);
        if (FAILED(hr)) return hr;
        if (count < 0 || count > kMaxListCount) return E_INVALIDARG;
        ResizeLocked(static_cast<size_t>(count));
        property.m_value.SetLong(count);
    } else if (property.m_element) {
        IndexRemoveLocked(property);
        property.m_value.Take(value);
        IndexAddLocked(property);
    } else {
        property.m_value.Take(value);
    }
    ChangedLocked();
    return S_OK;
}

HRESULT CBag::AppendLocked(VARIANT& value, bool checkDuplicate, CProperty** appended) {
    if (CountLocked() >= static_cast<size_t>(kMaxListCount)) return E_OUTOFMEMORY;
    if (checkDuplicate) {
        std::wstring key;
        if (ValueKey(value, key) && FindByKeyLocked(key) != nullptr) return KV_E_VALUEALREADYINLIST;
    }
    // Everything that may fail comes before the list changes.
    EnsureCountPropertyLocked();
    const size_t position = CountLocked() + 1;
    CProperty* named = LookupOrdinaryLocked(ElementNameLocked(position));
    ComPtr<CProperty> property = named ? ComPtr<CProperty>(named) : NewPropertyLocked();
    m_elements.push_back(Slot{m_nextSequence, nullptr});
    if (named != nullptr) TakeOrdinaryLocked(*named);
    property->m_element = true;
    property->m_sequence = m_nextSequence++;
    property->m_owner = this;
    property->m_name.clear();
    property->m_value.Take(value);
    m_elements.back().property = property;
    WriteCountLocked();
    ChangedLocked();
    IndexAddLocked(*property.Get());
    if (appended != nullptr) *appended = property.Get();
    return S_OK;
}

void CBag::RemovePositionLocked(size_t position) {
    const auto at = m_elements.begin() + static_cast<std::ptrdiff_t>(position - 1);
    if (at->property) {
        IndexRemoveLocked(*at->property.Get());
        DetachLocked(*at->property.Get(), ElementNameLocked(position));
    } else {
        --m_emptyPositions;
    }
    m_elements.erase(at);
    WriteCountLocked();
    ChangedLocked();
}

void CBag::ResizeLocked(size_t count) {
    while (CountLocked() > count) {
        Slot& last = m_elements.back();
        if (last.property) {
            IndexRemoveLocked(*last.property.Get());
            DetachLocked(*last.property.Get(), ElementNameLocked(CountLocked()));
        } else {
            --m_emptyPositions;
        }
        m_elements.pop_back();
    }
    while (CountLocked() < count) {
        const size_t position = CountLocked() + 1;
        CProperty* named = LookupOrdinaryLocked(ElementNameLocked(position));
        m_elements.push_back(Slot{m_nextSequence++, nullptr});
        if (named == nullptr) {
            ++m_emptyPositions;
            continue;
        }
        ComPtr<CProperty> taken = TakeOrdinaryLocked(*named);
        taken->m_element = true;
        taken->m_sequence = m_elements.back().sequence;
        taken->m_name.clear();
        IndexAddLocked(*taken.Get());
        m_elements.back().property = std::move(taken);
    }
}

void CBag::ElementsToOrdinaryLocked() {
    // Names are fixed first, while positions still hold.
    for (size_t i = 0; i < m_elements.size(); ++i)
        if (m_elements[i].property) m_elements[i].property->m_name = ElementNameLocked(i + 1);
    while (!m_elements.empty()) {
        Slot& first = m_elements.front();
        if (first.property) InsertOrdinaryLocked(first.property, first.property->m_name);
        m_elements.pop_front();
    }
    m_emptyPositions = 0;
    m_valueIndex.clear();
    m_indexValid = true;
}

void CBag::ClearLocked() {
    for (size_t i = 0; i < m_elements.size(); ++i)
        if (m_elements[i].property)
            DetachLocked(*m_elements[i].property.Get(), ElementNameLocked(i + 1));
    for (auto& property : m_ordinary)
        if (property) DetachLocked(*property.Get(), property->m_name);
    m_elements.clear();
    m_emptyPositions = 0;
    m_ordinary.clear();
    m_ordinaryRemoved = 0;
    m_byName.clear();
    m_valueIndex.clear();
    m_indexValid = true;
    ChangedLocked();
}

// Copies source's contents into this empty bag of another tree. Source's tree lock is held; this
// bag is not yet shared, so its own lock is not needed.
void CBag::CopyContentsLocked(const CBag& source) {
    m_countName = source.m_countName;
    m_prefix = source.m_prefix;
    auto copyProperty = [this](const CProperty& from) {
        ComPtr<CProperty> to = Make<CProperty>(m_tree, from.m_id);
        to->m_flags = from.m_flags;
        if (from.m_nested) {
            to->m_nested = Make<CBag>(m_tree);
            to->m_nested->CopyContentsLocked(*from.m_nested.Get());
        }
        const VARIANT& value = from.m_value.ref();
        const bool ownNested = from.m_nested &&
                               (V_VT(&value) == VT_DISPATCH || V_VT(&value) == VT_UNKNOWN) &&
                               V_UNKNOWN(&value) == static_cast<ISProperties*>(from.m_nested.Get());
        if (ownNested) {
            VARIANT self;
            V_VT(&self) = V_VT(&value);
            V_DISPATCH(&self) = static_cast<ISProperties*>(to->m_nested.Get());
            to->m_value.CopyFrom(self);
        } else {
            const HRESULT hr = to->m_value.CopyFrom(value);
            if (FAILED(hr)) throw std::bad_alloc();
        }
        return to;
    };
    for (const auto& property : source.m_ordinary) {
        if (!property) continue;
        InsertOrdinaryLocked(copyProperty(*property.Get()), property->m_name);
    }
    for (const Slot& slot : source.m_elements) {
        m_elements.push_back(Slot{m_nextSequence++, nullptr});
        if (!slot.property) {
            ++m_emptyPositions;
            continue;
        }
        ComPtr<CProperty> copy = copyProperty(*slot.property.Get());
        copy->m_element = true;
        copy->m_sequence = m_elements.back().sequence;
        copy->m_owner = this;
        m_elements.back().property = std::move(copy);
    }
    m_nextPropertyId = source.m_nextPropertyId;
    m_indexValid = false;
}

// =============================================================================================
// CBag: internal access

HRESULT CBag::GetValue(std::wstring_view name, VARIANT* value) {
    TreeGuard guard(m_tree->lock);
    CProperty* property = LookupLocked(name);
    if (property == nullptr) return KV_E_PROPERTYNOTFOUND;
    return property->m_value.CopyTo(value);
}

HRESULT CBag::SetValue(std::wstring_view name, const VARIANT& value, long newFlags) {
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    if (CProperty* existing = LookupLocked(name))
        return SetPropertyValueLocked(*existing, *copy.get());
    return AddLocked(name, *copy.get(), newFlags, true, nullptr);
}

HRESULT CBag::TakeProperty(std::wstring_view name, VARIANT& value, long flags,
                           ComPtr<CProperty>* property) {
    TreeGuard guard(m_tree->lock);
    const HRESULT hr = AddLocked(name, value, flags, true, property);
    if (SUCCEEDED(hr)) VariantClear(&value);  // a list count is read, not taken
    return hr;
}

HRESULT CBag::AddProperty(std::wstring_view name, const VARIANT& value, long flags,
                          ComPtr<CProperty>* property) {
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    return AddLocked(name, *copy.get(), flags, true, property);
}

HRESULT CBag::RemoveProperty(std::wstring_view name) {
    TreeGuard guard(m_tree->lock);
    return RemoveLocked(name);
}

bool CBag::HasProperty(std::wstring_view name) {
    TreeGuard guard(m_tree->lock);
    return LookupLocked(name) != nullptr;
}

HRESULT CBag::NestedBag(std::wstring_view name, long flags, ComPtr<CBag>* bag) {
    TreeGuard guard(m_tree->lock);
    ComPtr<CProperty> property(LookupLocked(name));
    if (!property) {
        Variant empty;
        empty.SetText(L"");
        HRESULT hr = AddLocked(name, *empty.get(), flags, true, &property);
        if (FAILED(hr)) return hr;
    }
    if (!property->m_nested) property->m_nested = Make<CBag>(m_tree);
    *bag = property->m_nested;
    return S_OK;
}

ComPtr<CBag> CBag::DeepCopy() {
    ComPtr<CBag> copy = Create();
    TreeGuard guard(m_tree->lock);
    copy->CopyContentsLocked(*this);
    return copy;
}

void CBag::ReplaceContents(CBag& source) {
    ComPtr<CBag> copy = source.DeepCopy();  // source's lock only while copying
    TreeGuard guard(m_tree->lock);
    ClearLocked();
    // Re-home the copy into this tree: copy again under this bag's lock (the copy is private).
    CopyContentsLocked(*copy.Get());
    ChangedLocked();
}

// =============================================================================================
// CBag: ISProperties

STDMETHODIMP CBag::get_Count(LONG* pCount) try {
    HOST_HOOK("ISProperties::get_Count");
    if (pCount == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    *pCount =
        static_cast<LONG>(m_ordinary.size() - m_ordinaryRemoved + CountLocked() - m_emptyPositions);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::get__NewEnum(IUnknown** ppEnum) try {
    HOST_HOOK("ISProperties::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    {
        TreeGuard guard(m_tree->lock);
        snapshot->values.reserve(m_ordinary.size() + m_elements.size());
        VARIANT item;
        V_VT(&item) = VT_DISPATCH;
        for (const auto& property : m_ordinary) {
            if (!property) continue;
            V_DISPATCH(&item) = static_cast<ISProperty*>(property.Get());
            const HRESULT hr = snapshot->Add(item);
            if (FAILED(hr)) return hr;
        }
        for (const Slot& slot : m_elements) {
            if (!slot.property) continue;
            V_DISPATCH(&item) = static_cast<ISProperty*>(slot.property.Get());
            const HRESULT hr = snapshot->Add(item);
            if (FAILED(hr)) return hr;
        }
    }
    ComPtr<CVariantEnum> enumerator = Make<CVariantEnum>(std::move(snapshot));
    *ppEnum = static_cast<IEnumVARIANT*>(enumerator.Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::get_Names(VARIANT* pNames) try {
    HOST_HOOK("ISProperties::get_Names");
    if (pNames == nullptr) return E_POINTER;
    std::vector<std::wstring> names;
    {
        TreeGuard guard(m_tree->lock);
        for (const auto& property : m_ordinary)
            if (property) names.push_back(property->m_name);
        for (size_t i = 0; i < m_elements.size(); ++i)
            if (m_elements[i].property) names.push_back(ElementNameLocked(i + 1));
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(names.size()));
    if (array == nullptr) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(names.size()); ++i) {
        Bstr name(names[static_cast<size_t>(i)]);
        const HRESULT hr = SafeArrayPutElement(array, &i, name.get());  // copies the string
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    V_VT(pNames) = VT_ARRAY | VT_BSTR;
    V_ARRAY(pNames) = array;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::Exists(BSTR name, VARIANT_BOOL* pExists) try {
    HOST_HOOK("ISProperties::Exists", name);
    if (pExists == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    *pExists = LookupLocked(TextOf(name)) != nullptr ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::Clear() try {
    HOST_HOOK("ISProperties::Clear");
    TreeGuard guard(m_tree->lock);
    ClearLocked();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::get_Item(VARIANT name, ISProperty** ppProperty) try {
    HOST_HOOK("ISProperties::get_Item", name);
    if (ppProperty == nullptr) return E_POINTER;
    std::wstring text;
    HRESULT hr = NameArgument(name, text);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    CProperty* property = LookupLocked(text);
    if (property == nullptr) return KV_E_PROPERTYNOTFOUND;
    *ppProperty = property;
    property->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::Copy(ISProperties** ppCopy) try {
    HOST_HOOK("ISProperties::Copy");
    if (ppCopy == nullptr) return E_POINTER;
    *ppCopy = DeepCopy().Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::Add(BSTR name, VARIANT value, LONG flags, ISProperty** ppProperty) try {
    HOST_HOOK("ISProperties::Add", name, value, flags);
    if (ppProperty == nullptr) return E_POINTER;
    if (TextOf(name).empty()) return E_INVALIDARG;
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    ComPtr<CProperty> property;
    TreeGuard guard(m_tree->lock);
    hr = AddLocked(TextOf(name), *copy.get(), flags, true, &property);
    if (FAILED(hr)) return hr;
    *ppProperty = property.Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CBag::Remove(VARIANT name) try {
    HOST_HOOK("ISProperties::Remove", name);
    std::wstring text;
    HRESULT hr = NameArgument(name, text);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    return RemoveLocked(text);
}
HOST_CATCH()

// =============================================================================================
// CBag: ISPropertyBagCollection

HRESULT CBag::List_get_Count(LONG* pCount) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::get_Count");
    if (pCount == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    *pCount = static_cast<LONG>(CountLocked());
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_get_Item(VARIANT position, VARIANT* pValue) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::get_Item", position);
    if (pValue == nullptr) return E_POINTER;
    long number = 0;
    HRESULT hr = VariantToLong(position, number);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    if (number < 1 || static_cast<size_t>(number) > CountLocked()) return KV_E_PROPERTYNOTFOUND;
    const Slot& slot = m_elements[static_cast<size_t>(number) - 1];
    if (!slot.property) return KV_E_PROPERTYNOTFOUND;
    return slot.property->m_value.CopyTo(pValue);
}
HOST_CATCH()

HRESULT CBag::List_get__NewEnum(IUnknown** ppEnum) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    {
        TreeGuard guard(m_tree->lock);
        snapshot->values.reserve(m_elements.size());
        VARIANT empty;
        VariantInit(&empty);
        for (const Slot& slot : m_elements) {
            const HRESULT hr = snapshot->Add(slot.property ? slot.property->m_value.ref() : empty);
            if (FAILED(hr)) return hr;
        }
    }
    ComPtr<CVariantEnum> enumerator = Make<CVariantEnum>(std::move(snapshot));
    *ppEnum = static_cast<IEnumVARIANT*>(enumerator.Detach());
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_get_Bag(ISProperties** ppBag) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::get_Bag");
    if (ppBag == nullptr) return E_POINTER;
    *ppBag = this;
    AddRef();
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_Setup(BSTR countName, BSTR prefix) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::Setup", countName, prefix);
    const std::wstring_view count = TextOf(countName);
    const std::wstring_view elementPrefix = TextOf(prefix);
    if (count.empty()) return E_INVALIDARG;
    TreeGuard guard(m_tree->lock);
    if (SameName(count, m_countName) && SameName(elementPrefix, m_prefix)) return S_OK;
    {
        // The count name must not be an element name under the new prefix.
        const bool numbered =
            count.size() > elementPrefix.size() &&
            (elementPrefix.empty() ||
             SameName(count.substr(0, elementPrefix.size()), elementPrefix)) &&
            std::all_of(count.begin() + static_cast<std::ptrdiff_t>(elementPrefix.size()),
                        count.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
        if (numbered) return E_INVALIDARG;
    }
    std::wstring newCount(count), newPrefix(elementPrefix);
    ElementsToOrdinaryLocked();
    m_countName = std::move(newCount);
    m_prefix = std::move(newPrefix);
    long total = 0;
    if (CProperty* countProperty = CountPropertyLocked()) {
        // A count that is not a number 0..kMaxListCount leaves the list empty.
        if (FAILED(VariantToLong(countProperty->m_value.ref(), total)) || total < 0 ||
            total > kMaxListCount)
            total = 0;
    }
    ResizeLocked(static_cast<size_t>(total));
    ChangedLocked();
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_Append(VARIANT value) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::Append", value);
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    return AppendLocked(*copy.get(), true, nullptr);
}
HOST_CATCH()

HRESULT CBag::List_Remove(VARIANT position) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::Remove", position);
    const VARIANT* index = &position;
    if (V_VT(index) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(index) != nullptr)
        index = V_VARIANTREF(index);
    if (V_VT(index) == VT_BSTR || V_VT(index) == (VT_BYREF | VT_BSTR)) {
        const std::wstring key(TextOf(V_VT(index) == VT_BSTR ? V_BSTR(index) : *V_BSTRREF(index)));
        TreeGuard guard(m_tree->lock);
        CProperty* found = FindByKeyLocked(key);
        if (found == nullptr) return KV_E_PROPERTYNOTFOUND;
        RemovePositionLocked(PositionLocked(*found));
        return S_OK;
    }
    long number = 0;
    HRESULT hr = VariantToLong(*index, number);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    if (number < 1 || static_cast<size_t>(number) > CountLocked()) return KV_E_PROPERTYNOTFOUND;
    RemovePositionLocked(static_cast<size_t>(number));
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_AppendBag(ISProperties** ppElementBag) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::AppendBag");
    if (ppElementBag == nullptr) return E_POINTER;
    TreeGuard guard(m_tree->lock);
    ComPtr<CBag> element = Make<CBag>(m_tree);
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_DISPATCH(&value) = static_cast<ISProperties*>(element.Get());
    element->AddRef();  // the reference the value holds
    CProperty* appended = nullptr;
    const HRESULT hr = AppendLocked(value, false, &appended);
    if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
    }
    appended->m_nested = element;
    *ppElementBag = element.Detach();
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_RemoveAll() noexcept try {
    HOST_HOOK("ISPropertyBagCollection::RemoveAll");
    TreeGuard guard(m_tree->lock);
    for (size_t i = 0; i < m_elements.size(); ++i)
        if (m_elements[i].property)
            DetachLocked(*m_elements[i].property.Get(), ElementNameLocked(i + 1));
    m_elements.clear();
    m_emptyPositions = 0;
    m_valueIndex.clear();
    m_indexValid = true;
    WriteCountLocked();
    ChangedLocked();
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_Find(VARIANT value, LONG* pPosition) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::Find", value);
    if (pPosition == nullptr) return E_POINTER;
    Variant copy;
    HRESULT hr = copy.CopyFrom(value);
    if (FAILED(hr)) return hr;
    std::wstring key;
    if (!ValueKey(copy.ref(), key)) return KV_E_PROPERTYNOTFOUND;
    TreeGuard guard(m_tree->lock);
    CProperty* found = FindByKeyLocked(key);
    if (found == nullptr) return KV_E_PROPERTYNOTFOUND;
    *pPosition = static_cast<LONG>(PositionLocked(*found));
    return S_OK;
}
HOST_CATCH()

HRESULT CBag::List_SetFlags(VARIANT name, LONG flags) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::SetFlags", name, flags);
    return ChangeFlags(name, flags, true);
}
HOST_CATCH()

HRESULT CBag::List_ClearFlags(VARIANT name, LONG flags) noexcept try {
    HOST_HOOK("ISPropertyBagCollection::ClearFlags", name, flags);
    return ChangeFlags(name, flags, false);
}
HOST_CATCH()

// Sets or clears flag bits of the named property of the bag.
HRESULT CBag::ChangeFlags(const VARIANT& name, LONG flags, bool set) {
    std::wstring text;
    HRESULT hr = NameArgument(name, text);
    if (FAILED(hr)) return hr;
    TreeGuard guard(m_tree->lock);
    CProperty* property = LookupLocked(text);
    if (property == nullptr) return KV_E_PROPERTYNOTFOUND;
    property->m_flags = set ? (property->m_flags | flags) : (property->m_flags & ~flags);
    ChangedLocked();
    return S_OK;
}

// =============================================================================================
// CVariantEnum

HRESULT CVariantEnum::Snapshot::Add(const VARIANT& value) {
    values.emplace_back();
    VariantInit(&values.back());
    const HRESULT hr = VariantCopy(&values.back(), const_cast<VARIANT*>(&value));
    if (FAILED(hr)) values.pop_back();
    return hr;
}

STDMETHODIMP CVariantEnum::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("IEnumVARIANT::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IEnumVARIANT) return E_NOINTERFACE;
    *ppv = static_cast<IEnumVARIANT*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CVariantEnum::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) try {
    HOST_HOOK("IEnumVARIANT::Next", celt);
    if (rgVar == nullptr || (celt != 1 && pCeltFetched == nullptr)) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    ULONG fetched = 0;
    const std::vector<VARIANT>& values = m_snapshot->values;
    while (fetched < celt && m_position < values.size()) {
        VariantInit(&rgVar[fetched]);
        const HRESULT hr = VariantCopy(&rgVar[fetched], const_cast<VARIANT*>(&values[m_position]));
        if (FAILED(hr)) {
            for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
            m_position -= fetched;
            return hr;
        }
        ++fetched;
        ++m_position;
    }
    if (pCeltFetched != nullptr) *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CVariantEnum::Skip(ULONG celt) try {
    HOST_HOOK("IEnumVARIANT::Skip", celt);
    std::lock_guard<HostLock> guard(m_lock);
    const size_t left = m_snapshot->values.size() - m_position;
    if (celt > left) {
        m_position = static_cast<ULONG>(m_snapshot->values.size());
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CVariantEnum::Reset() try {
    HOST_HOOK("IEnumVARIANT::Reset");
    std::lock_guard<HostLock> guard(m_lock);
    m_position = 0;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CVariantEnum::Clone(IEnumVARIANT** ppEnum) try {
    HOST_HOOK("IEnumVARIANT::Clone");
    if (ppEnum == nullptr) return E_POINTER;
    ULONG position = 0;
    {
        std::lock_guard<HostLock> guard(m_lock);
        position = m_position;
    }
    *ppEnum = Make<CVariantEnum>(m_snapshot, position).Detach();
    return S_OK;
}
HOST_CATCH()

}  // namespace RefHost::Detail
