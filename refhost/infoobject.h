// The host's InfoObject (ISInfoObject) and the small objects it hands out: processing info,
// scheduling info, security info and actions.
//
// The object's state lives in its property bag wherever the repository keeps it: ID (SI_ID),
// parent (SI_PARENTID), title (SI_NAME), description, kind, ProgID, CUID/GUID/RUID, keyword,
// the processing info's bag (nested in SI_PROCESSINFO) and the scheduling info's (nested in
// SI_SCHEDULEINFO). Locale, files, the new/dirty/read/lock marks and the plug-in interface
// answers are kept by the object itself. Typed getters of an absent property answer an empty
// text, 0 or false; only ID fails (KV_E_PROPERTYNOTFOUND).
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "bag.h"
#include "files.h"

namespace RefHost::Detail {

class RepositoryImpl;

class CInfoObject final
    : public ComLib::IDispatchImpl<ISInfoObject, &IID_ISInfoObject, &LIBID_KorvelInfoStoreLib>,
      public ISupportErrorInfo,
      public IPersist,
      public HostObject {
  public:
    CInfoObject(std::shared_ptr<RepositoryImpl> repository, ComPtr<CBag> bag,
                const std::vector<FileRecord>& files, bool isNew);

    // The host object behind an interface pointer, or null when the pointer is not the
    // ISInfoObject face of a live host InfoObject. The caller holds a reference.
    static CInfoObject* FromInterface(ISInfoObject* object) noexcept;

    REFHOST_REFCOUNT
    // IUnknown, IDispatch and ISInfoObject; ISupportErrorInfo; IPersist.
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;

    // ISupportErrorInfo: S_OK for ISInfoObject, S_FALSE otherwise.
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID iid) override;
    // IPersist: CLSID_RefHostInfoObject.
    STDMETHOD(GetClassID)(CLSID* pClassID) override;

