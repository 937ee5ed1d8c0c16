// CComCategoryRelativeIDs: interface table, journal names, binding and load; and the operations
// the framework layers call: CreateRelativeIDs and the two commit operations.
#include "objrelativesimpl.h"

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

// Sets (set) or clears flag on property `name` of the bag when it is not yet so. An absent
// property is left alone.
HRESULT ChangeFlag(ISProperties* bag, ISPropertyBagCollection* flagsView, const wchar_t* name,
                   long flag, bool set) {
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
    if (FAILED(hr)) return hr;
    return set ? flagsView->SetFlags(nameValue.Get(), flag)
               : flagsView->ClearFlags(nameValue.Get(), flag);
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
// elements or the list has none.
HRESULT CopyListIntoAddJournal(ISProperties* bag, const wchar_t* propertyName,
                               const wchar_t* addName) {
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
        if (FAILED(hr)) return hr;
        hr = journal->Append(value.Get());
        if (FAILED(hr) && hr != KV_E_VALUEALREADYINLIST) return hr;
    }
    return S_OK;
}

}  // namespace

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
    m_elements.SetSize(count);

    for (LONG p = 1; p <= count; ++p) {
        const int i = static_cast<int>(p - 1);
        ScopedVariant position;
        position.SetI4(p);
        ScopedVariant value;
        hr = m_pMainList->get_Item(position.Get(), value.Receive());
        if (FAILED(hr)) return hr;

        bool objectElement = false;
        switch (value.Type()) {
            case VT_BSTR:
                AddKeyLocked(SdkTrace::BstrText(V_BSTR(&value.Get())), i);
                m_elements[i].Attach(*value.Ptr());
                break;
            case VT_I4:
                AddKeyLocked(SdkEnum::IdKey(V_I4(&value.Get())), i);
                m_elements[i].Attach(*value.Ptr());
                break;
            case VT_DISPATCH: {
                long id = 0;
                if (SUCCEEDED(SdkEnum::ReadObjectId(V_DISPATCH(&value.Get()), &id))) {
                    AddKeyLocked(SdkEnum::IdKey(id), i);
                    m_elements[i].Attach(*value.Ptr());
                    objectElement = true;
                }
                break;
            }
            default:
                break;  // no value the collection understands: the element stays empty
        }

        if (!isNew) continue;
        // A new object journals what it was created with as added.
        hr = EnsureAddList();
        if (FAILED(hr)) return hr;
        if (objectElement) {
            ComPtr<ISProperties> element;
            hr = m_pAddList->AppendBag(&element);
            if (FAILED(hr)) return hr;
        } else {
            hr = m_pAddList->Append(m_elements[i].Get());
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
                                  const wchar_t* updName) try {
    if (infoObject == nullptr) return E_FAIL;
    if (propertyName == nullptr) return E_INVALIDARG;
    ComPtr<ISProperties> bag;
    ComPtr<ISPropertyBagCollection> flagsView;
    HRESULT hr = HostBag(infoObject, bag, flagsView);
    if (FAILED(hr)) return hr;

    const SWCharString add = NameOrDefault(addName, Pravhelper500::WP_SI_ADM_ADD__W, propertyName);
    HRESULT result = S_OK;
    if (IsNewInfoObject(bag.Get()))
        result = CopyListIntoAddJournal(bag.Get(), propertyName, add.c_str());
    // The mark is set also when the copy failed, but the failure is what the caller learns.
    hr = ChangeFlag(bag.Get(), flagsView.Get(), propertyName, kChangedListFlag, true);
    return FAILED(result) ? result : (FAILED(hr) ? hr : S_OK);
}
SDK_CATCH_RETURN()

HRESULT ResetRelativesAfterCommit(const wchar_t* propertyName, ISInfoObject* infoObject,
                                  const wchar_t* addName, const wchar_t* delName,
                                  const wchar_t* updName) try {
    if (infoObject == nullptr) return E_FAIL;
    if (propertyName == nullptr) return E_INVALIDARG;
    ComPtr<ISProperties> bag;
    ComPtr<ISPropertyBagCollection> flagsView;
    if (FAILED(HostBag(infoObject, bag, flagsView))) return E_NOINTERFACE;

    const SWCharString journals[] = {
        NameOrDefault(addName, Pravhelper500::WP_SI_ADM_ADD__W, propertyName),
        NameOrDefault(delName, Pravhelper500::WP_SI_ADM_DEL__W, propertyName),
        NameOrDefault(updName, Pravhelper500::WP_SI_ADM_UPD__W, propertyName)};
    HRESULT result = S_OK;
    auto keep = [&result](HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    };
    for (const SWCharString& journal : journals) {
        ComPtr<ISPropertyBagCollection> list;
        HRESULT hr = ExistingList(bag.Get(), journal.c_str(), list);
        if (hr == S_OK) hr = list->RemoveAll();
        keep(hr);
    }
    for (const SWCharString& journal : journals)
        keep(ChangeFlag(bag.Get(), flagsView.Get(), journal.c_str(), kChangedListFlag, false));
    keep(ChangeFlag(bag.Get(), flagsView.Get(), propertyName, kChangedListFlag, false));
    return result;
}
SDK_CATCH_RETURN()
