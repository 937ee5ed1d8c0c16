#include "support/typelibs.h"

#include <oleauto.h>
#include <wrl/client.h>

namespace {

constexpr const wchar_t* kTypeLibs[] = {KORVEL_INFOSTORE_TLB, CRYPTOGRAPHICKEY_TLB};

}  // namespace

HRESULT RegisterTestTypeLibs() {
    for (const wchar_t* path : kTypeLibs) {
        Microsoft::WRL::ComPtr<ITypeLib> library;
        HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
        if (FAILED(hr)) return hr;
        hr = RegisterTypeLibForUser(library.Get(), const_cast<wchar_t*>(path), nullptr);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}