    // ISInfoObject
    STDMETHOD(get_Properties)(ISProperties** ppProperties) override;
    // KV_E_PROPERTYNOTFOUND when absent; E_INVALIDARG for an empty name.
    STDMETHOD(get_Property)(BSTR name, VARIANT* pValue) override;
    // Adds (flags 0) or replaces the value (flags kept).
    STDMETHOD(put_Property)(BSTR name, VARIANT value) override;
    STDMETHOD(get_ID)(LONG* pID) override;
    STDMETHOD(get_ParentID)(LONG* pParentID) override;
    STDMETHOD(get_Title)(BSTR* pTitle) override;
    STDMETHOD(put_Title)(BSTR title) override;
    STDMETHOD(get_Description)(BSTR* pDescription) override;
    STDMETHOD(put_Description)(BSTR description) override;
    STDMETHOD(get_Instance)(VARIANT_BOOL* pInstance) override;
    STDMETHOD(get_Locale)(LONG* pLocale) override;
    STDMETHOD(get_Actions)(ISActions** ppActions) override;  // an empty action list
    // The committed parent (none when the parent is 0 or not committed); its InfoStore is the
    // repository's.
    STDMETHOD(get_ParentInfoObjects)(ISInfoObjects** ppParents) override;
    STDMETHOD(get_Picture)
    (KvPictureKind RequestedPicture, VARIANT* pPicture) override;                     // E_NOTIMPL
    STDMETHOD(DoAction)(BSTR action, VARIANT parameters, VARIANT* pResult) override;  // E_NOTIMPL
    STDMETHOD(get_Files)(ISFiles** ppFiles) override;
    STDMETHOD(QueryProperties)(BSTR propertyList) override;  // S_OK: every property is loaded
    STDMETHOD(get_SchedulingInfo)(ISSchedulingInfo** ppSchedulingInfo) override;
    STDMETHOD(get_ProcessingInfo)(ISProcessingInfo** ppProcessingInfo) override;
    STDMETHOD(get_SecurityInfo)(ISSecurityInfo** ppSecurityInfo) override;
    // "" and "InfoObject": this object; names registered with SetPluginInterface: their answer;
    // others: E_NOINTERFACE.
    STDMETHOD(get_PluginInterface)(BSTR InterfaceName, IDispatch** pInterface) override;
    // KV_E_HTMLACTIONNOTSUPPORTED.
    STDMETHOD(DoHTMLAction)(BSTR Request, BSTR InterfaceIID, VARIANT SubmitData) override;
    // Equal when both have the same ID.
    STDMETHOD(Equals)(ISInfoObject* pOther, VARIANT_BOOL* pEqual) override;
    STDMETHOD(get_CUID)(BSTR* pCUID) override;
    STDMETHOD(get_GUID)(BSTR* pGUID) override;
    STDMETHOD(get_RUID)(BSTR* pRUID) override;
    STDMETHOD(put_ParentID)(LONG parentID) override;
    STDMETHOD(get_ParentCUID)(BSTR* pParentCUID) override;
    STDMETHOD(get_ProgID)(BSTR* pProgID) override;
    STDMETHOD(get_ObjectType)(LONG* pObjectType) override;
    STDMETHOD(get_Keyword)(BSTR* pKeyword) override;
    STDMETHOD(put_Keyword)(BSTR keyword) override;
    // A new host object over the committed parent; S_FALSE and null when the parent ID is 0;
    // KV_E_IDNOTINCOLLECTION when the parent is not committed.
    STDMETHOD(get_Parent)(ISInfoObject** ppParent) override;
    STDMETHOD(Save)() override;       // commits the object (Repository::Store)
    STDMETHOD(DeleteNow)() override;  // forgets its committed state; the object counts as new
    STDMETHOD(get_SendToDestination)(IDispatch** ppDestination) override;  // S_FALSE, null
    STDMETHOD(get_Kind)(BSTR* pKind) override;
    // True once the bag changed after the object was made, loaded or last committed.
    STDMETHOD(get_IsDirty)(VARIANT_BOOL* pDirty) override;
    STDMETHOD(get_MarkedAsRead)(VARIANT_BOOL* pRead) override;
    STDMETHOD(put_MarkedAsRead)(VARIANT_BOOL read) override;
    STDMETHOD(get_Locked)(VARIANT_BOOL* pLocked) override;  // never locked: false
    STDMETHOD(ReleaseLock)() override;
    STDMETHOD(get_LockStatus)(LONG* pStatus) override;                       // 0
    STDMETHOD(get_DeliverToInboxPrincipals)(VARIANT* pPrincipals) override;  // VT_EMPTY
    STDMETHOD(get_SecurityInfo2)(IDispatch** ppSecurityInfo) override;
    // The whole bag as text (the form of Serialize); ApplyDelta merges such a text in.
    STDMETHOD(get_Delta)(BSTR* pDelta) override;
    STDMETHOD(ApplyDelta)(BSTR delta) override;
    STDMETHOD(get_LockInfo)(VARIANT* pLockInfo) override;  // VT_EMPTY
    STDMETHOD(UnlockNow)() override;
    // VT_BSTR: the bag as text. Deserialize replaces the bag's contents with such a text
    // (E_INVALIDARG, nothing changed, for a malformed one).
    STDMETHOD(Serialize)(VARIANT* pData) override;
    STDMETHOD(Deserialize)(VARIANT data) override;
    STDMETHOD(GetUpdateTimeStamp)(DATE* pTimeStamp) override;  // SI_UPDATE_TS
    STDMETHOD(IsNew)(VARIANT_BOOL* pNew) override;
    STDMETHOD(get_DeltaEx)(LONG options, BSTR* pDelta) override;
    STDMETHOD(ApplyDeltaEx)(BSTR delta, LONG options) override;
    // Titles and descriptions have one language: the object's.
    STDMETHOD(get_MLTitle)(LONG locale, BSTR* pTitle) override;
    STDMETHOD(get_MLTitleEx)(BSTR locale, LONG options, BSTR* pTitle) override;
    STDMETHOD(get_MLTitleLocales)(VARIANT* pLocales) override;
    STDMETHOD(get_MLDescription)(LONG locale, BSTR* pDescription) override;
    STDMETHOD(get_MLDescriptionEx)(BSTR locale, LONG options, BSTR* pDescription) override;
    STDMETHOD(get_MLDescriptionLocales)(VARIANT* pLocales) override;
    STDMETHOD(get_FallBackLocale)(BSTR* pLocale) override;
    STDMETHOD(get_FilesEx)(BSTR locale, LONG options, ISFiles** ppFiles) override;  // the files
    STDMETHOD(get_SourceFiles)(ISFiles** ppFiles) override;
    STDMETHOD(get_FileLocales)(VARIANT* pLocales) override;
    STDMETHOD(RemoveFiles)(BSTR locale) override;
    STDMETHOD(RemoveSourceFiles)() override;
    STDMETHOD(get_PluginIcon)(VARIANT* pIcon) override;  // E_NOTIMPL
    STDMETHOD(get_CustomizedPluginName)(BSTR* pName) override;
    STDMETHOD(get_ParentKind)(BSTR* pKind) override;
    STDMETHOD(get_SpecificKind)(BSTR* pKind) override;
    STDMETHOD(get_ParentProgID)(BSTR* pProgID) override;
    STDMETHOD(get_SpecificProgID)(BSTR* pProgID) override;
    STDMETHOD(get_AlertNotification)(IDispatch** ppNotification) override;  // S_FALSE, null
    STDMETHOD(UpdateInfoObject)(LONG flags) override;                       // S_OK
    // Adds or replaces value and flags.
    STDMETHOD(SetPropertyEx)(BSTR name, VARIANT value, LONG flags) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISInfoObject*>(this); }

    // ---- Internal access
    CBag& Bag() noexcept { return *m_bag.Get(); }
    RepositoryImpl& Repository() noexcept { return *m_repository; }
    std::vector<FileRecord> FileRecords() { return m_files->Records(); }
    // After a commit that copied the bag as it was at `generation`.
    void MarkCommitted(std::uint64_t generation) noexcept;
    void MarkDeleted() noexcept;
    // The bag as it is now counts as unchanged.
    void MarkClean() noexcept;
    void SetLocale(long locale) noexcept;
    ComPtr<CFile> AddFile(std::wstring name, Bytes contents);
    void SetPluginInterface(std::wstring_view name, IDispatch* answer);
    long IdOrZero();

  private:
    ~CInfoObject() override;

    HRESULT TextProperty(const wchar_t* name, BSTR* text);
    HRESULT SetTextProperty(const wchar_t* name, BSTR text);
    HRESULT LongProperty(const wchar_t* name, LONG* value);
    HRESULT ParentText(const wchar_t* name, BSTR* text);
    HRESULT LocaleList(VARIANT* locales);
    std::wstring LocaleName();

    const std::shared_ptr<RepositoryImpl> m_repository;
    const ComPtr<CBag> m_bag;
    const ComPtr<CFiles> m_files;
    const ComPtr<CFiles> m_sourceFiles;
    HostLock m_lock;
    // Guarded by m_lock:
    long m_locale = 1033;
    bool m_isNew;
    bool m_markedAsRead = false;
    std::uint64_t m_cleanGeneration;
    std::unordered_map<std::wstring, ComPtr<IDispatch>> m_pluginAnswers;  // folded name
};

