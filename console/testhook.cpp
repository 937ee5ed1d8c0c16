// The test hook.
#include "testhook.h"

#include <windows.h>

namespace KeyTool {

std::wstring TestHook() {
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(L"KEYTOOL_TEST_HOOK", value, 64);
    return length > 0 && length < 64 ? std::wstring(value, length) : std::wstring();
}

void CrashForTest() {
    TerminateProcess(GetCurrentProcess(), 86);
    ExitProcess(86);
}

}  // namespace KeyTool
