// The in-memory repository, its info store, collections and plug-in manager, and the public
// functions of refhost.h that reach them.
#include "repository.h"

#include <unordered_set>

namespace RefHost {
namespace Detail {

namespace {

using Guard = std::lock_guard<HostLock>;

// The ISInfoObjects faces of the live host collections.
struct CollectionRegistry {
    HostLock lock;
    std::unordered_set<const ISInfoObjects*> live;
};

// Never destroyed: host objects may be released while the process is shutting down.
CollectionRegistry& Collections() {
    static CollectionRegistry* const registry = new CollectionRegistry;
    return *registry;
}

DATE Now() {
    SYSTEMTIME time{};
    GetLocalTime(&time);
    DATE date = 0;
    SystemTimeToVariantTime(&time, &date);
    return date;
}

std::wstring Trim(std::wstring_view text) {
    size_t first = 0, last = text.size();
    while (first < last && iswspace(text[first])) ++first;
    while (last > first && iswspace(text[last - 1])) --last;
    return std::wstring(text.substr(first, last - first));
}

// Position of word (whole word, without regard to case) in text, or npos.
size_t FindWord(std::wstring_view text, std::wstring_view word) {
    const std::wstring folded = FoldName(text), wanted = FoldName(word);
    size_t at = folded.find(wanted);
    while (at != std::wstring::npos) {
        const bool startOk = at == 0 || iswspace(folded[at - 1]);
        const bool endOk =
            at + wanted.size() == folded.size() || iswspace(folded[at + wanted.size()]);
        if (startOk && endOk) return at;
        at = folded.find(wanted, at + 1);
    }
    return std::wstring::npos;
}

struct Condition {
    std::wstring name;
    std::wstring value;
};

// Parses the query form of CInfoStore::Query. False for another form.
bool ParseQuery(std::wstring_view query, std::vector<Condition>& conditions) {
    std::wstring text = Trim(query);
    if (text.empty() || text == L"*") return true;
    if (FindWord(text, L"SELECT") == 0) {
        const size_t where = FindWord(text, L"WHERE");
        if (where == std::wstring::npos) return true;  // SELECT without WHERE: everything
        text = Trim(std::wstring_view(text).substr(where + 5));
    }
    while (!text.empty()) {
        const size_t andAt = FindWord(text, L"AND");
        std::wstring part = Trim(std::wstring_view(text).substr(0, andAt));
        text = andAt == std::wstring::npos ? std::wstring()
                                           : Trim(std::wstring_view(text).substr(andAt + 3));
        const size_t equals = part.find(L'=');
        if (equals == std::wstring::npos) return false;
        Condition condition{Trim(std::wstring_view(part).substr(0, equals)),
                            Trim(std::wstring_view(part).substr(equals + 1))};
        if (condition.name.empty()) return false;
        std::wstring& value = condition.value;
        if (value.size() >= 2 && ((value.front() == L'\'' && value.back() == L'\'') ||
                                  (value.front() == L'"' && value.back() == L'"')))
            value = value.substr(1, value.size() - 2);
        conditions.push_back(std::move(condition));
    }
    return !conditions.empty();
}

}  // namespace

// =============================================================================================
// RepositoryImpl

HRESULT RepositoryImpl::InstallKind(const KindInfo& info) {
    if (info.kind.empty()) return E_INVALIDARG;
    try {
        std::lock_guard<std::mutex> guard(m_lock);
        for (KindInfo& installed : m_kinds)
            if (SameName(installed.kind, info.kind)) {
                installed = info;
                return S_OK;
            }
        m_kinds.push_back(info);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::vector<KindInfo> RepositoryImpl::Kinds() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_kinds;
}

bool RepositoryImpl::FindKind(std::wstring_view kindOrProgId, KindInfo& info) const {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const KindInfo& installed : m_kinds)
        if (SameName(installed.kind, kindOrProgId) || SameName(installed.progID, kindOrProgId)) {
            info = installed;
            return true;
        }
    return false;
}

HRESULT RepositoryImpl::TakeId(long wanted, long& id) {
    constexpr long kLastId = 0x7FFFFFFF;
    if (wanted > 0) {
        if (m_objects.count(wanted) != 0) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        if (wanted > m_lastId) {
            if (wanted - m_lastId > 1) m_skipped.emplace(m_lastId + 1, wanted - 1);
            m_lastId = wanted;
        } else {
            // Within a range jumped over: the range loses the ID.
            auto range = m_skipped.upper_bound(wanted);
            if (range != m_skipped.begin() && (--range)->second >= wanted) {
                const long first = range->first, last = range->second;
                m_skipped.erase(range);
                if (first < wanted) m_skipped.emplace(first, wanted - 1);
                if (wanted < last) m_skipped.emplace(wanted + 1, last);
            }
        }
        id = wanted;
        return S_OK;
    }
    if (m_lastId < kLastId) {
        id = ++m_lastId;
        return S_OK;
    }
    // The counter is at the end: the lowest free ID of the ranges jumped over.
    while (!m_skipped.empty()) {
        const auto range = m_skipped.begin();
        const long candidate = range->first;
        if (range->first < range->second)
            m_skipped.emplace_hint(std::next(range), candidate + 1, range->second);
        m_skipped.erase(range);
        // An object stored under an ID it was not given (its SI_ID changed) holds it.
        if (m_objects.count(candidate) == 0) {
            id = candidate;
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
}

HRESULT RepositoryImpl::NewObjectOf(const KindInfo& kind, ComPtr<CInfoObject>* object, long wanted,
                                    bool empty) {
    long id = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const HRESULT hr = TakeId(wanted, id);
        if (FAILED(hr)) return hr;
    }
    ComPtr<CBag> bag = CBag::Create();
    if (empty) {
        *object =
            Make<CInfoObject>(shared_from_this(), std::move(bag), std::vector<FileRecord>(), true);
        return S_OK;
    }
    Variant value;
    value.SetLong(id);
    bag->SetValue(Prop::kId, value.ref());
    value.SetText(kind.kind);
    bag->SetValue(Prop::kKind, value.ref());
    value.SetText(kind.progID);
    bag->SetValue(Prop::kProgId, value.ref());
    value.SetLong(0);
    bag->SetValue(Prop::kParentId, value.ref());
    value.SetText(NewGuidText());
    bag->SetValue(Prop::kCuid, value.ref());
    value.SetText(NewGuidText());
    bag->SetValue(Prop::kGuid, value.ref());
    value.SetText(NewGuidText());
    bag->SetValue(Prop::kRuid, value.ref());
    value.Clear();
    V_VT(value.get()) = VT_DATE;
    V_DATE(value.get()) = Now();
    bag->SetValue(Prop::kUpdateTime, value.ref());
    ComPtr<CBag> processing;
    HRESULT hr = bag->NestedBag(Prop::kProcessingInfo, 0, &processing);
    if (FAILED(hr)) return hr;
    *object =
        Make<CInfoObject>(shared_from_this(), std::move(bag), std::vector<FileRecord>(), true);
    return S_OK;
}

HRESULT RepositoryImpl::NewObject(std::wstring_view kind, ISInfoObject** object) {
    if (object == nullptr) return E_POINTER;
    try {
        KindInfo info;
        if (!FindKind(kind, info)) return KV_E_PROPERTYNOTFOUND;
        ComPtr<CInfoObject> created;
        HRESULT hr = NewObjectOf(info, &created);
        if (FAILED(hr)) return hr;
        *object = static_cast<ISInfoObject*>(created.Detach());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RepositoryImpl::MarkLoaded(CInfoObject& object) {
    if (&object.Repository() != this) return E_INVALIDARG;
    CBag& bag = object.Bag();
    HRESULT hr = StampCommit(bag);
    if (FAILED(hr)) return hr;
    // Refused as StoreObject refuses it: without an SI_ID that reads as a number.
    Variant idValue;
    hr = bag.GetValue(Prop::kId, idValue.get());
    if (FAILED(hr)) return hr;
    long id = 0;
    hr = VariantToLong(idValue.ref(), id);
    if (FAILED(hr)) return hr;
    object.MarkCommitted(bag.Generation());
    return S_OK;
}

HRESULT RepositoryImpl::StampCommit(CBag& bag) {
    // The committed state is no longer new, and carries the time of this commit.
    HRESULT hr = bag.RemoveProperty(Prop::kNewObject);
    if (FAILED(hr) && hr != KV_E_PROPERTYNOTFOUND) return hr;
    VARIANT stamp;
    V_VT(&stamp) = VT_DATE;
    V_DATE(&stamp) = Now();
    return bag.SetValue(Prop::kUpdateTime, stamp);
}

HRESULT RepositoryImpl::StoreObject(CInfoObject& object) {
    if (&object.Repository() != this) return E_INVALIDARG;
    CBag& bag = object.Bag();
    HRESULT hr = StampCommit(bag);
    if (FAILED(hr)) return hr;
    // Changes made while the copy is taken leave the object dirty.
    const std::uint64_t generation = bag.Generation();
    Record record{bag.DeepCopy(), object.FileRecords()};
    Variant idValue;
    hr = record.bag->GetValue(Prop::kId, idValue.get());
    if (FAILED(hr)) return hr;
    long id = 0;
    hr = VariantToLong(idValue.ref(), id);
    if (FAILED(hr)) return hr;
    Record previous;  // released after the lock
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Record& slot = m_objects[id];
        previous = std::move(slot);
        slot = std::move(record);
    }
    object.MarkCommitted(generation);
    return S_OK;
}

HRESULT RepositoryImpl::Store(ISInfoObject* object) {
    try {
        CInfoObject* host = CInfoObject::FromInterface(object);
        if (host == nullptr) return E_INVALIDARG;
        return StoreObject(*host);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RepositoryImpl::LoadObject(long id, ComPtr<CInfoObject>* object) {
    ComPtr<CBag> committed;
    std::vector<FileRecord> files;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_objects.find(id);
        if (found == m_objects.end()) return KV_E_IDNOTINCOLLECTION;
        committed = found->second.bag;
        files = found->second.files;
    }
    // Committed bags are never changed in place (a commit replaces them), so copying outside the
    // repository's lock is safe.
    *object = Make<CInfoObject>(shared_from_this(), committed->DeepCopy(), files, false);
    return S_OK;
}

HRESULT RepositoryImpl::Load(long id, ISInfoObject** object) {
    if (object == nullptr) return E_POINTER;
    try {
        ComPtr<CInfoObject> loaded;
        HRESULT hr = LoadObject(id, &loaded);
        if (FAILED(hr)) return hr;
        *object = static_cast<ISInfoObject*>(loaded.Detach());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RepositoryImpl::Remove(long id) {
    Record removed;  // released after the lock
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_objects.find(id);
    if (found == m_objects.end()) return KV_E_IDNOTINCOLLECTION;
    removed = std::move(found->second);
    m_objects.erase(found);
    return S_OK;
}

bool RepositoryImpl::Contains(long id) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.count(id) != 0;
}

std::vector<long> RepositoryImpl::Ids() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<long> ids;
    ids.reserve(m_objects.size());
    for (const auto& entry : m_objects) ids.push_back(entry.first);
    return ids;
}

HRESULT RepositoryImpl::CommittedProperties(long id, ISProperties** copy) {
    if (copy == nullptr) return E_POINTER;
    try {
        ComPtr<CBag> committed;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            const auto found = m_objects.find(id);
            if (found == m_objects.end()) return KV_E_IDNOTINCOLLECTION;
            committed = found->second.bag;
        }
        *copy = committed->DeepCopy().Detach();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RepositoryImpl::CommittedValue(long id, std::wstring_view name, VARIANT* value) {
    ComPtr<CBag> committed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_objects.find(id);
        if (found == m_objects.end()) return KV_E_IDNOTINCOLLECTION;
        committed = found->second.bag;
    }
    return committed->GetValue(name, value);
}

HRESULT RepositoryImpl::Select(std::wstring_view query, std::vector<long>& ids) const {
    std::vector<Condition> conditions;
    if (!ParseQuery(query, conditions)) return E_INVALIDARG;
    std::vector<std::pair<long, ComPtr<CBag>>> objects;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& entry : m_objects) objects.emplace_back(entry.first, entry.second.bag);
    }
    for (const auto& [id, bag] : objects) {
        bool matches = true;
        for (const Condition& condition : conditions) {
            Variant value;
            std::wstring text;
            if (FAILED(bag->GetValue(condition.name, value.get())) ||
                FAILED(VariantToText(value.ref(), text)) || !SameName(text, condition.value)) {
                matches = false;
                break;
            }
        }
        if (matches) ids.push_back(id);
    }
    return S_OK;
}

HRESULT RepositoryImpl::GetInfoStore(ISInfoStore** store) {
    if (store == nullptr) return E_POINTER;
    try {
        *store = Make<CInfoStore>(shared_from_this()).Detach();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// =============================================================================================
// CInfoObjects

CInfoObjects::CInfoObjects(std::shared_ptr<RepositoryImpl> repository, std::wstring query,
                           std::vector<ComPtr<CInfoObject>> objects)
    : m_repository(std::move(repository)),
      m_query(std::move(query)),
      m_objects(std::move(objects)) {
    CollectionRegistry& registry = Collections();
    Guard guard(registry.lock);
    registry.live.insert(static_cast<ISInfoObjects*>(this));
}

CInfoObjects::~CInfoObjects() {
    CollectionRegistry& registry = Collections();
    Guard guard(registry.lock);
    registry.live.erase(static_cast<ISInfoObjects*>(this));
}

CInfoObjects* CInfoObjects::FromInterface(ISInfoObjects* objects) noexcept {
    if (objects == nullptr) return nullptr;
    CollectionRegistry& registry = Collections();
    Guard guard(registry.lock);
    return registry.live.count(objects) ? static_cast<CInfoObjects*>(objects) : nullptr;
}

STDMETHODIMP CInfoObjects::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISInfoObjects::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISInfoObjects)
        return E_NOINTERFACE;
    *ppv = static_cast<ISInfoObjects*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CInfoObjects::get_Count(LONG* pCount) try {
    HOST_HOOK("ISInfoObjects::get_Count");
    if (pCount == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pCount = static_cast<LONG>(m_objects.size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::get_Item(VARIANT index, ISInfoObject** ppInfoObject) try {
    HOST_HOOK("ISInfoObjects::get_Item", index);
    if (ppInfoObject == nullptr) return E_POINTER;
    long position = 0;
    HRESULT hr = VariantToLong(index, position);
    if (FAILED(hr)) return hr;
    Guard guard(m_lock);
    if (position < 1 || static_cast<size_t>(position) > m_objects.size())
        return KV_E_PROPERTYNOTFOUND;
    CInfoObject* object = m_objects[static_cast<size_t>(position) - 1].Get();
    *ppInfoObject = object;
    object->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::get__NewEnum(IUnknown** ppEnum) try {
    HOST_HOOK("ISInfoObjects::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    {
        Guard guard(m_lock);
        VARIANT item;
        V_VT(&item) = VT_DISPATCH;
        for (const auto& object : m_objects) {
            V_DISPATCH(&item) = static_cast<ISInfoObject*>(object.Get());
            const HRESULT hr = snapshot->Add(item);
            if (FAILED(hr)) return hr;
        }
    }
    *ppEnum = static_cast<IEnumVARIANT*>(Make<CVariantEnum>(std::move(snapshot)).Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::Delete(VARIANT index) try {
    HOST_HOOK("ISInfoObjects::Delete", index);
    long position = 0;
    HRESULT hr = VariantToLong(index, position);
    if (FAILED(hr)) return hr;
    ComPtr<CInfoObject> removed;  // released after the lock
    Guard guard(m_lock);
    if (position < 1 || static_cast<size_t>(position) > m_objects.size())
        return KV_E_PROPERTYNOTFOUND;
    const auto at = m_objects.begin() + (position - 1);
    m_deleted.push_back((*at)->IdOrZero());
    removed = std::move(*at);
    m_objects.erase(at);
    return S_OK;
}
HOST_CATCH()

HRESULT CInfoObjects::CommitAll() {
    std::vector<ComPtr<CInfoObject>> objects;
    std::vector<long> deleted;
    {
        Guard guard(m_lock);
        objects = m_objects;
        deleted = m_deleted;
    }
    for (const auto& object : objects) {
        const HRESULT hr = m_repository->StoreObject(*object.Get());
        if (FAILED(hr)) return hr;
    }
    for (long id : deleted) m_repository->Remove(id);  // already gone: nothing to do
    Guard guard(m_lock);
    m_deleted.clear();
    return S_OK;
}

STDMETHODIMP CInfoObjects::Commit() try {
    HOST_HOOK("ISInfoObjects::Commit");
    return CommitAll();
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::get_ResultSize(LONG* pSize) try {
    HOST_HOOK("ISInfoObjects::get_ResultSize");
    if (pSize == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pSize = static_cast<LONG>(m_objects.size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::get_Query(BSTR* pQuery) try {
    HOST_HOOK("ISInfoObjects::get_Query");
    if (pQuery == nullptr) return E_POINTER;
    return ReturnText(m_query, pQuery);
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::Add(ISPluginInfo* pPluginInfo, ISInfoObject** ppNewObject) try {
    HOST_HOOK("ISInfoObjects::Add", static_cast<const void*>(pPluginInfo));
    if (pPluginInfo == nullptr || ppNewObject == nullptr) return E_POINTER;
    BSTR kindText = nullptr;
    HRESULT hr = S_OK;
    {
        HookSuppressed quiet;
        hr = pPluginInfo->get_Kind(&kindText);
    }
    if (FAILED(hr)) return hr;
    const std::wstring kindName(TextOf(kindText));
    SysFreeString(kindText);
    KindInfo kind;
    if (!m_repository->FindKind(kindName, kind)) return KV_E_PROPERTYNOTFOUND;
    ComPtr<CInfoObject> created;
    hr = m_repository->NewObjectOf(kind, &created);
    if (FAILED(hr)) return hr;
    {
        Guard guard(m_lock);
        m_objects.push_back(created);
    }
    *ppNewObject = static_cast<ISInfoObject*>(created.Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::Copy(ISInfoObject* pSource, LONG options, ISInfoObject** ppCopy) try {
    HOST_HOOK("ISInfoObjects::Copy", static_cast<const void*>(pSource), options);
    if (pSource == nullptr || ppCopy == nullptr) return E_POINTER;
    CInfoObject* source = CInfoObject::FromInterface(pSource);
    if (source == nullptr) return E_INVALIDARG;
    Variant kindValue;
    std::wstring kindName;
    HRESULT hr = source->Bag().GetValue(Prop::kKind, kindValue.get());
    if (FAILED(hr)) return hr;
    hr = VariantToText(kindValue.ref(), kindName);
    if (FAILED(hr)) return hr;
    KindInfo kind;
    if (!m_repository->FindKind(kindName, kind)) return KV_E_PROPERTYNOTFOUND;
    ComPtr<CInfoObject> created;
    hr = m_repository->NewObjectOf(kind, &created);
    if (FAILED(hr)) return hr;
    // The copy keeps its own identity: ID, CUID, GUID and RUID.
    CBag& target = created->Bag();
    static const wchar_t* const identity[] = {Prop::kId, Prop::kCuid, Prop::kGuid, Prop::kRuid};
    Variant kept[4];
    for (int i = 0; i < 4; ++i) target.GetValue(identity[i], kept[i].get());
    target.ReplaceContents(source->Bag());
    for (int i = 0; i < 4; ++i) target.SetValue(identity[i], kept[i].ref());
    created->MarkClean();
    {
        Guard guard(m_lock);
        m_objects.push_back(created);
    }
    *ppCopy = static_cast<ISInfoObject*>(created.Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::FindByID(LONG id, ISInfoObject** ppInfoObject) try {
    HOST_HOOK("ISInfoObjects::FindByID", id);
    if (ppInfoObject == nullptr) return E_POINTER;
    std::vector<ComPtr<CInfoObject>> objects;
    {
        Guard guard(m_lock);
        objects = m_objects;
    }
    for (const auto& object : objects)
        if (object->IdOrZero() == id) {
            *ppInfoObject = static_cast<ISInfoObject*>(object.Get());
            object->AddRef();
            return S_OK;
        }
    return KV_E_IDNOTINCOLLECTION;
}
HOST_CATCH()

STDMETHODIMP CInfoObjects::get_InfoStore(ISInfoStore** ppInfoStore) try {
    HOST_HOOK("ISInfoObjects::get_InfoStore");
    if (ppInfoStore == nullptr) return E_POINTER;
    *ppInfoStore = Make<CInfoStore>(m_repository).Detach();
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CInfoStore

STDMETHODIMP CInfoStore::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISInfoStore::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISInfoStore) return E_NOINTERFACE;
    *ppv = static_cast<ISInfoStore*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CInfoStore::Query(BSTR query, ISInfoObjects** ppResult) try {
    HOST_HOOK("ISInfoStore::Query", query);
    if (ppResult == nullptr) return E_POINTER;
    std::vector<long> ids;
    HRESULT hr = m_repository->Select(TextOf(query), ids);
    if (FAILED(hr)) return hr;
    std::vector<ComPtr<CInfoObject>> objects;
    for (long id : ids) {
        ComPtr<CInfoObject> loaded;
        // An object removed since the selection is simply not in the result.
        if (SUCCEEDED(m_repository->LoadObject(id, &loaded))) objects.push_back(std::move(loaded));
    }
    *ppResult =
        Make<CInfoObjects>(m_repository, std::wstring(TextOf(query)), std::move(objects)).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoStore::Commit(ISInfoObjects* pObjects) try {
    HOST_HOOK("ISInfoStore::Commit", static_cast<const void*>(pObjects));
    if (pObjects == nullptr) return E_POINTER;
    CInfoObjects* objects = CInfoObjects::FromInterface(pObjects);
    if (objects == nullptr) return E_INVALIDARG;
    return objects->CommitAll();
}
HOST_CATCH()

STDMETHODIMP CInfoStore::get_Session(IDispatch** ppSession) try {
    HOST_HOOK("ISInfoStore::get_Session");
    if (ppSession == nullptr) return E_POINTER;
    *ppSession = nullptr;
    return S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CInfoStore::NewInfoObjectCollection(ISInfoObjects** ppCollection) try {
    HOST_HOOK("ISInfoStore::NewInfoObjectCollection");
    if (ppCollection == nullptr) return E_POINTER;
    *ppCollection =
        Make<CInfoObjects>(m_repository, std::wstring(), std::vector<ComPtr<CInfoObject>>())
            .Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoStore::Schedule(ISInfoObjects* pObjects) try {
    HOST_HOOK("ISInfoStore::Schedule", static_cast<const void*>(pObjects));
    if (pObjects == nullptr) return E_POINTER;
    return CInfoObjects::FromInterface(pObjects) ? S_OK : E_INVALIDARG;
}
HOST_CATCH()

STDMETHODIMP CInfoStore::get_PluginManager(ISPluginManager** ppPluginManager) try {
    HOST_HOOK("ISInfoStore::get_PluginManager");
    if (ppPluginManager == nullptr) return E_POINTER;
    *ppPluginManager = Make<CPluginManager>(m_repository).Detach();
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CPluginInfo

STDMETHODIMP CPluginInfo::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISPluginInfo::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISPluginInfo)
        return E_NOINTERFACE;
    *ppv = static_cast<ISPluginInfo*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CPluginInfo::get_ProgID(BSTR* pProgID) try {
    HOST_HOOK("ISPluginInfo::get_ProgID");
    return pProgID == nullptr ? E_POINTER : ReturnText(m_info.progID, pProgID);
}
HOST_CATCH()

STDMETHODIMP CPluginInfo::get_Kind(BSTR* pKind) try {
    HOST_HOOK("ISPluginInfo::get_Kind");
    return pKind == nullptr ? E_POINTER : ReturnText(m_info.kind, pKind);
}
HOST_CATCH()

STDMETHODIMP CPluginInfo::get_Description(BSTR* pDescription) try {
    HOST_HOOK("ISPluginInfo::get_Description");
    return pDescription == nullptr ? E_POINTER : ReturnText(m_info.description, pDescription);
}
HOST_CATCH()

STDMETHODIMP CPluginInfo::get_Version(BSTR* pVersion) try {
    HOST_HOOK("ISPluginInfo::get_Version");
    return pVersion == nullptr ? E_POINTER : ReturnText(L"14.0", pVersion);
}
HOST_CATCH()

STDMETHODIMP CPluginInfo::get_Properties(ISProperties** ppProperties) try {
    HOST_HOOK("ISPluginInfo::get_Properties");
    if (ppProperties == nullptr) return E_POINTER;
    Guard guard(m_lock);
    if (!m_properties) {
        ComPtr<CBag> bag = CBag::Create();
        Variant value;
        value.SetText(m_info.kind);
        bag->SetValue(Prop::kPluginKind, value.ref());
        value.SetText(m_info.progID);
        bag->SetValue(Prop::kPluginProgId, value.ref());
        value.SetText(m_info.description);
        bag->SetValue(Prop::kPluginDescription, value.ref());
        m_properties = std::move(bag);
    }
    *ppProperties = m_properties.Get();
    m_properties->AddRef();
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CPluginInfos

STDMETHODIMP CPluginInfos::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISPluginInfos::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISPluginInfos)
        return E_NOINTERFACE;
    *ppv = static_cast<ISPluginInfos*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CPluginInfos::get_Count(LONG* pCount) try {
    HOST_HOOK("ISPluginInfos::get_Count");
    if (pCount == nullptr) return E_POINTER;
    *pCount = static_cast<LONG>(m_kinds.size());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginInfos::get_Item(VARIANT index, ISPluginInfo** ppPluginInfo) try {
    HOST_HOOK("ISPluginInfos::get_Item", index);
    if (ppPluginInfo == nullptr) return E_POINTER;
    const VARIANT* key = &index;
    if (V_VT(key) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(key) != nullptr)
        key = V_VARIANTREF(key);
    const KindInfo* found = nullptr;
    if (V_VT(key) == VT_BSTR || V_VT(key) == (VT_BYREF | VT_BSTR)) {
        const std::wstring_view name = TextOf(V_VT(key) == VT_BSTR ? V_BSTR(key) : *V_BSTRREF(key));
        for (const KindInfo& kind : m_kinds)
            if (SameName(kind.kind, name) || SameName(kind.progID, name)) {
                found = &kind;
                break;
            }
    } else {
        long position = 0;
        HRESULT hr = VariantToLong(*key, position);
        if (FAILED(hr)) return hr;
        if (position >= 1 && static_cast<size_t>(position) <= m_kinds.size())
            found = &m_kinds[static_cast<size_t>(position) - 1];
    }
    if (found == nullptr) return KV_E_PROPERTYNOTFOUND;
    *ppPluginInfo = Make<CPluginInfo>(*found).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginInfos::get__NewEnum(IUnknown** ppEnum) try {
    HOST_HOOK("ISPluginInfos::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    for (const KindInfo& kind : m_kinds) {
        ComPtr<CPluginInfo> info = Make<CPluginInfo>(kind);
        VARIANT item;
        V_VT(&item) = VT_DISPATCH;
        V_DISPATCH(&item) = static_cast<ISPluginInfo*>(info.Get());
        const HRESULT hr = snapshot->Add(item);
        if (FAILED(hr)) return hr;
    }
    *ppEnum = static_cast<IEnumVARIANT*>(Make<CVariantEnum>(std::move(snapshot)).Detach());
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CPluginManager

STDMETHODIMP CPluginManager::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISPluginManager::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISPluginManager)
        return E_NOINTERFACE;
    *ppv = static_cast<ISPluginManager*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CPluginManager::get_PluginDirectory(BSTR* pDirectory) try {
    HOST_HOOK("ISPluginManager::get_PluginDirectory");
    return pDirectory == nullptr ? E_POINTER : ReturnText(L"", pDirectory);
}
HOST_CATCH()

STDMETHODIMP CPluginManager::Refresh() try {
    HOST_HOOK("ISPluginManager::Refresh");
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::GetPluginInfo(BSTR progID, ISPluginInfo** ppPluginInfo) try {
    HOST_HOOK("ISPluginManager::GetPluginInfo", progID);
    if (ppPluginInfo == nullptr) return E_POINTER;
    KindInfo kind;
    if (!m_repository->FindKind(TextOf(progID), kind)) return KV_E_PROPERTYNOTFOUND;
    *ppPluginInfo = Make<CPluginInfo>(std::move(kind)).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::IsPluginInstalled(BSTR progID, VARIANT_BOOL* pInstalled) try {
    HOST_HOOK("ISPluginManager::IsPluginInstalled", progID);
    if (pInstalled == nullptr) return E_POINTER;
    KindInfo kind;
    *pInstalled = m_repository->FindKind(TextOf(progID), kind) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::get_Locale(LONG* pLocale) try {
    HOST_HOOK("ISPluginManager::get_Locale");
    if (pLocale == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pLocale = m_locale;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::put_Locale(LONG locale) try {
    HOST_HOOK("ISPluginManager::put_Locale", locale);
    Guard guard(m_lock);
    m_locale = locale;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::get_DesktopPlugins(ISPluginInfos** ppPluginInfos) try {
    HOST_HOOK("ISPluginManager::get_DesktopPlugins");
    if (ppPluginInfos == nullptr) return E_POINTER;
    *ppPluginInfos = Make<CPluginInfos>(m_repository->Kinds()).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::get_AdminPlugins(ISPluginInfos** ppPluginInfos) try {
    HOST_HOOK("ISPluginManager::get_AdminPlugins");
    if (ppPluginInfos == nullptr) return E_POINTER;
    *ppPluginInfos = Make<CPluginInfos>(std::vector<KindInfo>()).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::get_AuthenticationPlugins(ISPluginInfos** ppPluginInfos) try {
    HOST_HOOK("ISPluginManager::get_AuthenticationPlugins");
    if (ppPluginInfos == nullptr) return E_POINTER;
    *ppPluginInfos = Make<CPluginInfos>(std::vector<KindInfo>()).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CPluginManager::get_PluginInfos(ISPluginInfos** ppPluginInfos) try {
    HOST_HOOK("ISPluginManager::get_PluginInfos");
    if (ppPluginInfos == nullptr) return E_POINTER;
    *ppPluginInfos = Make<CPluginInfos>(m_repository->Kinds()).Detach();
    return S_OK;
}
HOST_CATCH()

}  // namespace Detail

// =============================================================================================
// Public functions

std::shared_ptr<Repository> CreateRepository() {
    auto repository = std::make_shared<Detail::RepositoryImpl>();
    repository->InstallKind(KindInfo{L"Folder", L"KorvelEnterprise.Folder", L"Folder"});
    repository->InstallKind(
        KindInfo{L"CryptoGraphicKey", L"KorvelEnterprise.CryptoGraphicKey", L"Cryptographic key"});
    return repository;
}

HRESULT CreatePropertyBag(ISProperties** bag) noexcept {
    if (bag == nullptr) return E_POINTER;
    try {
        *bag = Detail::CBag::Create().Detach();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT SetLocale(ISInfoObject* object, long locale) noexcept {
    Detail::CInfoObject* host = Detail::CInfoObject::FromInterface(object);
    if (host == nullptr) return E_INVALIDARG;
    host->SetLocale(locale);
    return S_OK;
}

HRESULT AddFile(ISInfoObject* object, std::wstring_view name, const std::vector<BYTE>& contents,
                ISFile** file) noexcept {
    Detail::CInfoObject* host = Detail::CInfoObject::FromInterface(object);
    if (host == nullptr) return E_INVALIDARG;
    try {
        auto bytes = std::make_shared<const std::vector<BYTE>>(contents);
        Detail::ComPtr<Detail::CFile> added = host->AddFile(std::wstring(name), std::move(bytes));
        if (file != nullptr) *file = static_cast<ISFile*>(added.Detach());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT SetPluginInterface(ISInfoObject* object, std::wstring_view name,
                           IDispatch* answer) noexcept {
    Detail::CInfoObject* host = Detail::CInfoObject::FromInterface(object);
    if (host == nullptr) return E_INVALIDARG;
    try {
        host->SetPluginInterface(name, answer);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace RefHost
