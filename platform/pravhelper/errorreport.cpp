// Error reports: a message of the library's table, filled with arguments, recorded as the
// calling thread's error information.
#include "pravhelper500.h"

#include <objbase.h>
#include <wrl/client.h>

#include <memory>

namespace Pravhelper500 {

using Microsoft::WRL::ComPtr;
using Zentil500::SIArray;
using Zentil500::SResString;
using Zentil500::SWCharString;

namespace {

struct CoTaskMemDeleter {
    void operator()(wchar_t* text) const noexcept { ::CoTaskMemFree(text); }
};

// The source of an error report: the class's ProgID, else its class id as text.
std::wstring SourceName(REFCLSID clsid) {
    if (::IsEqualCLSID(clsid, GUID_NULL)) return L"Pravhelper";
    wchar_t* progId = nullptr;
    if (SUCCEEDED(::ProgIDFromCLSID(clsid, &progId)) && progId) {
        std::unique_ptr<wchar_t, CoTaskMemDeleter> owner(progId);
        return owner.get();
    }
    wchar_t text[40];
    if (::StringFromGUID2(clsid, text, 40) > 0) return text;
    return L"Pravhelper";
}

std::wstring FillMessage(UINT messageId, const SIArray<SWCharString>& arguments) {
    const SWCharString message = LoadMessage(messageId);
    if (message.empty()) {
        // No text for the id: keep at least the id and what the caller wanted to say.
        std::wstring text = L"Message " + std::to_wstring(messageId);
        for (int i = 0; i < arguments.GetSize(); ++i) {
            text += i == 0 ? L": " : L", ";
            text += arguments[i].str();
        }
        return text;
    }
    SResString filled(message);
    for (const SWCharString& argument : arguments) filled << argument;
    return filled.str().str();
}

}  // namespace

SWCharString LoadMessage(UINT messageId, LCID locale) {
    return Zentil500::SResManager::LoadStringW(messageId, locale,
                                               Zentil500::SResManager::CurrentModule());
}

HRESULT ReportTormicError(REFCLSID clsid, REFIID iid, UINT messageId,
                          const SIArray<SWCharString>& arguments, HRESULT status) {
    // Recording is best effort: whatever fails here, the caller's status stands.
    try {
        std::wstring description = FillMessage(messageId, arguments);
        std::wstring source = SourceName(clsid);

        ComPtr<ICreateErrorInfo> create;
        if (FAILED(::CreateErrorInfo(&create))) return status;
        if (FAILED(create->SetDescription(description.data())) || FAILED(create->SetGUID(iid)) ||
            FAILED(create->SetSource(source.data()))) {
            return status;
        }
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.As(&info))) ::SetErrorInfo(0, info.Get());
    } catch (...) {
    }
    return status;
}

}  // namespace Pravhelper500
