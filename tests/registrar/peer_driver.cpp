// Runs one registry script through the platform's own registrar (the peer of the module's
// registrar in the differential test), with every root key redirected into a sandbox key.
//
//   registrar_peer_driver <out-file> <sandbox path below HKCU> <script file (UTF-8)> <phases>
//                         [name=value ...]
//
// <phases> is a string of R (StringRegister) and U (StringUnregister), run in order. For each
// phase the out-file receives "begin <phase>" before the call, then "result 0x........", the dump
// of the sandbox and "end". A call that has not returned after two seconds (the peer loops on some
// malformed scripts) gets the line "hung" instead, and the driver ends there.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "registrar.h"
#include "registry_dump.h"

// The peer's interface, declared by hand up to the last member called: no header of the toolchain
// declares it. It must not sit in an anonymous namespace: with no implementation in sight the
// compiler would then bind the calls to the pure virtual functions.
struct IPeerRegistrar : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR id,
                                                         LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR id,
                                                           LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR fileName) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
};

namespace {

const CLSID kClsidRegistrar = {
    0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const IID kIidRegistrar = {
    0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

class OutFile {
  public:
    explicit OutFile(const wchar_t* path)
        : m_file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OutFile() {
        if (ok()) CloseHandle(m_file);
    }
    bool ok() const { return m_file != INVALID_HANDLE_VALUE; }
    // One line, UTF-8, written through at once so that the caller sees it while we run.
    void Line(const std::wstring& text) {
        const std::string bytes = ToUtf8(text + L"\n");
        DWORD written = 0;
        WriteFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

  private:
    HANDLE m_file;
};

int Run(int argc, wchar_t** argv) {
    OutFile out(argv[1]);
    const std::wstring script = ReadUtf8File(argv[3]);  // no case has an empty file
    if (!out.ok() || script.empty()) return 3;

    Microsoft::WRL::ComPtr<IPeerRegistrar> registrar;
    HRESULT hr = CoCreateInstance(kClsidRegistrar, nullptr, CLSCTX_INPROC_SERVER, kIidRegistrar,
                                  reinterpret_cast<void**>(registrar.GetAddressOf()));
    if (FAILED(hr)) {
        out.Line(L"error CoCreateInstance");
        return 5;
    }
    for (int i = 5; i < argc; ++i) {
        const std::wstring pair = argv[i];
        const size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos ||
            FAILED(registrar->AddReplacement(pair.substr(0, equals).c_str(),
                                             pair.substr(equals + 1).c_str()))) {
            out.Line(L"error AddReplacement");
            return 6;
        }
    }

    // Open the sandbox before the redirection, which also redirects HKEY_CURRENT_USER. The
    // registrar was created before it too: creating it reads the class registration.
    UniqueHKey sandbox;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, argv[2], 0, KEY_ALL_ACCESS, sandbox.put()) !=
        ERROR_SUCCESS) {
        out.Line(L"error sandbox");
        return 7;
    }
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_CURRENT_CONFIG}) {
        if (RegOverridePredefKey(root, sandbox.get()) != ERROR_SUCCESS) {
            out.Line(L"error RegOverridePredefKey");
            return 8;
        }
    }

    for (const wchar_t* phase = argv[4]; *phase; ++phase) {
        const bool doRegister = *phase == L'R';
        out.Line(std::wstring(L"begin ") + *phase);
        auto call = std::async(std::launch::async, [&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const HRESULT result = doRegister ? registrar->StringRegister(script.c_str())
                                              : registrar->StringUnregister(script.c_str());
            CoUninitialize();
            return result;
        });
        if (call.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            out.Line(L"hung");
            TerminateProcess(GetCurrentProcess(), 0);  // the call never returns: no clean exit
        }
        hr = call.get();
        wchar_t result[32];
        swprintf(result, 32, L"result 0x%08lx", static_cast<unsigned long>(hr));
        out.Line(result);
        for (const std::wstring& line : DumpRegistryTree(sandbox.get())) out.Line(line);
        out.Line(L"end");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        fprintf(
            stderr,
            "usage: registrar_peer_driver out-file sandbox script-file phases [name=value...]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 4;
    const int rc = Run(argc, argv);
    CoUninitialize();
    return rc;
}
