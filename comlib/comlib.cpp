// Module object and cached type information of the component library.
#include "comlib.h"

namespace ComLib {

CComModule _Module;

void CComModule::Init(HINSTANCE instance, const GUID* libid) noexcept {
    m_instance = instance;
    m_libid = libid;
}

void CComModule::Term() noexcept {
    std::vector<std::function<void()>> funcs;
    {
        std::lock_guard<std::mutex> lock(m_termLock);
        funcs.swap(m_termFuncs);
    }
    for (auto it = funcs.rbegin(); it != funcs.rend(); ++it) (*it)();
}

void CComModule::AddTermFunc(std::function<void()> func) {
    std::lock_guard<std::mutex> lock(m_termLock);
    m_termFuncs.push_back(std::move(func));
}

HRESULT CComTypeInfoHolder::GetTI(ITypeInfo** info) noexcept {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_info) {
        Microsoft::WRL::ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(*m_libid, m_major, m_minor, LOCALE_NEUTRAL, &library);
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<ITypeInfo> found;
        hr = library->GetTypeInfoOfGuid(*m_iid, &found);
        if (FAILED(hr)) return hr;
        // A dual interface is found as its dispatch description; invocation needs the vtable one.
        TYPEATTR* attr = nullptr;
        if (SUCCEEDED(found->GetTypeAttr(&attr))) {
            const bool dualDispatch =
                attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
            found->ReleaseTypeAttr(attr);
            HREFTYPE ref = 0;
            Microsoft::WRL::ComPtr<ITypeInfo> vtablePart;
            if (dualDispatch && SUCCEEDED(found->GetRefTypeOfImplType(-1, &ref)) &&
                SUCCEEDED(found->GetRefTypeInfo(ref, &vtablePart)))
                found = vtablePart;
        }
        m_info = found;
        m_cached.store(m_info.Get(), std::memory_order_release);
        if (!m_registeredForTerm) {
            m_registeredForTerm = true;
            try {
                _Module.AddTermFunc([this] {
                    std::lock_guard<std::mutex> termLock(m_lock);
                    m_cached.store(nullptr);
                    m_info.Reset();
                });
            } catch (...) {
                // Without the termination entry the information is released at process exit.
            }
        }
    }
    return m_info.CopyTo(info);
}

namespace {

// The description of member id, of the kind the flags ask for, in info or the interfaces it
// derives from (with its type information in owner, released with ReleaseFuncDesc); null when
// there is none. The descriptions are searched one by one: Wine's GetFuncIndexOfMemId answers an
// index that GetFuncDesc of a dual interface's description does not agree with.
FUNCDESC* FindFunction(ITypeInfo* info, DISPID id, WORD flags,
                       Microsoft::WRL::ComPtr<ITypeInfo>& owner) noexcept {
    INVOKEKIND kind = INVOKE_FUNC;
    if (flags & DISPATCH_PROPERTYPUT)
        kind = INVOKE_PROPERTYPUT;
    else if (flags & DISPATCH_PROPERTYPUTREF)
        kind = INVOKE_PROPERTYPUTREF;
    else if (flags & DISPATCH_PROPERTYGET)
        kind = (flags & DISPATCH_METHOD) ? static_cast<INVOKEKIND>(INVOKE_PROPERTYGET | INVOKE_FUNC)
                                         : INVOKE_PROPERTYGET;
    Microsoft::WRL::ComPtr<ITypeInfo> current = info;
    // A dual interface: its vtable description lists the members of the interfaces it derives
    // from through its base.
    HREFTYPE vtable = 0;
    Microsoft::WRL::ComPtr<ITypeInfo> described;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable)) &&
        SUCCEEDED(info->GetRefTypeInfo(vtable, &described)))
        current = described;
    for (int depth = 0; current && depth < 8; ++depth) {
        TYPEATTR* attr = nullptr;
        if (FAILED(current->GetTypeAttr(&attr))) break;
        const UINT funcs = attr->cFuncs;
        current->ReleaseTypeAttr(attr);
        for (UINT i = 0; i < funcs; ++i) {
            FUNCDESC* desc = nullptr;
            if (FAILED(current->GetFuncDesc(i, &desc))) continue;
            if (desc->memid == id && (desc->invkind & kind)) {
                owner = current;
                return desc;
            }
            current->ReleaseFuncDesc(desc);
        }
        HREFTYPE base = 0;
        Microsoft::WRL::ComPtr<ITypeInfo> next;
        if (FAILED(current->GetRefTypeOfImplType(0, &base)) ||
            FAILED(current->GetRefTypeInfo(base, &next)))
            break;
        current = next;
    }
    return nullptr;
}

}  // namespace

HRESULT CheckArgumentCount(ITypeInfo* info, DISPID id, WORD flags,
                           const DISPPARAMS* params) noexcept {
    if (params == nullptr || params->cArgs == 0) return S_OK;
    Microsoft::WRL::ComPtr<ITypeInfo> owner;
    FUNCDESC* desc = FindFunction(info, id, flags, owner);
    if (desc == nullptr) return S_OK;
    HRESULT hr = S_OK;
    const UINT count = static_cast<UINT>(desc->cParams);
    if (params->cArgs > count) {
        hr = DISP_E_BADPARAMCOUNT;
    } else if (params->cArgs == count && count > 0 &&
               (desc->lprgelemdescParam[count - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) {
        // The last argument (the first in the array) stands for the return value.
        const VARIANT& last = params->rgvarg[0];
        if (!(V_VT(&last) & VT_BYREF) || V_BYREF(&last) == nullptr) hr = DISP_E_BADPARAMCOUNT;
    }
    owner->ReleaseFuncDesc(desc);
    return hr;
}

}  // namespace ComLib
