// The host's objects over nested bags of publication settings: format infos (ISFormatInfos),
// scope-batch scopes (ISScopeBatchScopes), profile value mappings (ISProfileValueMappings) and
// document variable mappings (ISDocumentVariableMappings). A plug-in creates them by class id and
// hands them the bag (and the object's locale) through their hidden Initialize member; from then
// on they work on that bag and keep nothing else.
//
// The bag seen as a list (ISPropertyBagCollection, set up with SI_TOTAL and no prefix) holds one
// element per entry; each element is a bag of its own (appended with AppendBag) carrying the
// entry's key property and its other settings:
//   format infos             key SI_PROGID (text)          Add(progID)
//   scope-batch scopes       key SI_SCOPE_ID (integer)     Add() gives the next free scope ID
//   profile value mappings   key SI_PROFILE_ID (text)      Add(profileID, column): SI_COLUMN_NAME
//   document var. mappings   key SI_VARIABLE_NAME (text)   Add(variable, profileID): SI_PROFILE_ID
// Texts are compared without regard to case. An index is a position 1..Count, or a VT_BSTR key
// (the decimal scope ID for scopes); an index that designates nothing fails with
// KV_E_PROPERTYNOTFOUND, as does Find or FindScope of an absent key. Adding a key that is already
// present fails with KV_E_VALUEALREADYINLIST and changes nothing.
//
// Before Initialize every member but Initialize fails with E_UNEXPECTED; a second Initialize
// fails with HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED); a null bag with E_POINTER.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostcore.h"

namespace RefHost {

// Registers the class objects of the four classes for this process (CoRegisterClassObject,
// CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE), so that CoCreateInstance of their class ids finds
// them. Calls nest: each successful call needs one RevokeHostClasses. The class objects are not
// counted in LiveObjectCount; the objects they make are.
HRESULT RegisterHostClasses() noexcept;
// Undoes one RegisterHostClasses; the last one revokes the class objects. S_FALSE when nothing
// is registered.
HRESULT RevokeHostClasses() noexcept;

namespace Detail {

// Element property names of the four lists.
namespace PublicationProp {
inline constexpr wchar_t kProgId[] = L"SI_PROGID";
inline constexpr wchar_t kScopeId[] = L"SI_SCOPE_ID";
inline constexpr wchar_t kProfileValues[] = L"SI_PROFILE_VALUES";
inline constexpr wchar_t kRecipients[] = L"SI_RECIPIENTS";
inline constexpr wchar_t kProfileId[] = L"SI_PROFILE_ID";
inline constexpr wchar_t kColumnName[] = L"SI_COLUMN_NAME";
inline constexpr wchar_t kVariableName[] = L"SI_VARIABLE_NAME";
}  // namespace PublicationProp

// The list of element bags inside the bag a publication object was given, with the key property
// that names each element. Thread-safe: composite changes (find, append, set the key) run under
// one lock.
class ElementList {
  public:
    enum class KeyKind { Text, Integer };
    ElementList(const wchar_t* keyName, KeyKind keyKind) noexcept
        : m_keyName(keyName), m_keyKind(keyKind) {}

    HRESULT Bind(ISProperties* bag, long locale);
    // E_UNEXPECTED before Bind.
    HRESULT Bound() const;

    HRESULT Count(LONG* count);
    HRESULT Item(const VARIANT& index, ISProperties** element);
    HRESULT NewEnum(IUnknown** enumerator);
    HRESULT Remove(const VARIANT& index);
    HRESULT RemoveAll();
    // The keys of all elements in list order, as VT_ARRAY of VT_BSTR (text keys) or VT_I4.
    HRESULT Keys(VARIANT* keys);
    // Position of the element with key `key` (compared as the key kind says).
    HRESULT Find(const VARIANT& key, LONG* position);
    HRESULT FindElement(const VARIANT& key, ISProperties** element);
    HRESULT Bag(ISProperties** bag);
    HRESULT Locale(LONG* locale);
    // Appends an element whose key is `key` and whose other properties are `settings` (name,
    // value); KV_E_VALUEALREADYINLIST when the key is present. For an integer key an empty `key`
    // means the next free one (largest present + 1, at least 1).
    HRESULT Append(const VARIANT& key,
                   const std::vector<std::pair<const wchar_t*, std::wstring>>& settings,
                   ISProperties** element);

  private:
    struct Element {
        ComPtr<ISProperties> bag;
        Variant key;  // VT_EMPTY when the element has no key property
    };
    // Every element with its key, in list order (lock held).
    using Elements = std::vector<std::unique_ptr<Element>>;
    HRESULT ElementsLocked(Elements& elements);
    // Position (1..) of the element matching key, 0 when none (lock held).
    HRESULT FindLocked(const VARIANT& key, long& position);
    HRESULT PositionOfIndexLocked(const VARIANT& index, long& position);
    bool SameKey(const VARIANT& a, const VARIANT& b) const;

