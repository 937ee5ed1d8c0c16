// The host's InfoObject and the processing, scheduling, security and action objects.
#include "infoobject.h"

#include <mutex>
#include <unordered_set>

#include "repository.h"

namespace RefHost {

// {6E0B8D3A-52C4-4B7E-9A61-2F8C0D4E7B15}
const CLSID CLSID_RefHostInfoObject = {
    0x6e0b8d3a, 0x52c4, 0x4b7e, {0x9a, 0x61, 0x2f, 0x8c, 0x0d, 0x4e, 0x7b, 0x15}};

namespace Detail {

namespace {

using Guard = std::lock_guard<HostLock>;

// The ISInfoObject faces of the live host InfoObjects.
struct InfoObjectRegistry {
    HostLock lock;
    std::unordered_set<const ISInfoObject*> live;
};

// Never destroyed: host objects may be released while the process is shutting down.
InfoObjectRegistry& Registry() {
    static InfoObjectRegistry* const registry = new InfoObjectRegistry;
    return *registry;
}

HRESULT NameArgument(BSTR name) {
    return TextOf(name).empty() ? E_INVALIDARG : S_OK;
}

// *locales receives VT_ARRAY | VT_BSTR with the one name.
HRESULT OneTextArray(const std::wstring& text, VARIANT* target) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 1);
    if (array == nullptr) return E_OUTOFMEMORY;
    LONG index = 0;
    Bstr copy(text);
    const HRESULT hr = SafeArrayPutElement(array, &index, copy.get());
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    V_VT(target) = VT_ARRAY | VT_BSTR;
    V_ARRAY(target) = array;
    return S_OK;
}

}  // namespace

// =============================================================================================
// CInfoObject: life and identity

CInfoObject::CInfoObject(std::shared_ptr<RepositoryImpl> repository, ComPtr<CBag> bag,
                         const std::vector<FileRecord>& files, bool isNew)
    : m_repository(std::move(repository)),
      m_bag(std::move(bag)),
      m_files(Make<CFiles>()),
      m_sourceFiles(Make<CFiles>()),
      m_isNew(isNew),
      m_cleanGeneration(m_bag->Generation()) {
    m_files->Replace(files);
    InfoObjectRegistry& registry = Registry();
    Guard guard(registry.lock);
    registry.live.insert(static_cast<ISInfoObject*>(this));
}

CInfoObject::~CInfoObject() {
    InfoObjectRegistry& registry = Registry();
    Guard guard(registry.lock);
    registry.live.erase(static_cast<ISInfoObject*>(this));
}

CInfoObject* CInfoObject::FromInterface(ISInfoObject* object) noexcept {
    if (object == nullptr) return nullptr;
    InfoObjectRegistry& registry = Registry();
    Guard guard(registry.lock);
    return registry.live.count(object) ? static_cast<CInfoObject*>(object) : nullptr;
}

