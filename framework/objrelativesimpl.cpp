// The collection's element store (SdkEnum::ElementStore); CComCategoryRelativeIDs: interface
// table, journal names, binding and load; and the operations the framework layers call:
// CreateRelativeIDs and the two commit operations.
#include "objrelativesimpl.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <utility>

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using Zentil500::SWCharString;

namespace {

using Relatives =
    IObjectRelatives<CComCategoryRelativeIDs, ISObjectRelativeIDs, LONG, &CLSID_ObjectRelativeIDs,
                     &IID_ISObjectRelativeIDs, &LIBID_KorvelInfoStoreLib>;

SWCharString JoinName(const wchar_t* prefix, const wchar_t* name) {
    SWCharString joined(prefix);
    joined += name;
    return joined;
}

// `name` when given, else prefix + propertyName.
SWCharString NameOrDefault(const wchar_t* name, const wchar_t* prefix,
                           const wchar_t* propertyName) {
    return (name && *name) ? SWCharString(name) : JoinName(prefix, propertyName);
}

// The property `name` of bag; KV_E_PROPERTYNOTFOUND when absent.
HRESULT FindProperty(ISProperties* bag, const wchar_t* name, ComPtr<ISProperty>& property) {
    ScopedVariant nameValue;
    HRESULT hr = nameValue.SetBstr(name);
    if (FAILED(hr)) return hr;
    hr = bag->get_Item(nameValue.Get(), &property);
    if (SUCCEEDED(hr) && !property) hr = E_POINTER;
    return hr;
}

// The bag of infoObject and the list face of that bag (for setting property flags by name).
HRESULT HostBag(ISInfoObject* infoObject, ComPtr<ISProperties>& bag,
                ComPtr<ISPropertyBagCollection>& flagsView) {
    HRESULT hr = infoObject->get_Properties(&bag);
    if (FAILED(hr)) return hr;
    if (!bag) return E_NOINTERFACE;
    hr = bag.As(&flagsView);
    if (FAILED(hr)) return hr;
    return flagsView ? S_OK : E_NOINTERFACE;
}

// Sets (set) or clears flag on property `name` of the bag when it is not yet so, recorded in
// undo. An absent property is left alone.
HRESULT ChangeFlag(ISProperties* bag, ISPropertyBagCollection* flagsView, const wchar_t* name,
                   long flag, bool set, HostUndo& undo) {
    ComPtr<ISProperty> property;
    HRESULT hr = FindProperty(bag, name, property);
    if (hr == KV_E_PROPERTYNOTFOUND) return S_OK;
    if (FAILED(hr)) return hr;
    LONG flags = 0;
    hr = property->get_Flags(&flags);
    if (FAILED(hr)) return hr;
    if (((flags & flag) != 0) == set) return S_OK;
    ScopedVariant nameValue;
    hr = nameValue.SetBstr(name);
    if (SUCCEEDED(hr)) hr = undo.Reserve();
    if (FAILED(hr)) return hr;
    hr = set ? flagsView->SetFlags(nameValue.Get(), flag)
             : flagsView->ClearFlags(nameValue.Get(), flag);
    if (SUCCEEDED(hr)) undo.FlagChanged(flagsView, "a list flag", std::move(nameValue), flag, set);
    return hr;
}

// The list of property `name` when it exists: S_FALSE (list empty) when the property is absent
// or its nested bag has no list view, else the status of opening it.
HRESULT ExistingList(ISProperties* bag, const wchar_t* name,
                     ComPtr<ISPropertyBagCollection>& list) {
    const HRESULT hr = Relatives::OpenList(bag, name, false, 0, list);
    if (hr == KV_E_PROPERTYNOTFOUND || hr == E_NOINTERFACE) {
        list.Reset();
        return S_FALSE;
    }
    return hr;
}

// For a new object: the list copied into its ADD journal, unless the journal already has
// elements or the list has none. The appends are recorded in undo.
HRESULT CopyListIntoAddJournal(ISProperties* bag, const wchar_t* propertyName,
                               const wchar_t* addName, HostUndo& undo) {
    ComPtr<ISPropertyBagCollection> list;
    HRESULT hr = ExistingList(bag, propertyName, list);
    if (hr != S_OK) return SUCCEEDED(hr) ? S_OK : hr;
    LONG count = 0;
    hr = list->get_Count(&count);
    if (FAILED(hr)) return hr;
    if (count <= 0) return S_OK;

    ComPtr<ISPropertyBagCollection> journal;
    hr = ExistingList(bag, addName, journal);
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        LONG journalled = 0;
        hr = journal->get_Count(&journalled);
        if (FAILED(hr)) return hr;
        if (journalled > 0) return S_OK;
    } else {
        ComPtr<ISProperty> existing;
        if (SUCCEEDED(FindProperty(bag, addName, existing))) return S_OK;  // no list view
        hr = Relatives::OpenList(bag, addName, true, kJournalFlags, journal);
        if (hr == E_NOINTERFACE) return S_OK;
        if (FAILED(hr)) return hr;
    }

