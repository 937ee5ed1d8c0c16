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
            const bool dualDispatch = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
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

}  // namespace ComLib
