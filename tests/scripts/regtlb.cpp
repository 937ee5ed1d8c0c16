// regtlb <path> [/u]: registers the type library at <path> machine-wide, or removes its
// registration. Script clients bind late through registered type libraries only.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const bool unregister = argc == 3 && _wcsicmp(argv[2], L"/u") == 0;
    if (argc != 2 && !unregister) {
        fwprintf(stderr, L"usage: regtlb <path of a type library> [/u]\n");
        return 2;
    }
    Microsoft::WRL::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(argv[1], REGKIND_NONE, &library);
    if (SUCCEEDED(hr) && !unregister) {
        hr = RegisterTypeLib(library.Get(), argv[1], nullptr);
    } else if (SUCCEEDED(hr)) {
        TLIBATTR* attr = nullptr;
        hr = library->GetLibAttr(&attr);
        if (SUCCEEDED(hr)) {
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                                   attr->syskind);
            library->ReleaseTLibAttr(attr);
        }
    }
    if (FAILED(hr)) {
        fwprintf(stderr, L"regtlb: %ls %ls failed: 0x%08lX\n",
                 unregister ? L"unregistering" : L"registering", argv[1],
                 static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}
