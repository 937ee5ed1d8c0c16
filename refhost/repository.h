// The in-memory repository behind the info store, and the collection, info store and plug-in
// manager objects over it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "infoobject.h"
#include "refhost.h"

namespace RefHost::Detail {

class RepositoryImpl final : public Repository,
                             public std::enable_shared_from_this<RepositoryImpl> {
  public:
    RepositoryImpl() = default;
    ~RepositoryImpl() override = default;

    // Repository
    HRESULT InstallKind(const KindInfo& info) override;
    std::vector<KindInfo> Kinds() const override;
    HRESULT NewObject(std::wstring_view kind, ISInfoObject** object) override;
    HRESULT Store(ISInfoObject* object) override;
    HRESULT Load(long id, ISInfoObject** object) override;
    HRESULT Remove(long id) override;
    bool Contains(long id) const override;
    std::vector<long> Ids() const override;
    HRESULT CommittedProperties(long id, ISProperties** copy) override;
    HRESULT GetInfoStore(ISInfoStore** store) override;

    // ---- Internal
    // The installed kind named `kindOrProgId` (a kind or a ProgID, without regard to case).
    bool FindKind(std::wstring_view kindOrProgId, KindInfo& info) const;
    // A new object of `kind`. With `id` 0 it gets a new ID (see TakeId); with a positive `id`,
    // that one: HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) when an object is committed under it.
    // With `empty`, the object's bag is left empty (for a saved bag put back whole).
    HRESULT NewObjectOf(const KindInfo& kind, ComPtr<CInfoObject>* object, long id = 0,
                        bool empty = false);
    HRESULT StoreObject(CInfoObject& object);
    // The object as StoreObject leaves it, without a committed copy (see RefHost::MarkLoaded).
    HRESULT MarkLoaded(CInfoObject& object);
    HRESULT LoadObject(long id, ComPtr<CInfoObject>* object);
    // A committed property's value; KV_E_IDNOTINCOLLECTION or KV_E_PROPERTYNOTFOUND.
    HRESULT CommittedValue(long id, std::wstring_view name, VARIANT* value);
    // IDs of committed objects whose properties match every NAME=VALUE condition (values
    // compared as text without regard to case). See CInfoStore::Query for the query form.
    HRESULT Select(std::wstring_view query, std::vector<long>& ids) const;

  private:
    struct Record {
        ComPtr<CBag> bag;
        std::vector<FileRecord> files;
    };

    // Hands out the ID of a new object (`wanted` 0) or takes `wanted`, under m_lock. New IDs
    // count up from 1001, above every ID handed out or taken so far; an ID taken above the
    // counter moves the counter there at once, whatever the distance, and the IDs jumped over
    // are kept as ranges. Once the counter has handed out 2,147,483,647, a new object gets the
    // lowest ID of those ranges that no object is committed under;
    // HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS) when there is none. No ID is handed out twice.
    HRESULT TakeId(long wanted, long& id);
    // Removes SI_NEWOBJECT from the bag and stamps SI_UPDATE_TS with the time now.
    static HRESULT StampCommit(CBag& bag);

    mutable std::mutex m_lock;
    std::vector<KindInfo> m_kinds;
    std::map<long, Record> m_objects;
    long m_lastId = 1000;
    // IDs above 1000 and below m_lastId that were neither handed out nor taken: first -> last.
    std::map<long, long> m_skipped;
};

// A collection of host InfoObjects. The collections a repository hands out (query results,
// parents, new-object collections) all are of this class.
class CInfoObjects final
    : public ComLib::IDispatchImpl<ISInfoObjects, &IID_ISInfoObjects, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CInfoObjects(std::shared_ptr<RepositoryImpl> repository, std::wstring query,
                 std::vector<ComPtr<CInfoObject>> objects);

    // The host collection behind an interface pointer, or null.
    static CInfoObjects* FromInterface(ISInfoObjects* objects) noexcept;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    // index: position 1..count; KV_E_PROPERTYNOTFOUND outside.
    STDMETHOD(get_Item)(VARIANT index, ISInfoObject** ppInfoObject) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    // Takes the object at index out of the collection; Commit then deletes it from the
    // repository.
    STDMETHOD(Delete)(VARIANT index) override;
    // Stores every object of the collection, then deletes those taken out by Delete. The first
    // failure is returned (the objects before it are stored).
    STDMETHOD(Commit)() override;
    STDMETHOD(get_ResultSize)(LONG* pSize) override;
    STDMETHOD(get_Query)(BSTR* pQuery) override;
    // A new object of the plug-in info's kind (asked through ISPluginInfo::get_Kind), added to
    // the collection. KV_E_PROPERTYNOTFOUND for a kind that is not installed.
    STDMETHOD(Add)(ISPluginInfo* pPluginInfo, ISInfoObject** ppNewObject) override;
    // A new object of the source's kind whose bag is a copy of the source's with a new ID,
    // CUID, GUID and RUID; added to the collection. The source must be a host object.
    STDMETHOD(Copy)(ISInfoObject* pSource, LONG options, ISInfoObject** ppCopy) override;
    // KV_E_IDNOTINCOLLECTION when no object of the collection has that ID.
    STDMETHOD(FindByID)(LONG id, ISInfoObject** ppInfoObject) override;
    STDMETHOD(get_InfoStore)(ISInfoStore** ppInfoStore) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISInfoObjects*>(this); }

    HRESULT CommitAll();

  private:
    ~CInfoObjects() override;

    const std::shared_ptr<RepositoryImpl> m_repository;
    const std::wstring m_query;
    HostLock m_lock;
    std::vector<ComPtr<CInfoObject>> m_objects;  // guarded by m_lock
    std::vector<long> m_deleted;                 // guarded by m_lock
};

