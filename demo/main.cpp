// The main job until the console host exists: drives the platform libraries and the call tracing
// the way a plug-in method does, and shows what they write.
#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "pravhelper500.h"
#include "sdktrace.h"
#include "zentil500.h"

namespace {

// A traced object shaped like a plug-in object's layer.
class CDemoObject : public SComObjectBase {
public:
    static constexpr const char* kTraceFile = "demo/CDemoObject";

    HRESULT get_KeyState(long* state) {
        SDK_CALL_GUARD();
        SDK_TRACE_ENTRY(L"CDemoObject::get_KeyState");
        if (state == nullptr) {
            SDK_ASSERT_FAILED("Invalid pointer state");
            return Pravhelper500::ReportTormicError(GUID_NULL, GUID_NULL,
                                                    Pravhelper500::MSG_INVALID_POINTER, {}, E_POINTER);
        }
        *state = 2;
        SDK_TRACE_EXIT(L"CDemoObject::get_KeyState", static_cast<long>(S_OK),
                       SdkTrace::DecimalText(*state));
        return S_OK;
    }
};

void ShowErrorInfo() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return;
    BSTR description = nullptr;
    info->GetDescription(&description);
    std::printf("  error information: \"%ls\"\n", description ? description : L"");
    SysFreeString(description);
    info->Release();
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Zentil500::SLogger::Initialize();
    Zentil500::SResManager::Initialize();

    // Trace everything to stderr unless the environment configured the logger.
    if (Zentil500::g_traceIsOff) {
        Zentil500::SLoggerConfig config;
        config.levels.assign(32, true);
        config.output = L"stderr";
        Zentil500::SLogger::Configure(config);
    }

    CDemoObject object;
    object.m_ObjectLocale = 1033;
    long state = 0;
    HRESULT hr = object.get_KeyState(&state);
    std::printf("get_KeyState -> 0x%08lX, state %ld\n", hr, state);
    std::fflush(stdout);

    hr = object.get_KeyState(nullptr);
    std::printf("get_KeyState(null) -> 0x%08lX\n", hr);
    ShowErrorInfo();

    Zentil500::SIArray<Zentil500::SWCharString> args;
    args.Add(L"#17");
    hr = Pravhelper500::ReportTormicError(GUID_NULL, GUID_NULL, Pravhelper500::MSG_INDEX_NOT_FOUND,
                                          args, 0x80042A37);
    std::printf("index lookup -> 0x%08lX\n", hr);
    ShowErrorInfo();

    Zentil500::SResManager::Terminate();
    Zentil500::SLogger::Terminate();
    CoUninitialize();
    return 0;
}