    for (LONG p = 1; p <= count; ++p) {
        ScopedVariant position;
        position.SetI4(p);
        ScopedVariant value;
        hr = list->get_Item(position.Get(), value.Receive());
        if (SUCCEEDED(hr)) hr = undo.Reserve();
        if (FAILED(hr)) return hr;
        hr = journal->Append(value.Get());
        if (SUCCEEDED(hr)) {
            undo.Appended(journal.Get(), "the ADD journal", std::move(value));
        } else if (hr != KV_E_VALUEALREADYINLIST) {
            return hr;
        }
    }
    return S_OK;
}

// Writes through `outer` when given; otherwise through its own record, whose writes are taken
// back when the operation fails.
class UndoScope {
public:
    UndoScope(HostUndo* outer, const char* member) noexcept
        : m_outer(outer), m_own(kObjRelativesImplFile, member) {}
    HostUndo& Get() noexcept { return m_outer ? *m_outer : m_own; }
    // The operation's status; its own writes stay only when it succeeded.
    HRESULT Finish(HRESULT hr) noexcept {
        if (SUCCEEDED(hr)) m_own.Commit();
        return hr;
    }

private:
    HostUndo* m_outer;
    HostUndo m_own;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// HostUndo

HRESULT HostUndo::Reserve() noexcept {
    try {
        if (m_records.size() == m_records.capacity())
            m_records.reserve(std::max<size_t>(4, m_records.capacity() * 2));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void HostUndo::Add(Record&& record) noexcept {
    m_records.push_back(std::move(record));  // room reserved
}

void HostUndo::Appended(ISPropertyBagCollection* list, const char* what,
                        ScopedVariant&& value) noexcept {
    Add(Record{Kind::Appended, list, what, std::move(value)});
}

void HostUndo::Removed(ISPropertyBagCollection* list, const char* what, LONG position,
                       ScopedVariant&& value) noexcept {
    Add(Record{Kind::Removed, list, what, std::move(value), position});
}

void HostUndo::Emptied(ISPropertyBagCollection* list, const char* what,
                       std::vector<ScopedVariant>&& values) noexcept {
    Add(Record{Kind::Emptied, list, what, ScopedVariant(), 0, false, std::move(values)});
}

void HostUndo::FlagChanged(ISPropertyBagCollection* flagsView, const char* what,
                           ScopedVariant&& name, long flag, bool set) noexcept {
    Add(Record{Kind::FlagChanged, flagsView, what, std::move(name), flag, set});
}

HRESULT HostUndo::ReadAll(ISPropertyBagCollection* list,
                          std::vector<ScopedVariant>& values) noexcept try {
    LONG count = 0;
    HRESULT hr = list->get_Count(&count);
    if (FAILED(hr)) return hr;
    values.clear();
    values.reserve(static_cast<size_t>(std::max<LONG>(count, 0)));
    for (LONG p = 1; p <= count; ++p) {
        ScopedVariant position;
        position.SetI4(p);
        ScopedVariant value;
        hr = list->get_Item(position.Get(), value.Receive());
        if (FAILED(hr)) return hr;
        values.push_back(std::move(value));
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

namespace {

// Whether value can be written back with Append: an object entry (a nested bag) cannot.
bool IsPlainValue(const VARIANT& value) noexcept {
    const VARTYPE type = V_VT(&value) & ~VT_BYREF;
    return type != VT_DISPATCH && type != VT_UNKNOWN;
}

}  // namespace

HRESULT HostUndo::TakeBack(Record& record) noexcept {
    ISPropertyBagCollection* const list = record.list.Get();
    switch (record.kind) {
        case Kind::Appended: {
            LONG position = 0;
            HRESULT hr = list->Find(record.value.Get(), &position);
            if (FAILED(hr)) return hr;
            ScopedVariant at;
            at.SetI4(position);
            return list->Remove(at.Get());
        }
        case Kind::Removed: {
            // Appended at the end, then the entries that stood after it move behind it again.
            if (!IsPlainValue(record.value.Get())) return E_NOTIMPL;
            HRESULT hr = list->Append(record.value.Get());
            if (FAILED(hr)) return hr;
            LONG count = 0;
            hr = list->get_Count(&count);
            if (FAILED(hr)) return hr;
            ScopedVariant at;
            at.SetI4(record.number);
            for (LONG moved = record.number; moved < count; ++moved) {
                ScopedVariant value;
                hr = list->get_Item(at.Get(), value.Receive());
                if (FAILED(hr)) return hr;
                if (!IsPlainValue(value.Get())) return E_NOTIMPL;
                hr = list->Remove(at.Get());
                if (SUCCEEDED(hr)) hr = list->Append(value.Get());
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        }
        case Kind::Emptied:
            for (const ScopedVariant& value : record.values) {
                if (!IsPlainValue(value.Get())) return E_NOTIMPL;
                const HRESULT hr = list->Append(value.Get());
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        case Kind::FlagChanged:
            return record.set ? list->ClearFlags(record.value.Get(), record.number)
                              : list->SetFlags(record.value.Get(), record.number);
    }
    return E_UNEXPECTED;
}

HRESULT HostUndo::Undo() noexcept {
    HRESULT first = S_OK;
    char left[400];
    int used = 0;
    int leftCount = 0;
    for (auto record = m_records.rbegin(); record != m_records.rend(); ++record) {
        const HRESULT hr = TakeBack(*record);
        if (SUCCEEDED(hr)) continue;
        if (SUCCEEDED(first)) first = hr;
        static constexpr const char* kLeft[] = {"keeps an entry added", "lacks an entry removed",
                                                "stays emptied", "keeps its changed flag"};
        if (++leftCount <= 3 && used >= 0 && used < static_cast<int>(sizeof left)) {
            used += std::snprintf(left + used, sizeof left - used, "%s%s %s (0x%08lX)",
                                  leftCount > 1 ? "; " : "", record->what,
                                  kLeft[static_cast<int>(record->kind)],
                                  static_cast<unsigned long>(hr));
        }
    }
    m_records.clear();
    if (leftCount > 0) {
        char text[600];
        std::snprintf(text, sizeof text,
                      "%s: a write before the failure could not be taken back: %s%s", m_member,
                      left, leftCount > 3 ? "; and more" : "");
        SdkTrace::WriteWarning(m_file, __LINE__, text);
    }
    return first;
}

// ---------------------------------------------------------------------------------------------
// SdkEnum::ElementStore

namespace SdkEnum {

namespace {

// Below this many gaps the vector is never compacted (small lists are cheap to walk).
constexpr size_t kMinGapsToCompact = 32;

size_t LowBit(size_t index) {
    return index & (~index + 1);
}

// The capacity for one more item: doubled when full, so that appends stay amortised O(1).
template <typename Vector>
void ReserveOneMore(Vector& vector, size_t minimum) {
    if (vector.size() < vector.capacity()) return;
    vector.reserve(std::max(minimum, vector.capacity() * 2));
}

// The character a key character counts as for hashing. Keys compare like
// SWCharString::compareNoCase (ordinal, upper-cased by the system's table); the hash must give
// equal keys equal values whatever that table says about characters beyond ASCII. So ASCII is
// upper-cased, the few characters whose upper case is ASCII count as that letter, and every other
// character counts alike: equality then decides.
wchar_t HashFold(wchar_t c) {
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    switch (c) {
        case 0x0131:  // dotless i
            return L'I';
        case 0x017F:  // long s
            return L'S';
        case 0x212A:  // Kelvin sign
            return L'K';
        default:
            return 0x80;
    }
}

}  // namespace

size_t ElementStore::KeyHash::operator()(const SWCharString& key) const noexcept {
    // FNV-1a over the folded characters.
    size_t hash = 14695981039346656037ull;
    for (wchar_t c : key.str()) {
        hash ^= static_cast<size_t>(HashFold(c));
        hash *= 1099511628211ull;
    }
    return hash;
}

bool ElementStore::KeyEqual::operator()(const SWCharString& a,
                                        const SWCharString& b) const noexcept {
    // Characters compare one for one, so equal keys have equal lengths.
    return a.length() == b.length() && a.compareNoCase(b) == 0;
}

int ElementStore::PrefixCount(size_t end) const noexcept {
    int count = 0;
    for (; end > 0; end -= LowBit(end)) count += m_tree[end];
    return count;
}

ElementStore::Sequence ElementStore::SequenceAt(int position) const noexcept {
    if (m_live == m_slots.size()) return static_cast<Sequence>(position);  // no gaps
    // The smallest tree index whose prefix count is position + 1, by descending powers of two.
    const size_t size = m_slots.size();
    size_t step = 1;
    while (step * 2 <= size) step *= 2;
    size_t index = 0;
    int left = position + 1;
    for (; step > 0; step /= 2) {
        if (index + step <= size && m_tree[index + step] < left) {
            index += step;
            left -= m_tree[index];
        }
    }
    return index;  // tree index index + 1, so sequence number index
}

int ElementStore::PositionOf(Sequence sequence) const noexcept {
    if (m_live == m_slots.size()) return static_cast<int>(sequence);
    return PrefixCount(sequence);
}

bool ElementStore::ParseIdKey(const wchar_t* text, size_t length, long* id) noexcept {
    size_t i = 1;
    const bool negative = length > 1 && text[1] == L'-';
    if (negative) ++i;
    const size_t digits = length - std::min(length, i);
    if (length == 0 || text[0] != L'#' || digits == 0 || digits > 10) return false;
    if (text[i] == L'0' && (digits > 1 || negative)) return false;  // IdKey writes no such zero
    long long value = 0;
    for (; i < length; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + (text[i] - L'0');
    }
    if (negative) value = -value;
    if (value < LONG_MIN || value > LONG_MAX) return false;
    *id = static_cast<long>(value);
    return true;
}

namespace {

// Whether value is the integer element id.
bool IsPlainId(const VARIANT& value, long id) noexcept {
    return V_VT(&value) == VT_I4 && V_I4(&value) == id;
}

}  // namespace

size_t ElementStore::IdHome(long id) const noexcept {
    std::uint64_t hash = static_cast<std::uint32_t>(id) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
    return static_cast<size_t>(hash) & (m_ids.size() - 1);
}

const ElementStore::IdCell* ElementStore::FindIdCell(long id) const noexcept {
    if (m_ids.empty()) return nullptr;
    const size_t mask = m_ids.size() - 1;
    for (size_t i = IdHome(id);; i = (i + 1) & mask) {
        const IdCell& cell = m_ids[i];
        if (cell.first == 0) return nullptr;
        if (cell.id == id) return &cell;
    }
}

void ElementStore::InsertId(long id, Sequence first, bool plain) noexcept {
    const size_t mask = m_ids.size() - 1;
    size_t i = IdHome(id);
    while (m_ids[i].first != 0) i = (i + 1) & mask;
    m_ids[i] = IdCell{id, static_cast<std::uint32_t>(first + 1), plain};
    ++m_idCount;
    if (plain) SetPlainBit(id, true);
}

void ElementStore::SetIdFirst(long id, Sequence first) noexcept {
    IdCell* cell = FindIdCell(id);
    cell->first = static_cast<std::uint32_t>(first + 1);
    cell->plain = IsPlainId(m_slots[first].value.Get(), id);
    SetPlainBit(id, cell->plain);
}

void ElementStore::SetPlainBit(long id, bool plain) noexcept {
    size_t bit = 0;
    if (!PlainBitIndex(id, &bit)) return;
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    if (plain)
        m_plainBits[bit / 64] |= mask;
    else
        m_plainBits[bit / 64] &= ~mask;
}

// Linear probing without tombstones: the cells after the erased one move back into the hole
// unless their home lies between the hole and them.
void ElementStore::EraseId(long id) noexcept {
    IdCell* cell = FindIdCell(id);
    if (cell == nullptr) return;
    SetPlainBit(id, false);
    const size_t mask = m_ids.size() - 1;
    size_t hole = static_cast<size_t>(cell - m_ids.data());
    for (size_t j = (hole + 1) & mask; m_ids[j].first != 0; j = (j + 1) & mask) {
        const size_t home = IdHome(m_ids[j].id);
        const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
        if (stays) continue;
        m_ids[hole] = m_ids[j];
        hole = j;
    }
    m_ids[hole] = IdCell{};
    --m_idCount;
}

void ElementStore::ReserveId() {
    if ((m_idCount + 1) * 2 <= m_ids.size()) return;
    std::vector<IdCell> cells(std::max<size_t>(16, m_ids.size() * 2));
    // The bitmap over the plain IDs' range, when it takes at most a byte per plain ID, with half
    // the range again as room for the IDs added until the table grows next.
    long long low = LLONG_MAX, high = LLONG_MIN, plainCount = 0;
    for (const IdCell& cell : m_ids) {
        if (cell.first == 0 || !cell.plain) continue;
        low = std::min<long long>(low, cell.id);
        high = std::max<long long>(high, cell.id);
        ++plainCount;
    }
    std::vector<std::uint64_t> bits;
    if (plainCount > 0 && high - low + 1 <= 8 * plainCount) {
        const long long span = high - low + 1;
        bits.resize(static_cast<size_t>((span + span / 2 + 63) / 64));
    }
    // Nothing below allocates.
    cells.swap(m_ids);
    m_plainBits.swap(bits);
    m_plainBase = m_plainBits.empty() ? 0 : low;
    m_idCount = 0;
    for (const IdCell& cell : cells)
        if (cell.first != 0) InsertId(cell.id, cell.first - 1, cell.plain);
}

bool ElementStore::FindPlainId(const wchar_t* key, size_t length, long* id) const noexcept {
    long parsed = 0;
    if (key == nullptr || !ParseIdKey(key, length, &parsed)) return false;
    size_t bit = 0;
    if (PlainBitIndex(parsed, &bit)) {
        if ((m_plainBits[bit / 64] >> (bit % 64) & 1) == 0) return false;
    } else {
        const IdCell* cell = FindIdCell(parsed);
        if (cell == nullptr || !cell->plain) return false;
    }
    *id = parsed;
    return true;
}

bool ElementStore::FindKey(const SWCharString& key, Sequence* sequence) const {
    long id = 0;
    if (ParseIdKey(key, &id)) {
        // Every ID key is in the table; no other key can equal one (digits have no case).
        const IdCell* cell = FindIdCell(id);
        if (cell == nullptr) return false;
        *sequence = cell->first - 1;
        return true;
    }
    const auto found = m_keys.find(key);
    if (found == m_keys.end()) return false;
    *sequence = found->second.first;
    return true;
}

void ElementStore::ReserveAppend(const SWCharString* key) {
    ReserveOneMore(m_slots, 16);
    ReserveOneMore(m_tree, 17);
    if (m_tree.empty()) m_tree.reserve(17);  // the unused node 0 as well
    m_pendingEntry = nullptr;
    m_pendingNewKey = false;
    if (key == nullptr) return;
    const auto found = m_keys.find(*key);
    if (found != m_keys.end()) {
        ReserveOneMore(found->second.rest, 2);
        m_pendingEntry = &*found;
        return;
    }
    // The insertion in CommitAppend rehashes (and allocates) when the element count after it,
    // divided by the maximum load factor, reaches the bucket count; reserve buckets before that.
    // A fresh or cleared map needs this for its very first key.
    const auto needsBuckets = [this] {
        return static_cast<double>(m_keys.size() + 1) / m_keys.max_load_factor() >=
               static_cast<double>(m_keys.bucket_count());
    };
    if (needsBuckets()) {
        m_keys.reserve((m_keys.size() + 1) * 2);
        if (needsBuckets()) throw std::bad_alloc();  // the policy did not give the room asked
    }
    if (m_spare.empty()) {
        KeyMap scratch;
        m_spare = scratch.extract(scratch.emplace(*key, Occurrences{}).first);
    } else {
        m_spare.key() = *key;
    }
    Occurrences& occurrences = m_spare.mapped();
    occurrences.isId = ParseIdKey(*key, &occurrences.id);
    if (occurrences.isId) ReserveId();
    m_pendingNewKey = true;
}

void ElementStore::CommitAppend(ComLib::ScopedVariant&& value) noexcept {
    const Sequence sequence = m_slots.size();
    KeyEntry* entry = m_pendingEntry;
    if (entry != nullptr) {
        entry->second.rest.push_back(sequence);  // room reserved
    } else if (m_pendingNewKey) {
        m_spare.mapped().first = sequence;
        m_spare.mapped().rest.clear();
        entry = &*m_keys.insert(std::move(m_spare)).position;          // buckets reserved
        if (entry->second.isId)  // room reserved
            InsertId(entry->second.id, sequence, IsPlainId(value.Get(), entry->second.id));
    }
    m_pendingEntry = nullptr;
    m_pendingNewKey = false;

    m_slots.push_back(Slot{std::move(value), entry, true});
    // The new tree node covers the slots (index - LowBit(index), index]: this one and the
    // covered ones before it.
    if (m_tree.empty()) m_tree.push_back(0);
    const size_t index = m_slots.size();
    m_tree.push_back(1 + PrefixCount(index - 1) - PrefixCount(index - LowBit(index)));
    ++m_live;
}

void ElementStore::Remove(Sequence sequence) noexcept {
    Slot& slot = m_slots[sequence];
    slot.value.Reset();
    slot.live = false;
    --m_live;
    for (size_t index = sequence + 1; index < m_tree.size(); index += LowBit(index))
        --m_tree[index];
    if (KeyEntry* entry = slot.key) {
        slot.key = nullptr;
        Occurrences& occurrences = entry->second;
        if (occurrences.first != sequence) {
            auto& rest = occurrences.rest;
            const auto at = std::find(rest.begin(), rest.end(), sequence);
            if (at != rest.end()) rest.erase(at);
        } else if (occurrences.rest.empty()) {
            if (occurrences.isId) EraseId(occurrences.id);
            m_keys.erase(m_keys.find(entry->first));  // not by the key: it lives in the node
        } else {
            // The key passes to the next occurrence.
            occurrences.first = occurrences.rest.front();
            occurrences.rest.erase(occurrences.rest.begin());
            if (occurrences.isId) SetIdFirst(occurrences.id, occurrences.first);
        }
    }
    const size_t gaps = m_slots.size() - m_live;
    if (m_live == 0)
        Clear();
    else if (gaps > m_live && gaps >= kMinGapsToCompact)
        Compact();
}

void ElementStore::Clear() noexcept {
    m_slots.clear();
    m_tree.clear();
    m_keys.clear();
    std::fill(m_ids.begin(), m_ids.end(), IdCell{});
    std::fill(m_plainBits.begin(), m_plainBits.end(), std::uint64_t{0});
    m_idCount = 0;
    m_live = 0;
}

// Moves the elements down over the gaps, in order, and renumbers their keys' occurrences; then
// rebuilds the tree (O(n)). Allocates nothing.
void ElementStore::Compact() noexcept {
    for (KeyEntry& entry : m_keys) entry.second.renumbered = 0;
    Sequence next = 0;
    for (Sequence s = 0; s < m_slots.size(); ++s) {
        Slot& slot = m_slots[s];
        if (!slot.live) continue;
        if (slot.key != nullptr) {
            // A key's occurrences are in list order, which compaction keeps.
            Occurrences& occurrences = slot.key->second;
            const size_t k = occurrences.renumbered++;
            (k == 0 ? occurrences.first : occurrences.rest[k - 1]) = next;
            if (k == 0 && occurrences.isId)  // the same element: whether it is plain stays
                FindIdCell(occurrences.id)->first = static_cast<std::uint32_t>(next + 1);
        }
        if (s != next) m_slots[next] = std::move(slot);
        ++next;
    }
    m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(next), m_slots.end());
    m_tree.erase(m_tree.begin() + static_cast<std::ptrdiff_t>(next + 1), m_tree.end());
    for (size_t index = 1; index <= next; ++index) m_tree[index] = 1;
    for (size_t index = 1; index <= next; ++index) {
        const size_t parent = index + LowBit(index);
        if (parent <= next) m_tree[parent] += m_tree[index];
    }
}

HRESULT ElementStore::CopyTo(ElementStore& target) const {
    for (const Slot& slot : m_slots) {
        if (!slot.live) continue;
        ComLib::ScopedVariant copy;
        const HRESULT hr = copy.CopyFrom(slot.value.Get());
        if (FAILED(hr)) return hr;
        target.Append(std::move(copy), slot.key ? &slot.key->first : nullptr);
    }
    return S_OK;
}

}  // namespace SdkEnum

// ---------------------------------------------------------------------------------------------
// CComCategoryRelativeIDs

HRESULT CComCategoryRelativeIDs::_InternalQueryInterface(REFIID iid, void** ppv) noexcept {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (InlineIsEqualGUID(iid, IID_IUnknown) || InlineIsEqualGUID(iid, IID_ISObjectRelativeIDs) ||
        InlineIsEqualGUID(iid, IID_IDispatch))
        return ComLib::AnswerInterface<ISObjectRelativeIDs>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_ISupportErrorInfo))
        return ComLib::AnswerInterface<ISupportErrorInfo>(this, ppv);
    if (InlineIsEqualGUID(iid, IID_IMarshal) && m_pFreeThreadedMarshaler)
        return m_pFreeThreadedMarshaler->QueryInterface(iid, ppv);
    return E_NOINTERFACE;
}

HRESULT CComCategoryRelativeIDs::SetJournalNamesFromBase(const wchar_t* base) try {
    m_addName = JoinName(Pravhelper500::WP_SI_ADM_ADD__W, base);
    m_delName = JoinName(Pravhelper500::WP_SI_ADM_DEL__W, base);
    return S_OK;
}
SDK_CATCH_RETURN()

HRESULT CComCategoryRelativeIDs::SetJournalNamesFromPropertyName() {
    return SetJournalNamesFromBase(m_propertyName.c_str());
}

HRESULT CComCategoryRelativeIDs::EnsureAddList() try {
    return FindList(m_addName, true, kJournalFlags, m_pAddList);
}
SDK_CATCH_RETURN()

HRESULT CComCategoryRelativeIDs::BindAndLoad(ISProperties* bag, const wchar_t* propertyName,
                                             LCID locale, const wchar_t* addName,
                                             const wchar_t* delName) try {
    if (bag == nullptr || propertyName == nullptr) return E_POINTER;
    ComLib::CComObjectLock<CComCategoryRelativeIDs> lock(this);
    m_ObjectLocale = locale;
    m_pProperties = bag;
    m_propertyName = propertyName;
    const bool defaults =
        (addName == nullptr || *addName == L'\0') && (delName == nullptr || *delName == L'\0');
    if (defaults) {
        const HRESULT hr = SetJournalNamesFromPropertyName();
        if (FAILED(hr)) return hr;
    } else {
        m_addName = addName;
        m_delName = delName;
    }
    return Load();
}
SDK_CATCH_RETURN()

// Requires the lock (held by BindAndLoad).
HRESULT CComCategoryRelativeIDs::Load() {
    const bool isNew = IsNewInfoObject(m_pProperties.Get());

    HRESULT hr = FindList(m_propertyName, false, kMainListFlags, m_pMainList);
    if (hr == KV_E_PROPERTYNOTFOUND) return S_OK;  // no list yet: an empty collection
    if (FAILED(hr)) return hr;

    LONG count = 0;
    hr = m_pMainList->get_Count(&count);
    if (FAILED(hr)) return hr;
    if (count < 0) count = 0;

    for (LONG p = 1; p <= count; ++p) {
        ScopedVariant position;
        position.SetI4(p);
        ScopedVariant value;
        hr = m_pMainList->get_Item(position.Get(), value.Receive());
        if (FAILED(hr)) return hr;

        // The element, with its key when it has one. A value the collection does not understand
        // (or an object without an ID) gives an empty element without a key.
        bool objectElement = false;
        bool keyed = false;
        SWCharString key;
        switch (value.Type()) {
            case VT_BSTR:
                key = SdkTrace::BstrText(V_BSTR(&value.Get()));
                keyed = true;
                break;
            case VT_I4:
                key = SdkEnum::IdKey(V_I4(&value.Get()));
                keyed = true;
                break;
            case VT_DISPATCH: {
                long id = 0;
                objectElement = SUCCEEDED(SdkEnum::ReadObjectId(V_DISPATCH(&value.Get()), &id));
                if (objectElement) key = SdkEnum::IdKey(id);
                keyed = objectElement;
                break;
            }
            default:
                break;
        }
        if (!keyed) value.Reset();
        m_store.Append(std::move(value), keyed ? &key : nullptr);
        const VARIANT& loaded = m_store.Element(m_store.SequenceAt(m_store.Count() - 1));

        if (!isNew) continue;
        // A new object journals what it was created with as added.
        hr = EnsureAddList();
        if (FAILED(hr)) return hr;
        if (objectElement) {
            ComPtr<ISProperties> element;
            hr = m_pAddList->AppendBag(&element);
            if (FAILED(hr)) return hr;
        } else {
            hr = m_pAddList->Append(loaded);
            if (FAILED(hr) && hr != KV_E_VALUEALREADYINLIST) return hr;
        }
    }
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Operations of the framework layers

bool IsNewInfoObject(ISProperties* bag) noexcept {
    if (bag == nullptr) return false;
    ComPtr<ISProperty> property;
    if (FAILED(FindProperty(bag, Pravhelper500::WP_SI_NEWOBJECT_W, property))) return false;
    ScopedVariant value;
    if (FAILED(property->get_Value(value.Receive()))) return false;
    return value.Type() == VT_BOOL && V_BOOL(&value.Get()) == VARIANT_TRUE;
}

HRESULT CreateRelativeIDs(const wchar_t* propertyName, ISInfoObject* infoObject, LCID locale,
                          const wchar_t* addName, const wchar_t* delName,
                          ISObjectRelativeIDs** ppIDs) try {
    if (ppIDs == nullptr) return E_POINTER;
    *ppIDs = nullptr;
    if (infoObject == nullptr) return E_FAIL;
    if (propertyName == nullptr) return E_INVALIDARG;

    ComLib::CComObject<CComCategoryRelativeIDs>* object = nullptr;
    HRESULT hr = ComLib::CComObject<CComCategoryRelativeIDs>::CreateInstance(&object);
    if (FAILED(hr)) return hr;
    // Holds the new object from here on: released (and so destroyed) on every failure path.
    ComPtr<ISObjectRelativeIDs> collection(static_cast<ISObjectRelativeIDs*>(object));

    ComPtr<ISProperties> bag;
    hr = infoObject->get_Properties(&bag);
    if (FAILED(hr)) return hr;
    if (!bag) return E_NOINTERFACE;
    hr = object->BindAndLoad(bag.Get(), propertyName, locale, addName, delName);
    if (FAILED(hr)) return hr;
    return collection->QueryInterface(IID_ISObjectRelativeIDs, reinterpret_cast<void**>(ppIDs));
}
SDK_CATCH_RETURN()

HRESULT PrepareRelativesForCommit(const wchar_t* propertyName, ISInfoObject* infoObject,
                                  const wchar_t* addName, const wchar_t* delName,
                                  const wchar_t* updName, HostUndo* outer) try {
    if (infoObject == nullptr) return E_FAIL;
    if (propertyName == nullptr) return E_INVALIDARG;
    ComPtr<ISProperties> bag;
    ComPtr<ISPropertyBagCollection> flagsView;
    HRESULT hr = HostBag(infoObject, bag, flagsView);
    if (FAILED(hr)) return hr;

    UndoScope undo(outer, "PrepareRelativesForCommit");
    const SWCharString add = NameOrDefault(addName, Pravhelper500::WP_SI_ADM_ADD__W, propertyName);
    if (IsNewInfoObject(bag.Get()))
        hr = CopyListIntoAddJournal(bag.Get(), propertyName, add.c_str(), undo.Get());
    if (SUCCEEDED(hr))
        hr = ChangeFlag(bag.Get(), flagsView.Get(), propertyName, kChangedListFlag, true,
                        undo.Get());
    return undo.Finish(FAILED(hr) ? hr : S_OK);
}
SDK_CATCH_RETURN()

HRESULT ResetRelativesAfterCommit(const wchar_t* propertyName, ISInfoObject* infoObject,
                                  const wchar_t* addName, const wchar_t* delName,
                                  const wchar_t* updName, HostUndo* outer) try {
    if (infoObject == nullptr) return E_FAIL;
    if (propertyName == nullptr) return E_INVALIDARG;
    ComPtr<ISProperties> bag;
    ComPtr<ISPropertyBagCollection> flagsView;
    if (FAILED(HostBag(infoObject, bag, flagsView))) return E_NOINTERFACE;

    const SWCharString journals[] = {
        NameOrDefault(addName, Pravhelper500::WP_SI_ADM_ADD__W, propertyName),
        NameOrDefault(delName, Pravhelper500::WP_SI_ADM_DEL__W, propertyName),
        NameOrDefault(updName, Pravhelper500::WP_SI_ADM_UPD__W, propertyName)};
    UndoScope undo(outer, "ResetRelativesAfterCommit");
    for (const SWCharString& journal : journals) {
        ComPtr<ISPropertyBagCollection> list;
        HRESULT hr = ExistingList(bag.Get(), journal.c_str(), list);
        if (hr != S_OK) {
            if (FAILED(hr)) return undo.Finish(hr);
            continue;
        }
        std::vector<ScopedVariant> entries;
        hr = HostUndo::ReadAll(list.Get(), entries);
        if (SUCCEEDED(hr)) hr = undo.Get().Reserve();
        if (SUCCEEDED(hr)) hr = list->RemoveAll();
        if (FAILED(hr)) return undo.Finish(hr);
        if (!entries.empty()) undo.Get().Emptied(list.Get(), "a journal", std::move(entries));
    }
    for (const SWCharString& journal : journals) {
        const HRESULT hr = ChangeFlag(bag.Get(), flagsView.Get(), journal.c_str(),
                                      kChangedListFlag, false, undo.Get());
        if (FAILED(hr)) return undo.Finish(hr);
    }
    return undo.Finish(ChangeFlag(bag.Get(), flagsView.Get(), propertyName, kChangedListFlag,
                                  false, undo.Get()));
}
SDK_CATCH_RETURN()