class CInfoStore final
    : public ComLib::IDispatchImpl<ISInfoStore, &IID_ISInfoStore, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    explicit CInfoStore(std::shared_ptr<RepositoryImpl> repository) noexcept
        : m_repository(std::move(repository)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    // The committed objects that match the query, as new host objects in ID order. Query form:
    // empty or "*" for every object, else conditions NAME=VALUE joined by AND, optionally after
    // "SELECT ... WHERE" (e.g. "SELECT * FROM CI_INFOOBJECTS WHERE SI_KIND='Folder' AND
    // SI_PARENTID=0"); E_INVALIDARG for another form.
    STDMETHOD(Query)(BSTR query, ISInfoObjects** ppResult) override;
    // Commits the objects of a host collection (as ISInfoObjects::Commit).
    STDMETHOD(Commit)(ISInfoObjects* pObjects) override;
    STDMETHOD(get_Session)(IDispatch** ppSession) override;  // no session: S_FALSE, null
    STDMETHOD(NewInfoObjectCollection)(ISInfoObjects** ppCollection) override;
    // Nothing runs scheduled work here: S_OK for a host collection.
    STDMETHOD(Schedule)(ISInfoObjects* pObjects) override;
    STDMETHOD(get_PluginManager)(ISPluginManager** ppPluginManager) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISInfoStore*>(this); }

  private:
    ~CInfoStore() override = default;
    const std::shared_ptr<RepositoryImpl> m_repository;
};

class CPluginInfo final
    : public ComLib::IDispatchImpl<ISPluginInfo, &IID_ISPluginInfo, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    explicit CPluginInfo(KindInfo info) noexcept : m_info(std::move(info)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_ProgID)(BSTR* pProgID) override;
    STDMETHOD(get_Kind)(BSTR* pKind) override;
    STDMETHOD(get_Description)(BSTR* pDescription) override;
    STDMETHOD(get_Version)(BSTR* pVersion) override;  // "14.0"
    // A bag with SI_KIND, SI_PROGID and SI_DESCRIPTION, made on the first request.
    STDMETHOD(get_Properties)(ISProperties** ppProperties) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISPluginInfo*>(this); }
    const KindInfo& Info() const noexcept { return m_info; }

  private:
    ~CPluginInfo() override = default;
    const KindInfo m_info;
    HostLock m_lock;
    ComPtr<CBag> m_properties;  // guarded by m_lock
};

class CPluginInfos final
    : public ComLib::IDispatchImpl<ISPluginInfos, &IID_ISPluginInfos, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    explicit CPluginInfos(std::vector<KindInfo> kinds) noexcept : m_kinds(std::move(kinds)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    // index: VT_BSTR kind or ProgID (without regard to case), or a position 1..count;
    // KV_E_PROPERTYNOTFOUND when nothing matches.
    STDMETHOD(get_Item)(VARIANT index, ISPluginInfo** ppPluginInfo) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISPluginInfos*>(this); }

  private:
    ~CPluginInfos() override = default;
    const std::vector<KindInfo> m_kinds;
};

class CPluginManager final : public ComLib::IDispatchImpl<ISPluginManager, &IID_ISPluginManager,
                                                          &LIBID_KorvelInfoStoreLib>,
                             public HostObject {
  public:
    explicit CPluginManager(std::shared_ptr<RepositoryImpl> repository) noexcept
        : m_repository(std::move(repository)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_PluginDirectory)(BSTR* pDirectory) override;  // "" (nothing on disk)
    STDMETHOD(Refresh)() override;
    // By ProgID or kind; KV_E_PROPERTYNOTFOUND when not installed.
    STDMETHOD(GetPluginInfo)(BSTR progID, ISPluginInfo** ppPluginInfo) override;
    STDMETHOD(IsPluginInstalled)(BSTR progID, VARIANT_BOOL* pInstalled) override;
    STDMETHOD(get_Locale)(LONG* pLocale) override;
    STDMETHOD(put_Locale)(LONG locale) override;
    // Every installed plug-in is a desktop plug-in; there are no admin or authentication ones.
    STDMETHOD(get_DesktopPlugins)(ISPluginInfos** ppPluginInfos) override;
    STDMETHOD(get_AdminPlugins)(ISPluginInfos** ppPluginInfos) override;
    STDMETHOD(get_AuthenticationPlugins)(ISPluginInfos** ppPluginInfos) override;
    STDMETHOD(get_PluginInfos)(ISPluginInfos** ppPluginInfos) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISPluginManager*>(this); }

  private:
    ~CPluginManager() override = default;
    const std::shared_ptr<RepositoryImpl> m_repository;
    HostLock m_lock;
    long m_locale = 1033;  // guarded by m_lock
};

}  // namespace RefHost::Detail
