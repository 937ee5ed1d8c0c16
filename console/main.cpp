// keytool: a console host for cryptographic keys. It keeps key objects in a repository file and
// drives the registered key module (CryptoGraphicKey.dll) through COM, as the platform's host
// does. See 'keytool --help'.
#include <windows.h>
#include <objbase.h>

#include <new>
#include <string>
#include <vector>

#include "commands.h"
#include "failure.h"
#include "text.h"

int wmain(int argc, wchar_t** argv) {
    using namespace KeyTool;
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);

    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(initialized)) {
        Err(L"keytool: COM could not be initialised: " + StatusText(initialized) + L"\n");
        return kExitModule;
    }
    int exitCode = kExitOk;
    try {
        exitCode = RunCommandLine(arguments);
    } catch (const Failure& failure) {
        Err(L"keytool: " + failure.message + L"\n");
        exitCode = failure.exitCode;
    } catch (const std::bad_alloc&) {
        Err(L"keytool: out of memory\n");
        exitCode = kExitRefused;
    } catch (const std::exception& error) {
        Err(L"keytool: unexpected failure: " +
            std::wstring(error.what(), error.what() + strlen(error.what())) + L"\n");
        exitCode = kExitRefused;
    }
    CoUninitialize();
    return exitCode;
}