class CProcessingInfo final : public ComLib::IDispatchImpl<ISProcessingInfo, &IID_ISProcessingInfo,
                                                           &LIBID_KorvelInfoStoreLib>,
                              public HostObject {
  public:
    explicit CProcessingInfo(ComPtr<CBag> bag) noexcept : m_bag(std::move(bag)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Properties)(ISProperties** ppProperties) override;
    // KV_E_PROPERTYNOTFOUND when absent; E_INVALIDARG for an empty name.
    STDMETHOD(get_Property)(BSTR name, VARIANT* pValue) override;
    // Adds (flags 0) or replaces the value (flags kept).
    STDMETHOD(put_Property)(BSTR name, VARIANT value) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISProcessingInfo*>(this); }

  private:
    ~CProcessingInfo() override = default;
    const ComPtr<CBag> m_bag;
};

// Over the bag nested in SI_SCHEDULEINFO: SI_SCHEDULE_TYPE, SI_STARTTIME, SI_ENDTIME (0 when
// absent).
class CSchedulingInfo final : public ComLib::IDispatchImpl<ISSchedulingInfo, &IID_ISSchedulingInfo,
                                                           &LIBID_KorvelInfoStoreLib>,
                              public HostObject {
  public:
    explicit CSchedulingInfo(ComPtr<CBag> bag) noexcept : m_bag(std::move(bag)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Properties)(ISProperties** ppProperties) override;
    STDMETHOD(get_Type)(LONG* pType) override;
    STDMETHOD(put_Type)(LONG type) override;
    STDMETHOD(get_BeginDate)(DATE* pDate) override;
    STDMETHOD(put_BeginDate)(DATE date) override;
    STDMETHOD(get_EndDate)(DATE* pDate) override;
    STDMETHOD(put_EndDate)(DATE date) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISSchedulingInfo*>(this); }

  private:
    ~CSchedulingInfo() override = default;
    HRESULT GetDate(const wchar_t* name, DATE* date);
    HRESULT PutDate(const wchar_t* name, DATE date);
    const ComPtr<CBag> m_bag;
};

// The reference host grants every right.
class CSecurityInfo final
    : public ComLib::IDispatchImpl<ISSecurityInfo, &IID_ISSecurityInfo, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CSecurityInfo() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_ObjectPrincipals)(IDispatch** ppPrincipals) override;  // S_FALSE, null
    STDMETHOD(CheckRight)(LONG rightID, VARIANT_BOOL ownerRight, VARIANT_BOOL* pGranted) override;
    // One VT_BOOL per right: an array (VT_ARRAY | VT_VARIANT) for an array of rights.
    STDMETHOD(CheckRights)(VARIANT rightIDs, VARIANT_BOOL ownerRights, VARIANT* pGranted) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISSecurityInfo*>(this); }

  private:
    ~CSecurityInfo() override = default;
};

class CActions final
    : public ComLib::IDispatchImpl<ISActions, &IID_ISActions, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CActions() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;                    // 0
    STDMETHOD(get_Item)(VARIANT index, VARIANT* pAction) override;  // KV_E_PROPERTYNOTFOUND
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISActions*>(this); }

  private:
    ~CActions() override = default;
};

}  // namespace RefHost::Detail