STDMETHODIMP CInfoObject::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISInfoObject::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_ISInfoObject)
        *ppv = static_cast<ISInfoObject*>(this);
    else if (iid == IID_ISupportErrorInfo)
        *ppv = static_cast<ISupportErrorInfo*>(this);
    else if (iid == IID_IPersist)
        *ppv = static_cast<IPersist*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP CInfoObject::InterfaceSupportsErrorInfo(REFIID iid) try {
    HOST_HOOK("ISupportErrorInfo::InterfaceSupportsErrorInfo", iid);
    return iid == IID_ISInfoObject ? S_OK : S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::GetClassID(CLSID* pClassID) try {
    HOST_HOOK("IPersist::GetClassID");
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = CLSID_RefHostInfoObject;
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CInfoObject: internal access

void CInfoObject::MarkCommitted(std::uint64_t generation) noexcept {
    Guard guard(m_lock);
    m_isNew = false;
    m_cleanGeneration = generation;
}

void CInfoObject::MarkDeleted() noexcept {
    Guard guard(m_lock);
    m_isNew = true;
}

void CInfoObject::MarkClean() noexcept {
    const std::uint64_t generation = m_bag->Generation();
    Guard guard(m_lock);
    m_cleanGeneration = generation;
}

void CInfoObject::SetLocale(long locale) noexcept {
    Guard guard(m_lock);
    m_locale = locale;
}

ComPtr<CFile> CInfoObject::AddFile(std::wstring name, Bytes contents) {
    return m_files->Append(std::move(name), std::move(contents));
}

void CInfoObject::SetPluginInterface(std::wstring_view name, IDispatch* answer) {
    std::wstring key = FoldName(name);
    ComPtr<IDispatch> previous;  // released after the lock
    Guard guard(m_lock);
    const auto found = m_pluginAnswers.find(key);
    if (found != m_pluginAnswers.end()) {
        previous = std::move(found->second);
        m_pluginAnswers.erase(found);
    }
    if (answer != nullptr) m_pluginAnswers.emplace(std::move(key), answer);
}

long CInfoObject::IdOrZero() {
    Variant value;
    long id = 0;
    if (SUCCEEDED(m_bag->GetValue(Prop::kId, value.get()))) VariantToLong(value.ref(), id);
    return id;
}

HRESULT CInfoObject::TextProperty(const wchar_t* name, BSTR* text) {
    if (text == nullptr) return E_POINTER;
    Variant value;
    std::wstring result;
    if (SUCCEEDED(m_bag->GetValue(name, value.get()))) {
        HRESULT hr = VariantToText(value.ref(), result);
        if (FAILED(hr)) return hr;
    }
    return ReturnText(result, text);
}

HRESULT CInfoObject::SetTextProperty(const wchar_t* name, BSTR text) {
    Variant value;
    value.SetText(TextOf(text));
    return m_bag->SetValue(name, value.ref());
}

HRESULT CInfoObject::LongProperty(const wchar_t* name, LONG* result) {
    if (result == nullptr) return E_POINTER;
    Variant value;
    long number = 0;
    if (SUCCEEDED(m_bag->GetValue(name, value.get()))) {
        HRESULT hr = VariantToLong(value.ref(), number);
        if (FAILED(hr)) return hr;
    }
    *result = number;
    return S_OK;
}

HRESULT CInfoObject::ParentText(const wchar_t* name, BSTR* text) {
    if (text == nullptr) return E_POINTER;
    LONG parent = 0;
    HRESULT hr = LongProperty(Prop::kParentId, &parent);
    if (FAILED(hr)) return hr;
    std::wstring result;
    Variant value;
    if (parent != 0 && SUCCEEDED(m_repository->CommittedValue(parent, name, value.get()))) {
        hr = VariantToText(value.ref(), result);
        if (FAILED(hr)) return hr;
    }
    return ReturnText(result, text);
}

std::wstring CInfoObject::LocaleName() {
    long locale = 0;
    {
        Guard guard(m_lock);
        locale = m_locale;
    }
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(static_cast<LCID>(locale), name, LOCALE_NAME_MAX_LENGTH, 0) <= 0)
        return DecimalText(locale);
    return name;
}

HRESULT CInfoObject::LocaleList(VARIANT* locales) {
    if (locales == nullptr) return E_POINTER;
    return OneTextArray(LocaleName(), locales);
}

// =============================================================================================
// CInfoObject: ISInfoObject

STDMETHODIMP CInfoObject::get_Properties(ISProperties** ppProperties) try {
    HOST_HOOK("ISInfoObject::get_Properties");
    if (ppProperties == nullptr) return E_POINTER;
    *ppProperties = m_bag.Get();
    m_bag->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Property(BSTR name, VARIANT* pValue) try {
    HOST_HOOK("ISInfoObject::get_Property", name);
    if (pValue == nullptr) return E_POINTER;
    HRESULT hr = NameArgument(name);
    if (FAILED(hr)) return hr;
    return m_bag->GetValue(TextOf(name), pValue);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_Property(BSTR name, VARIANT value) try {
    HOST_HOOK("ISInfoObject::put_Property", name, value);
    HRESULT hr = NameArgument(name);
    if (FAILED(hr)) return hr;
    return m_bag->SetValue(TextOf(name), value);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ID(LONG* pID) try {
    HOST_HOOK("ISInfoObject::get_ID");
    if (pID == nullptr) return E_POINTER;
    Variant value;
    HRESULT hr = m_bag->GetValue(Prop::kId, value.get());
    if (FAILED(hr)) return hr;
    long id = 0;
    hr = VariantToLong(value.ref(), id);
    if (FAILED(hr)) return hr;
    *pID = id;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ParentID(LONG* pParentID) try {
    HOST_HOOK("ISInfoObject::get_ParentID");
    return LongProperty(Prop::kParentId, pParentID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_ParentID(LONG parentID) try {
    HOST_HOOK("ISInfoObject::put_ParentID", parentID);
    Variant value;
    value.SetLong(parentID);
    return m_bag->SetValue(Prop::kParentId, value.ref());
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Title(BSTR* pTitle) try {
    HOST_HOOK("ISInfoObject::get_Title");
    return TextProperty(Prop::kTitle, pTitle);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_Title(BSTR title) try {
    HOST_HOOK("ISInfoObject::put_Title", title);
    return SetTextProperty(Prop::kTitle, title);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Description(BSTR* pDescription) try {
    HOST_HOOK("ISInfoObject::get_Description");
    return TextProperty(Prop::kDescription, pDescription);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_Description(BSTR description) try {
    HOST_HOOK("ISInfoObject::put_Description", description);
    return SetTextProperty(Prop::kDescription, description);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Instance(VARIANT_BOOL* pInstance) try {
    HOST_HOOK("ISInfoObject::get_Instance");
    if (pInstance == nullptr) return E_POINTER;
    LONG instance = 0;
    HRESULT hr = LongProperty(Prop::kInstance, &instance);
    if (FAILED(hr)) return hr;
    *pInstance = instance != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Locale(LONG* pLocale) try {
    HOST_HOOK("ISInfoObject::get_Locale");
    if (pLocale == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pLocale = m_locale;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Actions(ISActions** ppActions) try {
    HOST_HOOK("ISInfoObject::get_Actions");
    if (ppActions == nullptr) return E_POINTER;
    *ppActions = Make<CActions>().Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ParentInfoObjects(ISInfoObjects** ppParents) try {
    HOST_HOOK("ISInfoObject::get_ParentInfoObjects");
    if (ppParents == nullptr) return E_POINTER;
    LONG parent = 0;
    HRESULT hr = LongProperty(Prop::kParentId, &parent);
    if (FAILED(hr)) return hr;
    std::vector<ComPtr<CInfoObject>> parents;
    ComPtr<CInfoObject> loaded;
    if (parent != 0 && SUCCEEDED(m_repository->LoadObject(parent, &loaded)))
        parents.push_back(std::move(loaded));
    *ppParents =
        Make<CInfoObjects>(m_repository, L"SI_ID=" + DecimalText(parent), std::move(parents))
            .Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Picture(KvPictureKind RequestedPicture, VARIANT* pPicture) try {
    HOST_HOOK("ISInfoObject::get_Picture", static_cast<int>(RequestedPicture));
    return pPicture == nullptr ? E_POINTER : E_NOTIMPL;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::DoAction(BSTR action, VARIANT parameters, VARIANT* pResult) try {
    HOST_HOOK("ISInfoObject::DoAction", action, parameters);
    return pResult == nullptr ? E_POINTER : E_NOTIMPL;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Files(ISFiles** ppFiles) try {
    HOST_HOOK("ISInfoObject::get_Files");
    if (ppFiles == nullptr) return E_POINTER;
    *ppFiles = m_files.Get();
    m_files->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::QueryProperties(BSTR propertyList) try {
    HOST_HOOK("ISInfoObject::QueryProperties", propertyList);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SchedulingInfo(ISSchedulingInfo** ppSchedulingInfo) try {
    HOST_HOOK("ISInfoObject::get_SchedulingInfo");
    if (ppSchedulingInfo == nullptr) return E_POINTER;
    ComPtr<CBag> bag;
    HRESULT hr = m_bag->NestedBag(Prop::kSchedulingInfo, 0, &bag);
    if (FAILED(hr)) return hr;
    *ppSchedulingInfo = Make<CSchedulingInfo>(std::move(bag)).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ProcessingInfo(ISProcessingInfo** ppProcessingInfo) try {
    HOST_HOOK("ISInfoObject::get_ProcessingInfo");
    if (ppProcessingInfo == nullptr) return E_POINTER;
    ComPtr<CBag> bag;
    HRESULT hr = m_bag->NestedBag(Prop::kProcessingInfo, 0, &bag);
    if (FAILED(hr)) return hr;
    *ppProcessingInfo = Make<CProcessingInfo>(std::move(bag)).Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SecurityInfo(ISSecurityInfo** ppSecurityInfo) try {
    HOST_HOOK("ISInfoObject::get_SecurityInfo");
    if (ppSecurityInfo == nullptr) return E_POINTER;
    *ppSecurityInfo = Make<CSecurityInfo>().Detach();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_PluginInterface(BSTR InterfaceName, IDispatch** pInterface) try {
    HOST_HOOK("ISInfoObject::get_PluginInterface", InterfaceName);
    if (pInterface == nullptr) return E_POINTER;
    const std::wstring_view name = TextOf(InterfaceName);
    if (name.empty() || SameName(name, L"InfoObject")) {
        *pInterface = static_cast<ISInfoObject*>(this);
        AddRef();
        return S_OK;
    }
    const std::wstring key = FoldName(name);
    Guard guard(m_lock);
    const auto found = m_pluginAnswers.find(key);
    if (found == m_pluginAnswers.end()) return E_NOINTERFACE;
    *pInterface = found->second.Get();
    found->second->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::DoHTMLAction(BSTR Request, BSTR InterfaceIID, VARIANT SubmitData) try {
    HOST_HOOK("ISInfoObject::DoHTMLAction", Request, InterfaceIID, SubmitData);
    return KV_E_HTMLACTIONNOTSUPPORTED;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::Equals(ISInfoObject* pOther, VARIANT_BOOL* pEqual) try {
    HOST_HOOK("ISInfoObject::Equals", static_cast<const void*>(pOther));
    if (pOther == nullptr || pEqual == nullptr) return E_POINTER;
    LONG mine = 0, theirs = 0;
    HRESULT hr = LongProperty(Prop::kId, &mine);
    if (FAILED(hr)) return hr;
    {
        HookSuppressed quiet;
        hr = pOther->get_ID(&theirs);
    }
    if (FAILED(hr)) return hr;
    *pEqual = mine == theirs ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_CUID(BSTR* pCUID) try {
    HOST_HOOK("ISInfoObject::get_CUID");
    return TextProperty(Prop::kCuid, pCUID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_GUID(BSTR* pGUID) try {
    HOST_HOOK("ISInfoObject::get_GUID");
    return TextProperty(Prop::kGuid, pGUID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_RUID(BSTR* pRUID) try {
    HOST_HOOK("ISInfoObject::get_RUID");
    return TextProperty(Prop::kRuid, pRUID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ParentCUID(BSTR* pParentCUID) try {
    HOST_HOOK("ISInfoObject::get_ParentCUID");
    return ParentText(Prop::kCuid, pParentCUID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ProgID(BSTR* pProgID) try {
    HOST_HOOK("ISInfoObject::get_ProgID");
    return TextProperty(Prop::kProgId, pProgID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ObjectType(LONG* pObjectType) try {
    HOST_HOOK("ISInfoObject::get_ObjectType");
    return LongProperty(Prop::kObjectType, pObjectType);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Keyword(BSTR* pKeyword) try {
    HOST_HOOK("ISInfoObject::get_Keyword");
    return TextProperty(Prop::kKeyword, pKeyword);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_Keyword(BSTR keyword) try {
    HOST_HOOK("ISInfoObject::put_Keyword", keyword);
    return SetTextProperty(Prop::kKeyword, keyword);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Parent(ISInfoObject** ppParent) try {
    HOST_HOOK("ISInfoObject::get_Parent");
    if (ppParent == nullptr) return E_POINTER;
    LONG parent = 0;
    HRESULT hr = LongProperty(Prop::kParentId, &parent);
    if (FAILED(hr)) return hr;
    if (parent == 0) {
        *ppParent = nullptr;
        return S_FALSE;
    }
    ComPtr<CInfoObject> loaded;
    hr = m_repository->LoadObject(parent, &loaded);
    if (FAILED(hr)) return hr;
    *ppParent = static_cast<ISInfoObject*>(loaded.Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::Save() try {
    HOST_HOOK("ISInfoObject::Save");
    return m_repository->StoreObject(*this);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::DeleteNow() try {
    HOST_HOOK("ISInfoObject::DeleteNow");
    LONG id = 0;
    HRESULT hr = LongProperty(Prop::kId, &id);
    if (FAILED(hr)) return hr;
    hr = m_repository->Remove(id);
    if (FAILED(hr)) return hr;
    MarkDeleted();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SendToDestination(IDispatch** ppDestination) try {
    HOST_HOOK("ISInfoObject::get_SendToDestination");
    if (ppDestination == nullptr) return E_POINTER;
    *ppDestination = nullptr;
    return S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Kind(BSTR* pKind) try {
    HOST_HOOK("ISInfoObject::get_Kind");
    return TextProperty(Prop::kKind, pKind);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_IsDirty(VARIANT_BOOL* pDirty) try {
    HOST_HOOK("ISInfoObject::get_IsDirty");
    if (pDirty == nullptr) return E_POINTER;
    const std::uint64_t generation = m_bag->Generation();
    Guard guard(m_lock);
    *pDirty = generation != m_cleanGeneration ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MarkedAsRead(VARIANT_BOOL* pRead) try {
    HOST_HOOK("ISInfoObject::get_MarkedAsRead");
    if (pRead == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pRead = m_markedAsRead ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::put_MarkedAsRead(VARIANT_BOOL read) try {
    HOST_HOOK("ISInfoObject::put_MarkedAsRead", read);
    Guard guard(m_lock);
    m_markedAsRead = read != VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Locked(VARIANT_BOOL* pLocked) try {
    HOST_HOOK("ISInfoObject::get_Locked");
    if (pLocked == nullptr) return E_POINTER;
    *pLocked = VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::ReleaseLock() try {
    HOST_HOOK("ISInfoObject::ReleaseLock");
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_LockStatus(LONG* pStatus) try {
    HOST_HOOK("ISInfoObject::get_LockStatus");
    if (pStatus == nullptr) return E_POINTER;
    *pStatus = 0;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_DeliverToInboxPrincipals(VARIANT* pPrincipals) try {
    HOST_HOOK("ISInfoObject::get_DeliverToInboxPrincipals");
    if (pPrincipals == nullptr) return E_POINTER;
    VariantInit(pPrincipals);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SecurityInfo2(IDispatch** ppSecurityInfo) try {
    HOST_HOOK("ISInfoObject::get_SecurityInfo2");
    if (ppSecurityInfo == nullptr) return E_POINTER;
    *ppSecurityInfo = static_cast<ISSecurityInfo*>(Make<CSecurityInfo>().Detach());
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_Delta(BSTR* pDelta) try {
    HOST_HOOK("ISInfoObject::get_Delta");
    if (pDelta == nullptr) return E_POINTER;
    return ReturnText(m_bag->SerializeText(), pDelta);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::ApplyDelta(BSTR delta) try {
    HOST_HOOK("ISInfoObject::ApplyDelta", delta);
    if (delta == nullptr) return E_POINTER;
    return m_bag->MergeText(TextOf(delta));
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_LockInfo(VARIANT* pLockInfo) try {
    HOST_HOOK("ISInfoObject::get_LockInfo");
    if (pLockInfo == nullptr) return E_POINTER;
    VariantInit(pLockInfo);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::UnlockNow() try {
    HOST_HOOK("ISInfoObject::UnlockNow");
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::Serialize(VARIANT* pData) try {
    HOST_HOOK("ISInfoObject::Serialize");
    if (pData == nullptr) return E_POINTER;
    Variant text;
    text.SetText(m_bag->SerializeText());
    text.MoveTo(pData);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::Deserialize(VARIANT data) try {
    HOST_HOOK("ISInfoObject::Deserialize", data);
    std::wstring text;
    HRESULT hr = VariantToText(data, text);
    if (FAILED(hr)) return hr;
    return m_bag->DeserializeText(text);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::GetUpdateTimeStamp(DATE* pTimeStamp) try {
    HOST_HOOK("ISInfoObject::GetUpdateTimeStamp");
    if (pTimeStamp == nullptr) return E_POINTER;
    Variant value;
    DATE stamp = 0;
    if (SUCCEEDED(m_bag->GetValue(Prop::kUpdateTime, value.get()))) {
        VARIANT converted;
        VariantInit(&converted);
        HRESULT hr = VariantChangeTypeEx(&converted, value.get(), LOCALE_INVARIANT, 0, VT_DATE);
        if (FAILED(hr)) return hr;
        stamp = V_DATE(&converted);
    }
    *pTimeStamp = stamp;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::IsNew(VARIANT_BOOL* pNew) try {
    HOST_HOOK("ISInfoObject::IsNew");
    if (pNew == nullptr) return E_POINTER;
    Guard guard(m_lock);
    *pNew = m_isNew ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_DeltaEx(LONG options, BSTR* pDelta) try {
    HOST_HOOK("ISInfoObject::get_DeltaEx", options);
    if (pDelta == nullptr) return E_POINTER;
    return ReturnText(m_bag->SerializeText(), pDelta);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::ApplyDeltaEx(BSTR delta, LONG options) try {
    HOST_HOOK("ISInfoObject::ApplyDeltaEx", delta, options);
    if (delta == nullptr) return E_POINTER;
    return m_bag->MergeText(TextOf(delta));
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLTitle(LONG locale, BSTR* pTitle) try {
    HOST_HOOK("ISInfoObject::get_MLTitle", locale);
    return TextProperty(Prop::kTitle, pTitle);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLTitleEx(BSTR locale, LONG options, BSTR* pTitle) try {
    HOST_HOOK("ISInfoObject::get_MLTitleEx", locale, options);
    return TextProperty(Prop::kTitle, pTitle);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLTitleLocales(VARIANT* pLocales) try {
    HOST_HOOK("ISInfoObject::get_MLTitleLocales");
    return LocaleList(pLocales);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLDescription(LONG locale, BSTR* pDescription) try {
    HOST_HOOK("ISInfoObject::get_MLDescription", locale);
    return TextProperty(Prop::kDescription, pDescription);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLDescriptionEx(BSTR locale, LONG options, BSTR* pDescription) try {
    HOST_HOOK("ISInfoObject::get_MLDescriptionEx", locale, options);
    return TextProperty(Prop::kDescription, pDescription);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_MLDescriptionLocales(VARIANT* pLocales) try {
    HOST_HOOK("ISInfoObject::get_MLDescriptionLocales");
    return LocaleList(pLocales);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_FallBackLocale(BSTR* pLocale) try {
    HOST_HOOK("ISInfoObject::get_FallBackLocale");
    if (pLocale == nullptr) return E_POINTER;
    return ReturnText(LocaleName(), pLocale);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_FilesEx(BSTR locale, LONG options, ISFiles** ppFiles) try {
    HOST_HOOK("ISInfoObject::get_FilesEx", locale, options);
    if (ppFiles == nullptr) return E_POINTER;
    *ppFiles = m_files.Get();
    m_files->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SourceFiles(ISFiles** ppFiles) try {
    HOST_HOOK("ISInfoObject::get_SourceFiles");
    if (ppFiles == nullptr) return E_POINTER;
    *ppFiles = m_sourceFiles.Get();
    m_sourceFiles->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_FileLocales(VARIANT* pLocales) try {
    HOST_HOOK("ISInfoObject::get_FileLocales");
    return LocaleList(pLocales);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::RemoveFiles(BSTR locale) try {
    HOST_HOOK("ISInfoObject::RemoveFiles", locale);
    m_files->RemoveAll();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::RemoveSourceFiles() try {
    HOST_HOOK("ISInfoObject::RemoveSourceFiles");
    m_sourceFiles->RemoveAll();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_PluginIcon(VARIANT* pIcon) try {
    HOST_HOOK("ISInfoObject::get_PluginIcon");
    return pIcon == nullptr ? E_POINTER : E_NOTIMPL;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_CustomizedPluginName(BSTR* pName) try {
    HOST_HOOK("ISInfoObject::get_CustomizedPluginName");
    return TextProperty(Prop::kKind, pName);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ParentKind(BSTR* pKind) try {
    HOST_HOOK("ISInfoObject::get_ParentKind");
    return ParentText(Prop::kKind, pKind);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SpecificKind(BSTR* pKind) try {
    HOST_HOOK("ISInfoObject::get_SpecificKind");
    return TextProperty(Prop::kKind, pKind);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_ParentProgID(BSTR* pProgID) try {
    HOST_HOOK("ISInfoObject::get_ParentProgID");
    return ParentText(Prop::kProgId, pProgID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_SpecificProgID(BSTR* pProgID) try {
    HOST_HOOK("ISInfoObject::get_SpecificProgID");
    return TextProperty(Prop::kProgId, pProgID);
}
HOST_CATCH()

STDMETHODIMP CInfoObject::get_AlertNotification(IDispatch** ppNotification) try {
    HOST_HOOK("ISInfoObject::get_AlertNotification");
    if (ppNotification == nullptr) return E_POINTER;
    *ppNotification = nullptr;
    return S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::UpdateInfoObject(LONG flags) try {
    HOST_HOOK("ISInfoObject::UpdateInfoObject", flags);
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CInfoObject::SetPropertyEx(BSTR name, VARIANT value, LONG flags) try {
    HOST_HOOK("ISInfoObject::SetPropertyEx", name, value, flags);
    HRESULT hr = NameArgument(name);
    if (FAILED(hr)) return hr;
    return m_bag->AddProperty(TextOf(name), value, flags);
}
HOST_CATCH()

// =============================================================================================
// CProcessingInfo

STDMETHODIMP CProcessingInfo::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISProcessingInfo::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISProcessingInfo)
        return E_NOINTERFACE;
    *ppv = static_cast<ISProcessingInfo*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CProcessingInfo::get_Properties(ISProperties** ppProperties) try {
    HOST_HOOK("ISProcessingInfo::get_Properties");
    if (ppProperties == nullptr) return E_POINTER;
    *ppProperties = m_bag.Get();
    m_bag->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CProcessingInfo::get_Property(BSTR name, VARIANT* pValue) try {
    HOST_HOOK("ISProcessingInfo::get_Property", name);
    if (pValue == nullptr) return E_POINTER;
    HRESULT hr = NameArgument(name);
    if (FAILED(hr)) return hr;
    return m_bag->GetValue(TextOf(name), pValue);
}
HOST_CATCH()

STDMETHODIMP CProcessingInfo::put_Property(BSTR name, VARIANT value) try {
    HOST_HOOK("ISProcessingInfo::put_Property", name, value);
    HRESULT hr = NameArgument(name);
    if (FAILED(hr)) return hr;
    return m_bag->SetValue(TextOf(name), value);
}
HOST_CATCH()

// =============================================================================================
// CSchedulingInfo

STDMETHODIMP CSchedulingInfo::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISSchedulingInfo::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISSchedulingInfo)
        return E_NOINTERFACE;
    *ppv = static_cast<ISSchedulingInfo*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CSchedulingInfo::get_Properties(ISProperties** ppProperties) try {
    HOST_HOOK("ISSchedulingInfo::get_Properties");
    if (ppProperties == nullptr) return E_POINTER;
    *ppProperties = m_bag.Get();
    m_bag->AddRef();
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CSchedulingInfo::get_Type(LONG* pType) try {
    HOST_HOOK("ISSchedulingInfo::get_Type");
    if (pType == nullptr) return E_POINTER;
    Variant value;
    long type = 0;
    if (SUCCEEDED(m_bag->GetValue(Prop::kScheduleType, value.get()))) {
        HRESULT hr = VariantToLong(value.ref(), type);
        if (FAILED(hr)) return hr;
    }
    *pType = type;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CSchedulingInfo::put_Type(LONG type) try {
    HOST_HOOK("ISSchedulingInfo::put_Type", type);
    Variant value;
    value.SetLong(type);
    return m_bag->SetValue(Prop::kScheduleType, value.ref());
}
HOST_CATCH()

HRESULT CSchedulingInfo::GetDate(const wchar_t* name, DATE* date) {
    if (date == nullptr) return E_POINTER;
    Variant value;
    DATE result = 0;
    if (SUCCEEDED(m_bag->GetValue(name, value.get()))) {
        VARIANT converted;
        VariantInit(&converted);
        HRESULT hr = VariantChangeTypeEx(&converted, value.get(), LOCALE_INVARIANT, 0, VT_DATE);
        if (FAILED(hr)) return hr;
        result = V_DATE(&converted);
    }
    *date = result;
    return S_OK;
}

HRESULT CSchedulingInfo::PutDate(const wchar_t* name, DATE date) {
    VARIANT value;
    V_VT(&value) = VT_DATE;
    V_DATE(&value) = date;
    return m_bag->SetValue(name, value);
}

STDMETHODIMP CSchedulingInfo::get_BeginDate(DATE* pDate) try {
    HOST_HOOK("ISSchedulingInfo::get_BeginDate");
    return GetDate(Prop::kScheduleBegin, pDate);
}
HOST_CATCH()

STDMETHODIMP CSchedulingInfo::put_BeginDate(DATE date) try {
    HOST_HOOK("ISSchedulingInfo::put_BeginDate", date);
    return PutDate(Prop::kScheduleBegin, date);
}
HOST_CATCH()

STDMETHODIMP CSchedulingInfo::get_EndDate(DATE* pDate) try {
    HOST_HOOK("ISSchedulingInfo::get_EndDate");
    return GetDate(Prop::kScheduleEnd, pDate);
}
HOST_CATCH()

STDMETHODIMP CSchedulingInfo::put_EndDate(DATE date) try {
    HOST_HOOK("ISSchedulingInfo::put_EndDate", date);
    return PutDate(Prop::kScheduleEnd, date);
}
HOST_CATCH()

// =============================================================================================
// CSecurityInfo

STDMETHODIMP CSecurityInfo::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISSecurityInfo::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISSecurityInfo)
        return E_NOINTERFACE;
    *ppv = static_cast<ISSecurityInfo*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CSecurityInfo::get_ObjectPrincipals(IDispatch** ppPrincipals) try {
    HOST_HOOK("ISSecurityInfo::get_ObjectPrincipals");
    if (ppPrincipals == nullptr) return E_POINTER;
    *ppPrincipals = nullptr;
    return S_FALSE;
}
HOST_CATCH()

STDMETHODIMP CSecurityInfo::CheckRight(LONG rightID, VARIANT_BOOL ownerRight,
                                       VARIANT_BOOL* pGranted) try {
    HOST_HOOK("ISSecurityInfo::CheckRight", rightID, ownerRight);
    if (pGranted == nullptr) return E_POINTER;
    *pGranted = VARIANT_TRUE;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CSecurityInfo::CheckRights(VARIANT rightIDs, VARIANT_BOOL ownerRights,
                                        VARIANT* pGranted) try {
    HOST_HOOK("ISSecurityInfo::CheckRights", rightIDs, ownerRights);
    if (pGranted == nullptr) return E_POINTER;
    const VARIANT* rights = &rightIDs;
    if (V_VT(rights) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(rights) != nullptr)
        rights = V_VARIANTREF(rights);
    if (!(V_VT(rights) & VT_ARRAY)) {
        V_VT(pGranted) = VT_BOOL;
        V_BOOL(pGranted) = VARIANT_TRUE;
        return S_OK;
    }
    SAFEARRAY* input = (V_VT(rights) & VT_BYREF) ? *V_ARRAYREF(rights) : V_ARRAY(rights);
    if (input == nullptr || SafeArrayGetDim(input) != 1) return E_INVALIDARG;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(input, 1, &lower);
    SafeArrayGetUBound(input, 1, &upper);
    const ULONG count = upper >= lower ? static_cast<ULONG>(upper - lower + 1) : 0;
    SAFEARRAY* output = SafeArrayCreateVector(VT_VARIANT, 0, count);
    if (output == nullptr) return E_OUTOFMEMORY;
    VARIANT granted;
    V_VT(&granted) = VT_BOOL;
    V_BOOL(&granted) = VARIANT_TRUE;
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) SafeArrayPutElement(output, &i, &granted);
    V_VT(pGranted) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(pGranted) = output;
    return S_OK;
}
HOST_CATCH()

// =============================================================================================
// CActions

STDMETHODIMP CActions::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    try {
        HOST_HOOK("ISActions::QueryInterface", iid);
    }
    HOST_CATCH()
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_ISActions) return E_NOINTERFACE;
    *ppv = static_cast<ISActions*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CActions::get_Count(LONG* pCount) try {
    HOST_HOOK("ISActions::get_Count");
    if (pCount == nullptr) return E_POINTER;
    *pCount = 0;
    return S_OK;
}
HOST_CATCH()

STDMETHODIMP CActions::get_Item(VARIANT index, VARIANT* pAction) try {
    HOST_HOOK("ISActions::get_Item", index);
    return pAction == nullptr ? E_POINTER : KV_E_PROPERTYNOTFOUND;
}
HOST_CATCH()

STDMETHODIMP CActions::get__NewEnum(IUnknown** ppEnum) try {
    HOST_HOOK("ISActions::get__NewEnum");
    if (ppEnum == nullptr) return E_POINTER;
    auto snapshot = std::make_shared<CVariantEnum::Snapshot>();
    *ppEnum = static_cast<IEnumVARIANT*>(Make<CVariantEnum>(std::move(snapshot)).Detach());
    return S_OK;
}
HOST_CATCH()

}  // namespace Detail
}  // namespace RefHost