    const wchar_t* const m_keyName;
    const KeyKind m_keyKind;
    mutable HostLock m_lock;
    // Guarded by m_lock; set once by Bind.
    ComPtr<ISProperties> m_bag;
    ComPtr<ISPropertyBagCollection> m_list;
    long m_locale = 0;
};

class CFormatInfos final
    : public ComLib::IDispatchImpl<ISFormatInfos, &IID_ISFormatInfos, &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CFormatInfos() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get_Item)(VARIANT index, ISProperties** ppFormatInfo) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    STDMETHOD(Add)(BSTR progID, ISProperties** ppFormatInfo) override;
    STDMETHOD(Remove)(VARIANT index) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(get_DestinationProgIDs)(VARIANT* pProgIDs) override;
    STDMETHOD(Find)(BSTR progID, LONG* pPosition) override;
    STDMETHOD(get_Properties)(ISProperties** ppBag) override;
    // Keeps the bag, the InfoObject (when given) and the locale.
    STDMETHOD(Initialize)(ISProperties* pBag, ISInfoObject* pInfoObject, LONG locale) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISFormatInfos*>(this); }

  private:
    ~CFormatInfos() override = default;
    ElementList m_list{PublicationProp::kProgId, ElementList::KeyKind::Text};
    HostLock m_lock;
    ComPtr<ISInfoObject> m_infoObject;  // guarded by m_lock
};

class CScopeBatchScopes final
    : public ComLib::IDispatchImpl<ISScopeBatchScopes, &IID_ISScopeBatchScopes,
                                   &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CScopeBatchScopes() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get_Item)(VARIANT index, ISProperties** ppScope) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    STDMETHOD(Add)(ISProperties** ppScope) override;
    STDMETHOD(Remove)(VARIANT index) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(get_ScopeIDs)(VARIANT* pScopeIDs) override;
    STDMETHOD(FindScope)(LONG scopeID, ISProperties** ppScope) override;
    // A copy of the scope's SI_PROFILE_VALUES (VT_EMPTY when it has none).
    STDMETHOD(get_ProfileValues)(LONG scopeID, VARIANT* pValues) override;
    // A copy of the scope's SI_RECIPIENTS (VT_EMPTY when it has none).
    STDMETHOD(get_Recipients)(LONG scopeID, VARIANT* pRecipients) override;
    STDMETHOD(get_Properties)(ISProperties** ppBag) override;
    STDMETHOD(Initialize)(ISProperties* pBag, LONG locale) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISScopeBatchScopes*>(this); }

  private:
    ~CScopeBatchScopes() override = default;
    HRESULT ScopeValue(LONG scopeID, const wchar_t* name, VARIANT* value);
    ElementList m_list{PublicationProp::kScopeId, ElementList::KeyKind::Integer};
};

class CProfileValueMappings final
    : public ComLib::IDispatchImpl<ISProfileValueMappings, &IID_ISProfileValueMappings,
                                   &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CProfileValueMappings() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get_Item)(VARIANT index, ISProperties** ppMapping) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    STDMETHOD(Add)(BSTR profileID, BSTR column, ISProperties** ppMapping) override;
    STDMETHOD(Remove)(VARIANT index) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(get_ProfileIDs)(VARIANT* pProfileIDs) override;
    STDMETHOD(Find)(BSTR profileID, LONG* pPosition) override;
    STDMETHOD(get_Properties)(ISProperties** ppBag) override;
    STDMETHOD(get_Locale)(LONG* pLocale) override;
    STDMETHOD(Initialize)(ISProperties* pBag, LONG locale) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISProfileValueMappings*>(this); }

  private:
    ~CProfileValueMappings() override = default;
    ElementList m_list{PublicationProp::kProfileId, ElementList::KeyKind::Text};
};

class CDocumentVariableMappings final
    : public ComLib::IDispatchImpl<ISDocumentVariableMappings, &IID_ISDocumentVariableMappings,
                                   &LIBID_KorvelInfoStoreLib>,
      public HostObject {
  public:
    CDocumentVariableMappings() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get_Item)(VARIANT index, ISProperties** ppMapping) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    STDMETHOD(Add)(BSTR variable, BSTR profileID, ISProperties** ppMapping) override;
    STDMETHOD(Remove)(VARIANT index) override;
    STDMETHOD(RemoveAll)() override;
    STDMETHOD(get_Variables)(VARIANT* pVariables) override;
    STDMETHOD(Find)(BSTR variable, LONG* pPosition) override;
    STDMETHOD(get_Properties)(ISProperties** ppBag) override;
    STDMETHOD(get_Locale)(LONG* pLocale) override;
    STDMETHOD(Initialize)(ISProperties* pBag, LONG locale) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISDocumentVariableMappings*>(this); }

  private:
    ~CDocumentVariableMappings() override = default;
    ElementList m_list{PublicationProp::kVariableName, ElementList::KeyKind::Text};
};

}  // namespace Detail
}  // namespace RefHost
