// Error reports through the thread's error information, and the property names.
#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include "pravhelper500.h"

using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;
using Zentil500::SIArray;
using Zentil500::SWCharString;

namespace {

// {6A1E2C44-0B7D-4F3E-9C51-2F4B8D7A9E10}: registered nowhere.
constexpr CLSID kUnregistered = {
    0x6a1e2c44, 0x0b7d, 0x4f3e, {0x9c, 0x51, 0x2f, 0x4b, 0x8d, 0x7a, 0x9e, 0x10}};

struct Recorded {
    std::wstring description, source;
    GUID guid = GUID_NULL;
};

// Takes the thread's error information, as the caller of the failed method would.
bool TakeErrorInfo(Recorded& recorded) {
    ComPtr<IErrorInfo> info;
    if (::GetErrorInfo(0, &info) != S_OK || !info) return false;
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text) recorded.description = text;
    ::SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(info->GetSource(&text)) && text) recorded.source = text;
    ::SysFreeString(text);
    info->GetGUID(&recorded.guid);
    return true;
}

SIArray<SWCharString> Arguments(std::initializer_list<const wchar_t*> texts) {
    SIArray<SWCharString> arguments;
    for (const wchar_t* text : texts) arguments.Add(SWCharString(text));
    return arguments;
}

TEST(ErrorReportTest, RecordsTheFilledMessage) {
    ::SetErrorInfo(0, nullptr);
    const HRESULT hr = ReportTormicError(kUnregistered, IID_IDispatch, MSG_INDEX_NOT_FOUND,
                                         Arguments({L"7"}), static_cast<HRESULT>(0x80042A37));
    EXPECT_EQ(static_cast<unsigned>(hr), 0x80042A37u) << std::hex << hr;
    Recorded recorded;
    ASSERT_TRUE(TakeErrorInfo(recorded));
    EXPECT_EQ(recorded.description,
              L"The index 7 does not designate an element of the collection.");
    EXPECT_TRUE(::IsEqualGUID(recorded.guid, IID_IDispatch));
    EXPECT_EQ(recorded.source, L"{6A1E2C44-0B7D-4F3E-9C51-2F4B8D7A9E10}");

    EXPECT_EQ(ReportTormicError(GUID_NULL, IID_IUnknown, MSG_INVALID_POINTER, {}, E_POINTER),
              E_POINTER);
    ASSERT_TRUE(TakeErrorInfo(recorded));
    EXPECT_EQ(recorded.description, L"A required pointer argument is null.");
    EXPECT_EQ(recorded.source, L"Pravhelper");

    // Without a text for the id the report keeps the id and the arguments.
    EXPECT_EQ(ReportTormicError(GUID_NULL, IID_IUnknown, 40000, Arguments({L"a", L"b"}), S_FALSE),
              S_FALSE);
    ASSERT_TRUE(TakeErrorInfo(recorded));
    EXPECT_EQ(recorded.description, L"Message 40000: a, b");

    CLSID clsid;
    if (SUCCEEDED(::CLSIDFromProgID(L"Scripting.Dictionary", &clsid))) {
        ReportTormicError(clsid, IID_IDispatch, MSG_CLONE_FAILED, {}, E_FAIL);
        ASSERT_TRUE(TakeErrorInfo(recorded));
        EXPECT_EQ(recorded.source, L"Scripting.Dictionary");
    }
}

TEST(ErrorReportTest, MessagesAndNames) {
    EXPECT_EQ(LoadMessage(MSG_ID_NOT_IN_COLLECTION, 0x040C).str(),
              L"The object ID is not an element of the collection.");
    EXPECT_TRUE(LoadMessage(40000).empty());
    EXPECT_STREQ(WP_SI_SCOPE_ID_W, L"SI_SCOPE_ID");
    EXPECT_STREQ(WP_SI_ADM_ADD__W, L"SI_ADM_ADD_");
    EXPECT_STREQ(WP_SI_IS_PUBLICATION_JOB, "SI_IS_PUBLICATION_JOB");
    EXPECT_STREQ(WP_SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB,
                 "SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB");
}

}  // namespace
