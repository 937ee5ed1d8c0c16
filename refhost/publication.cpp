// The publication settings objects of the host (format infos, scope-batch scopes and the two
// mapping lists) over the bag they are given, and their class objects.
#include "publication.h"

#include <algorithm>
#include <mutex>

#include "refhost.h"

namespace RefHost {
namespace Detail {

namespace {

constexpr HRESULT kAlreadyInitialized = HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);

// A VARIANT of type VT_BSTR holding text. Throws std::bad_alloc.
void SetText(Variant& value, std::wstring_view text) {
    value.SetText(text);
}

// The ISProperties face of an element value (VT_DISPATCH or VT_UNKNOWN); null otherwise.
ComPtr<ISProperties> ElementBag(const VARIANT& value) {
    IUnknown* object = nullptr;
    if (V_VT(&value) == VT_DISPATCH) object = V_DISPATCH(&value);
    if (V_VT(&value) == VT_UNKNOWN) object = V_UNKNOWN(&value);
    ComPtr<ISProperties> bag;
    if (object)
        object->QueryInterface(IID_ISProperties, reinterpret_cast<void**>(bag.GetAddressOf()));
    return bag;
}

// The value of property `name` of `bag`; KV_E_PROPERTYNOTFOUND when absent.
HRESULT PropertyValue(ISProperties* bag, const wchar_t* name, Variant& value) {
    Variant nameValue;
    SetText(nameValue, name);
    ComPtr<ISProperty> property;
    HRESULT hr = bag->get_Item(nameValue.ref(), &property);
    if (FAILED(hr)) return hr;
    if (!property) return KV_E_PROPERTYNOTFOUND;
    value.Clear();
    return property->get_Value(value.get());
}

// Adds (or replaces) property `name` of `bag` with `value`, flags 0.
HRESULT SetProperty(ISProperties* bag, const wchar_t* name, const VARIANT& value) {
    Bstr nameText(name);
    ComPtr<ISProperty> property;
    return bag->Add(nameText.get(), value, 0, &property);
}

}  // namespace

// =============================================================================================
// ElementList

HRESULT ElementList::Bind(ISProperties* bag, long locale) {
    if (bag == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (m_bag) return kAlreadyInitialized;
    ComPtr<ISPropertyBagCollection> list;
    HRESULT hr = bag->QueryInterface(IID_ISPropertyBagCollection,
                                     reinterpret_cast<void**>(list.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!list) return E_NOINTERFACE;
    Bstr countName(L"SI_TOTAL");
    Bstr prefix(L"");
    hr = list->Setup(countName.get(), prefix.get());
    if (FAILED(hr)) return hr;
    m_bag = bag;
    m_list = std::move(list);
    m_locale = locale;
    return S_OK;
}

HRESULT ElementList::Bound() const {
    std::lock_guard<HostLock> guard(m_lock);
    return m_bag ? S_OK : E_UNEXPECTED;
}

HRESULT ElementList::ElementsLocked(Elements& elements) {
    elements.clear();
    LONG count = 0;
    HRESULT hr = m_list->get_Count(&count);
    if (FAILED(hr)) return hr;
    elements.reserve(static_cast<size_t>(std::max<LONG>(count, 0)));
    for (LONG position = 1; position <= count; ++position) {
        elements.push_back(std::make_unique<Element>());
        Variant index;
        index.SetLong(position);
        Variant value;
        hr = m_list->get_Item(index.ref(), value.get());
        if (FAILED(hr)) return hr;
        Element& element = *elements.back();
        element.bag = ElementBag(value.ref());
        if (!element.bag) continue;  // not an element bag: it has no key
        if (FAILED(PropertyValue(element.bag.Get(), m_keyName, element.key))) element.key.Clear();
    }
    return S_OK;
}

bool ElementList::SameKey(const VARIANT& a, const VARIANT& b) const {
    if (V_VT(&a) == VT_EMPTY || V_VT(&b) == VT_EMPTY) return false;
    if (m_keyKind == KeyKind::Integer) {
        long x = 0, y = 0;
        return SUCCEEDED(VariantToLong(a, x)) && SUCCEEDED(VariantToLong(b, y)) && x == y;
    }
    std::wstring x, y;
    return SUCCEEDED(VariantToText(a, x)) && SUCCEEDED(VariantToText(b, y)) && SameName(x, y);
}

HRESULT ElementList::FindLocked(const VARIANT& key, long& position) {
    position = 0;
    Elements elements;
    const HRESULT hr = ElementsLocked(elements);
    if (FAILED(hr)) return hr;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (SameKey(elements[i]->key.ref(), key)) {
            position = static_cast<long>(i + 1);
            break;
        }
    }
    return S_OK;
}

HRESULT ElementList::PositionOfIndexLocked(const VARIANT& index, long& position) {
    Variant plain;
    HRESULT hr = plain.CopyFrom(index);  // by-reference indexes dereferenced
    if (FAILED(hr)) return hr;
    if (plain.vt() == VT_BSTR) {
        hr = FindLocked(plain.ref(), position);
        if (FAILED(hr)) return hr;
        return position ? S_OK : KV_E_PROPERTYNOTFOUND;
    }
    hr = VariantToLong(plain.ref(), position);
    if (FAILED(hr)) return hr;
    LONG count = 0;
    hr = m_list->get_Count(&count);
    if (FAILED(hr)) return hr;
    return position >= 1 && position <= count ? S_OK : KV_E_PROPERTYNOTFOUND;
}

HRESULT ElementList::Count(LONG* count) {
    if (count == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    return m_list->get_Count(count);
}

HRESULT ElementList::Item(const VARIANT& index, ISProperties** element) {
    if (element == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    long position = 0;
    HRESULT hr = PositionOfIndexLocked(index, position);
    if (FAILED(hr)) return hr;
    Variant at;
    at.SetLong(position);
    Variant value;
    hr = m_list->get_Item(at.ref(), value.get());
    if (FAILED(hr)) return hr;
    ComPtr<ISProperties> bag = ElementBag(value.ref());
    if (!bag) return KV_E_PROPERTYNOTFOUND;  // the position holds no element bag
    *element = bag.Detach();
    return S_OK;
}

HRESULT ElementList::FindElement(const VARIANT& key, ISProperties** element) {
    if (element == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    Elements elements;
    const HRESULT hr = ElementsLocked(elements);
    if (FAILED(hr)) return hr;
    for (auto& candidate : elements) {
        if (SameKey(candidate->key.ref(), key)) {
            *element = candidate->bag.Detach();
            return S_OK;
        }
    }
    return KV_E_PROPERTYNOTFOUND;
}

HRESULT ElementList::NewEnum(IUnknown** enumerator) {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = nullptr;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    return m_list->get__NewEnum(enumerator);
}

HRESULT ElementList::Remove(const VARIANT& index) {
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    long position = 0;
    HRESULT hr = PositionOfIndexLocked(index, position);
    if (FAILED(hr)) return hr;
    Variant at;
    at.SetLong(position);
    return m_list->Remove(at.ref());
}

HRESULT ElementList::RemoveAll() {
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    return m_list->RemoveAll();
}

HRESULT ElementList::Keys(VARIANT* keys) {
    if (keys == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    Elements elements;
    HRESULT hr = ElementsLocked(elements);
    if (FAILED(hr)) return hr;
    const VARTYPE type = m_keyKind == KeyKind::Integer ? VT_I4 : VT_BSTR;
    SAFEARRAY* array = SafeArrayCreateVector(type, 0, static_cast<ULONG>(elements.size()));
    if (array == nullptr) return E_OUTOFMEMORY;
    for (size_t i = 0; i < elements.size() && SUCCEEDED(hr); ++i) {
        LONG at = static_cast<LONG>(i);
        if (type == VT_I4) {
            long key = 0;
            VariantToLong(elements[i]->key.ref(), key);  // an element without key gives 0
            hr = SafeArrayPutElement(array, &at, &key);
        } else {
            std::wstring text;
            if (elements[i]->key.vt() != VT_EMPTY) VariantToText(elements[i]->key.ref(), text);
            Bstr copy(text);
            hr = SafeArrayPutElement(array, &at, copy.get());  // the array stores a copy
        }
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    V_VT(keys) = VT_ARRAY | type;
    V_ARRAY(keys) = array;
    return S_OK;
}

HRESULT ElementList::Find(const VARIANT& key, LONG* position) {
    if (position == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    long found = 0;
    const HRESULT hr = FindLocked(key, found);
    if (FAILED(hr)) return hr;
    if (found == 0) return KV_E_PROPERTYNOTFOUND;
    *position = found;
    return S_OK;
}

HRESULT ElementList::Bag(ISProperties** bag) {
    if (bag == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    *bag = m_bag.Get();
    (*bag)->AddRef();
    return S_OK;
}

HRESULT ElementList::Locale(LONG* locale) {
    if (locale == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    *locale = m_locale;
    return S_OK;
}

HRESULT ElementList::Append(const VARIANT& key,
                            const std::vector<std::pair<const wchar_t*, std::wstring>>& settings,
                            ISProperties** element) {
    if (element == nullptr) return E_POINTER;
    std::lock_guard<HostLock> guard(m_lock);
    if (!m_bag) return E_UNEXPECTED;
    Elements elements;
    HRESULT hr = ElementsLocked(elements);
    if (FAILED(hr)) return hr;

    Variant newKey;
    if (m_keyKind == KeyKind::Integer && V_VT(&key) == VT_EMPTY) {
        long next = 1;
        for (const auto& e : elements) {
            long present = 0;
            if (e->key.vt() != VT_EMPTY && SUCCEEDED(VariantToLong(e->key.ref(), present)) &&
                present >= next && present < 0x7FFFFFFF)
                next = present + 1;
        }
        newKey.SetLong(next);
    } else {
        hr = newKey.CopyFrom(key);
        if (FAILED(hr)) return hr;
    }
    for (const auto& e : elements)
        if (SameKey(e->key.ref(), newKey.ref())) return KV_E_VALUEALREADYINLIST;

    ComPtr<ISProperties> added;
    hr = m_list->AppendBag(&added);
    if (FAILED(hr)) return hr;
    if (!added) return E_UNEXPECTED;
    hr = SetProperty(added.Get(), m_keyName, newKey.ref());
    for (size_t i = 0; i < settings.size() && SUCCEEDED(hr); ++i) {
        Variant value;
        SetText(value, settings[i].second);
        hr = SetProperty(added.Get(), settings[i].first, value.ref());
    }
    if (FAILED(hr)) {
        // Nothing half-made stays in the list.
        LONG count = 0;
        if (SUCCEEDED(m_list->get_Count(&count)) && count > 0) {
            Variant last;
            last.SetLong(count);
            m_list->Remove(last.ref());
        }
        return hr;
    }
    *element = added.Detach();
    return S_OK;
}

// =============================================================================================
// The four classes. Each member passes the hook first; the calls they then make on the bag are
// the host's own and are neither logged nor failed.

#define PUBLICATION_QUERY_INTERFACE(Class, Interface)                              \
    STDMETHODIMP Class::QueryInterface(REFIID iid, void** ppv) {                   \
        if (ppv == nullptr) return E_POINTER;                                      \
        *ppv = nullptr;                                                            \
        try {                                                                      \
            HOST_HOOK(#Interface "::QueryInterface", iid);                         \
        }                                                                          \
        HOST_CATCH()                                                               \
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_##Interface) \
            return E_NOINTERFACE;                                                  \
        *ppv = static_cast<Interface*>(this);                                      \
        AddRef();                                                                  \
        return S_OK;                                                               \
    }

// Members that every class has: (class, interface, name of the key list getter).
#define PUBLICATION_COMMON_MEMBERS(Class, Interface, KeysMember)                \
    PUBLICATION_QUERY_INTERFACE(Class, Interface)                               \
    STDMETHODIMP Class::get_Count(LONG* pCount) try {                           \
        HOST_HOOK(#Interface "::get_Count");                                    \
        HookSuppressed own;                                                     \
        return m_list.Count(pCount);                                            \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::get_Item(VARIANT index, ISProperties** ppElement) try { \
        HOST_HOOK(#Interface "::get_Item", index);                              \
        HookSuppressed own;                                                     \
        return m_list.Item(index, ppElement);                                   \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::get__NewEnum(IUnknown** ppEnum) try {                   \
        HOST_HOOK(#Interface "::get__NewEnum");                                 \
        HookSuppressed own;                                                     \
        return m_list.NewEnum(ppEnum);                                          \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::Remove(VARIANT index) try {                             \
        HOST_HOOK(#Interface "::Remove", index);                                \
        HookSuppressed own;                                                     \
        return m_list.Remove(index);                                            \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::RemoveAll() try {                                       \
        HOST_HOOK(#Interface "::RemoveAll");                                    \
        HookSuppressed own;                                                     \
        return m_list.RemoveAll();                                              \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::KeysMember(VARIANT* pKeys) try {                        \
        HOST_HOOK(#Interface "::" #KeysMember);                                 \
        HookSuppressed own;                                                     \
        return m_list.Keys(pKeys);                                              \
    }                                                                           \
    HOST_CATCH()                                                                \
    STDMETHODIMP Class::get_Properties(ISProperties** ppBag) try {              \
        HOST_HOOK(#Interface "::get_Properties");                               \
        return m_list.Bag(ppBag);                                               \
    }                                                                           \
    HOST_CATCH()

// Find(text key) of the three lists with text keys.
#define PUBLICATION_FIND_BY_TEXT(Class, Interface)            \
    STDMETHODIMP Class::Find(BSTR key, LONG* pPosition) try { \
        HOST_HOOK(#Interface "::Find", key);                  \
        HookSuppressed own;                                   \
        Variant keyValue;                                     \
        SetText(keyValue, TextOf(key));                       \
        return m_list.Find(keyValue.ref(), pPosition);        \
    }                                                         \
    HOST_CATCH()

#define PUBLICATION_LOCALE(Class, Interface)                                          \
    STDMETHODIMP Class::get_Locale(LONG* pLocale) try {                               \
        HOST_HOOK(#Interface "::get_Locale");                                         \
        return m_list.Locale(pLocale);                                                \
    }                                                                                 \
    HOST_CATCH()                                                                      \
    STDMETHODIMP Class::Initialize(ISProperties* pBag, LONG locale) try {             \
        HOST_HOOK(#Interface "::Initialize", static_cast<const void*>(pBag), locale); \
        HookSuppressed own;                                                           \
        return m_list.Bind(pBag, locale);                                             \
    }                                                                                 \
    HOST_CATCH()

// ---- format infos

PUBLICATION_COMMON_MEMBERS(CFormatInfos, ISFormatInfos, get_DestinationProgIDs)
PUBLICATION_FIND_BY_TEXT(CFormatInfos, ISFormatInfos)

STDMETHODIMP CFormatInfos::Add(BSTR progID, ISProperties** ppFormatInfo) try {
    HOST_HOOK("ISFormatInfos::Add", progID);
    HookSuppressed own;
    if (TextOf(progID).empty()) return E_INVALIDARG;
    Variant key;
    SetText(key, TextOf(progID));
    return m_list.Append(key.ref(), {}, ppFormatInfo);
}
HOST_CATCH()

STDMETHODIMP CFormatInfos::Initialize(ISProperties* pBag, ISInfoObject* pInfoObject,
                                      LONG locale) try {
    HOST_HOOK("ISFormatInfos::Initialize", static_cast<const void*>(pBag),
              static_cast<const void*>(pInfoObject), locale);
    HookSuppressed own;
    const HRESULT hr = m_list.Bind(pBag, locale);
    if (FAILED(hr)) return hr;
    std::lock_guard<HostLock> guard(m_lock);
    m_infoObject = pInfoObject;
    return S_OK;
}
HOST_CATCH()

// ---- scope-batch scopes

PUBLICATION_COMMON_MEMBERS(CScopeBatchScopes, ISScopeBatchScopes, get_ScopeIDs)

STDMETHODIMP CScopeBatchScopes::Add(ISProperties** ppScope) try {
    HOST_HOOK("ISScopeBatchScopes::Add");
    HookSuppressed own;
    Variant nextFree;  // VT_EMPTY: the next free scope ID
    return m_list.Append(nextFree.ref(), {}, ppScope);
}
HOST_CATCH()

STDMETHODIMP CScopeBatchScopes::FindScope(LONG scopeID, ISProperties** ppScope) try {
    HOST_HOOK("ISScopeBatchScopes::FindScope", scopeID);
    HookSuppressed own;
    Variant key;
    key.SetLong(scopeID);
    return m_list.FindElement(key.ref(), ppScope);
}
HOST_CATCH()

HRESULT CScopeBatchScopes::ScopeValue(LONG scopeID, const wchar_t* name, VARIANT* value) {
    if (value == nullptr) return E_POINTER;
    Variant key;
    key.SetLong(scopeID);
    ComPtr<ISProperties> scope;
    HRESULT hr = m_list.FindElement(key.ref(), &scope);
    if (FAILED(hr)) return hr;
    Variant found;
    hr = PropertyValue(scope.Get(), name, found);
    if (hr == KV_E_PROPERTYNOTFOUND) {
        VariantInit(value);
        return S_OK;
    }
    if (FAILED(hr)) return hr;
    found.MoveTo(value);
    return S_OK;
}

STDMETHODIMP CScopeBatchScopes::get_ProfileValues(LONG scopeID, VARIANT* pValues) try {
    HOST_HOOK("ISScopeBatchScopes::get_ProfileValues", scopeID);
    HookSuppressed own;
    return ScopeValue(scopeID, PublicationProp::kProfileValues, pValues);
}
HOST_CATCH()

STDMETHODIMP CScopeBatchScopes::get_Recipients(LONG scopeID, VARIANT* pRecipients) try {
    HOST_HOOK("ISScopeBatchScopes::get_Recipients", scopeID);
    HookSuppressed own;
    return ScopeValue(scopeID, PublicationProp::kRecipients, pRecipients);
}
HOST_CATCH()

STDMETHODIMP CScopeBatchScopes::Initialize(ISProperties* pBag, LONG locale) try {
    HOST_HOOK("ISScopeBatchScopes::Initialize", static_cast<const void*>(pBag), locale);
    HookSuppressed own;
    return m_list.Bind(pBag, locale);
}
HOST_CATCH()

// ---- profile value mappings

PUBLICATION_COMMON_MEMBERS(CProfileValueMappings, ISProfileValueMappings, get_ProfileIDs)
PUBLICATION_FIND_BY_TEXT(CProfileValueMappings, ISProfileValueMappings)
PUBLICATION_LOCALE(CProfileValueMappings, ISProfileValueMappings)

STDMETHODIMP CProfileValueMappings::Add(BSTR profileID, BSTR column, ISProperties** ppMapping) try {
    HOST_HOOK("ISProfileValueMappings::Add", profileID, column);
    HookSuppressed own;
    if (TextOf(profileID).empty()) return E_INVALIDARG;
    Variant key;
    SetText(key, TextOf(profileID));
    return m_list.Append(key.ref(), {{PublicationProp::kColumnName, std::wstring(TextOf(column))}},
                         ppMapping);
}
HOST_CATCH()

// ---- document variable mappings

PUBLICATION_COMMON_MEMBERS(CDocumentVariableMappings, ISDocumentVariableMappings, get_Variables)
PUBLICATION_FIND_BY_TEXT(CDocumentVariableMappings, ISDocumentVariableMappings)
PUBLICATION_LOCALE(CDocumentVariableMappings, ISDocumentVariableMappings)

STDMETHODIMP CDocumentVariableMappings::Add(BSTR variable, BSTR profileID,
                                            ISProperties** ppMapping) try {
    HOST_HOOK("ISDocumentVariableMappings::Add", variable, profileID);
    HookSuppressed own;
    if (TextOf(variable).empty()) return E_INVALIDARG;
    Variant key;
    SetText(key, TextOf(variable));
    return m_list.Append(
        key.ref(), {{PublicationProp::kProfileId, std::wstring(TextOf(profileID))}}, ppMapping);
}
HOST_CATCH()

#undef PUBLICATION_LOCALE
#undef PUBLICATION_FIND_BY_TEXT
#undef PUBLICATION_COMMON_MEMBERS
#undef PUBLICATION_QUERY_INTERFACE

// =============================================================================================
// Class objects

namespace {

// A class object of one of the four classes. Static: not counted as a live host object and never
// destroyed, so its reference count is nominal.
template <typename T, typename Interface>
class CPublicationClassFactory final : public IClassFactory {
  public:
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** ppv) override try {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        ComPtr<T> object = Make<T>();
        return object->QueryInterface(iid, ppv);
    }
    HOST_CATCH()
    STDMETHOD(LockServer)(BOOL) override { return S_OK; }
};

CPublicationClassFactory<CFormatInfos, ISFormatInfos> g_formatInfosFactory;
CPublicationClassFactory<CScopeBatchScopes, ISScopeBatchScopes> g_scopesFactory;
CPublicationClassFactory<CProfileValueMappings, ISProfileValueMappings> g_profileMappingsFactory;
CPublicationClassFactory<CDocumentVariableMappings, ISDocumentVariableMappings>
    g_documentMappingsFactory;

struct Registration {
    const CLSID* clsid;
    IClassFactory* factory;
};
const Registration kRegistrations[] = {
    {&CLSID_FormatInfos, &g_formatInfosFactory},
    {&CLSID_ScopeBatchScopes, &g_scopesFactory},
    {&CLSID_ProfileValueMappings, &g_profileMappingsFactory},
    {&CLSID_DocumentVariableMappings, &g_documentMappingsFactory},
};

std::mutex g_registrationLock;
int g_registrationCount = 0;  // guarded by g_registrationLock
DWORD g_cookies[std::size(kRegistrations)] = {};

void RevokeAllLocked() {
    for (DWORD& cookie : g_cookies) {
        if (cookie != 0) CoRevokeClassObject(cookie);
        cookie = 0;
    }
}

}  // namespace
}  // namespace Detail

HRESULT RegisterHostClasses() noexcept {
    using namespace Detail;
    std::lock_guard<std::mutex> guard(g_registrationLock);
    if (g_registrationCount > 0) {
        ++g_registrationCount;
        return S_OK;
    }
    for (size_t i = 0; i < std::size(kRegistrations); ++i) {
        const HRESULT hr =
            CoRegisterClassObject(*kRegistrations[i].clsid, kRegistrations[i].factory,
                                  CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &g_cookies[i]);
        if (FAILED(hr)) {
            RevokeAllLocked();
            return hr;
        }
    }
    g_registrationCount = 1;
    return S_OK;
}

HRESULT RevokeHostClasses() noexcept {
    using namespace Detail;
    std::lock_guard<std::mutex> guard(g_registrationLock);
    if (g_registrationCount == 0) return S_FALSE;
    if (--g_registrationCount == 0) RevokeAllLocked();
    return S_OK;
}

}  // namespace RefHost
