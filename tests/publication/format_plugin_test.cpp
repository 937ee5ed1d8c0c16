// The format plug-in layer: job-server error texts from an error bag, the main file's byte stream
// and streaming file, and the unmanaged-destination answer.
#include <gtest/gtest.h>

#include <vector>

#include "publication_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;

namespace {

// In the test executable's own string table (publication_tests.rc).
constexpr long kTwoArgumentMessage = 60000;

class FormatPluginTest : public PublicationTest {
  protected:
    void SetUp() override {
        PublicationTest::SetUp();
        ASSERT_HR(S_OK, key.As(&web));
        ASSERT_HR(S_OK, RefHost::CreatePropertyBag(&error));
    }
    void TearDown() override {
        web.Reset();
        error.Reset();
        PublicationTest::TearDown();
    }
    void Put(ISProperties* bag, const wchar_t* name, const VARIANT& value) {
        ComPtr<ISProperty> property;
        ASSERT_HR(S_OK, bag->Add(ScopedBstr(name).Get(), value, 0, &property));
    }
    void PutResourceId(long id) {
        ScopedVariant v;
        v.SetI4(id);
        Put(error.Get(), WP_SI_RESOURCE_ID_W, v.Get());
    }
    // SI_SUBST_STRINGS with the given strings as its list; the list's bag is handed back.
    ComPtr<ISProperties> PutSubstitutions(std::initializer_list<const wchar_t*> strings) {
        ScopedVariant empty;
        EXPECT_HR(S_OK, empty.SetBstr(L""));
        ComPtr<ISProperty> property;
        EXPECT_HR(S_OK,
                  error->Add(ScopedBstr(WP_SI_SUBST_STRINGS_W).Get(), empty.Get(), 0, &property));
        ComPtr<ISProperties> nested = Fetch(property.Get(), &ISProperty::get_Properties);
        ComPtr<ISPropertyBagCollection> list = Face<ISPropertyBagCollection>(nested.Get());
        ScopedVariant zero;
        zero.SetI4(0);
        Put(nested.Get(), WP_SI_TOTAL_W, zero.Get());
        for (const wchar_t* s : strings) {
            ScopedVariant v;
            EXPECT_HR(S_OK, v.SetBstr(s));
            EXPECT_HR(S_OK, list->Append(v.Get()));
        }
        return nested;
    }
    std::wstring FormatError() {
        ScopedBstr message;
        const HRESULT hr = plugin->FormatJobServerError(error.Get(), message.Receive());
        EXPECT_HR(S_OK, hr);
        return message.Get() ? std::wstring(message.Get(), message.Length()) : L"<null>";
    }
    std::wstring FormatLine(const wchar_t* direction, const wchar_t* label,
                            const std::wstring& values) {
        return std::wstring(direction) + L":\t[" + label + L"]\t[" + FormatAddress() + L"]\t" +
               values;
    }

    ComPtr<ISWebView> web;
    ComPtr<ISProperties> error;
};

TEST_F(FormatPluginTest, JobServerErrorFillsTheMessageWithTheSubstitutionStrings) {
    PutResourceId(42208);
    const std::wstring unfilled = L"The index %1 does not designate an element of the collection.";
    EXPECT_EQ(unfilled, FormatError());

    // An empty list gives the same text as none.
    ComPtr<ISProperties> substitutions = PutSubstitutions({});
    EXPECT_EQ(unfilled, FormatError());

    PutSubstitutions({L"#17"});
    EXPECT_EQ(L"The index #17 does not designate an element of the collection.", FormatError());

    // The first string is the first argument, the second the second.
    PutResourceId(kTwoArgumentMessage);
    PutSubstitutions({L"first", L"second"});
    EXPECT_EQ(L"second comes after first.", FormatError());

    // A number that is stored as text is still the message id; a string that is a number is
    // still a string.
    ScopedVariant id;
    ASSERT_HR(S_OK, id.SetBstr(L"60000"));
    Put(error.Get(), WP_SI_RESOURCE_ID_W, id.Get());
    ComPtr<ISProperties> list = PutSubstitutions({L"1"});
    ScopedVariant two;
    two.SetI4(2);
    ComPtr<ISPropertyBagCollection> view = Face<ISPropertyBagCollection>(list.Get());
    ASSERT_HR(S_OK, view->Append(two.Get()));
    EXPECT_EQ(L"2 comes after 1.", FormatError());
}

TEST_F(FormatPluginTest, JobServerErrorFailuresLeaveTheMessageUntouched) {
    BSTR original = SysAllocString(L"previous");
    BSTR message = original;
    // No message id.
    EXPECT_HR(kAbsent, plugin->FormatJobServerError(error.Get(), &message));
    EXPECT_EQ(original, message);

    // An id that is no number is never used.
    ScopedVariant bad;
    ASSERT_HR(S_OK, bad.SetBstr(L"forty-two"));
    Put(error.Get(), WP_SI_RESOURCE_ID_W, bad.Get());
    EXPECT_HR(DISP_E_TYPEMISMATCH, plugin->FormatJobServerError(error.Get(), &message));
    EXPECT_EQ(original, message);

    SysFreeString(original);

    // Null arguments are refused.
    ScopedBstr out;
    EXPECT_HR(E_POINTER, plugin->FormatJobServerError(nullptr, out.Receive()));
    EXPECT_HR(E_POINTER, plugin->FormatJobServerError(error.Get(), nullptr));
}

TEST_F(FormatPluginTest, JobServerErrorTracesTheBagAndBothTexts) {
    PutResourceId(42505);
    TraceCapture capture;
    capture.TraceAll();
    ScopedBstr old(L"old");
    BSTR out = old.Get();
    ASSERT_HR(S_OK, plugin->FormatJobServerError(error.Get(), &out));
    ScopedBstr message;
    message.Reset(out);  // the old string is still ours: the layer does not free it
    EXPECT_NE(old.Get(), message.Get());
    const std::wstring bag = SdkTrace::PointerText(error.Get()).str();
    ASSERT_EQ(2u, capture.lines.size());
    EXPECT_EQ(
        FormatLine(L"IN", L"IFormatPlugin::FormatJobServerError", L"[-]\t[" + bag + L"] [old]"),
        capture.lines[0].text);
    EXPECT_EQ(FormatLine(L"OUT", L"IFormatPlugin::FormatJobServerError",
                         L"[0]\t[" + bag + L"] [A required pointer argument is null.]"),
              capture.lines[1].text);
    EXPECT_EQ("export/iface/sdk/desktop/common/FormatPlugin", capture.lines[0].file);
}

// Each step of the error bag's chain fails in turn: the member returns that step's status, the
// caller's message stays, and the exit line carries the status, the bag and the caller's text.
TEST_F(FormatPluginTest, JobServerErrorFailureExitsTraceTheStatusAndTheCallersText) {
    PutResourceId(kTwoArgumentMessage);
    PutSubstitutions({L"a", L"b"});
    const std::wstring bag = SdkTrace::PointerText(error.Get()).str();
    struct Step {
        const char* method;
        unsigned nth;
    };
    const Step steps[] = {
        {"ISProperties::get_Item", 1},              // the message id's property
        {"ISProperty::get_Value", 1},               // the message id
        {"ISProperty::get_Properties", 1},          // the substitution list's bag
        {"ISPropertyBagCollection::Setup", 1},      // the list's count and prefix
        {"ISPropertyBagCollection::get_Count", 1},  // the number of strings
        {"ISPropertyBagCollection::get_Item", 2},   // the second string
    };
    ScopedBstr previous(L"previous");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.method);
        BSTR message = previous.Get();
        TraceCapture capture;
        capture.TraceAll();
        ASSERT_HR(S_OK, RefHost::InjectFault(nullptr, step.method, kInjected,
                                             RefHost::FaultMode::NthCall, step.nth));
        EXPECT_HR(kInjected, plugin->FormatJobServerError(error.Get(), &message));
        RefHost::ClearFaults();
        EXPECT_EQ(previous.Get(), message);
        ASSERT_EQ(2u, capture.lines.size());
        EXPECT_EQ(FormatLine(L"OUT", L"IFormatPlugin::FormatJobServerError",
                             L"[" + std::to_wstring(static_cast<long>(kInjected)) + L"]\t[" + bag +
                                 L"] [previous]"),
                  capture.lines[1].text);
    }
}

TEST_F(FormatPluginTest, ByteStreamHandsOutTheMainFilesContents) {
    ScopedVariant stream;
    stream.SetI4(77);
    EXPECT_HR(kAbsent, web->get_ByteStream(stream.Ptr()));  // no file at position 1
    EXPECT_EQ(VT_I4, stream.Type());
    EXPECT_EQ(77, V_I4(&stream.Get()));

    ASSERT_HR(S_OK, RefHost::AddFile(host.Get(), L"main.bin", {1, 2, 3}));
    ASSERT_HR(S_OK, RefHost::AddFile(host.Get(), L"second.bin", {9}));
    ASSERT_HR(S_OK, web->get_ByteStream(stream.Ptr()));
    ASSERT_EQ(VT_ARRAY | VT_UI1, stream.Type());
    SAFEARRAY* bytes = V_ARRAY(&stream.Get());
    LONG lower = -1, upper = -1;
    ASSERT_HR(S_OK, SafeArrayGetLBound(bytes, 1, &lower));
    ASSERT_HR(S_OK, SafeArrayGetUBound(bytes, 1, &upper));
    EXPECT_EQ(0, lower);
    EXPECT_EQ(2, upper);
    BYTE* data = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(bytes, reinterpret_cast<void**>(&data)));
    EXPECT_EQ(std::vector<BYTE>({1, 2, 3}), std::vector<BYTE>(data, data + 3));
    SafeArrayUnaccessData(bytes);

    // The flattened interface reaches the same member; the old value is cleared, not leaked.
    ScopedVariant again;
    ASSERT_HR(S_OK, again.SetBstr(L"replaced"));
    ASSERT_HR(S_OK, key->get_ByteStream(again.Ptr()));
    EXPECT_EQ(VT_ARRAY | VT_UI1, again.Type());

    ASSERT_HR(S_OK, RefHost::InjectFault(nullptr, "ISFile::get_Contents", kInjected));
    EXPECT_HR(kInjected, web->get_ByteStream(again.Ptr()));
    EXPECT_EQ(VT_ARRAY | VT_UI1, again.Type());
}

TEST_F(FormatPluginTest, StreamingFileReadsTheMainFile) {
    ComPtr<ISStreamingFile> reader;
    EXPECT_HR(kAbsent, web->get_StreamingFile(&reader));
    ASSERT_HR(S_OK, RefHost::AddFile(host.Get(), L"main.bin", {4, 5, 6}));
    ASSERT_HR(S_OK, web->get_StreamingFile(&reader));
    EXPECT_EQ(3, Get(reader.Get(), &ISStreamingFile::get_Size));
    ScopedVariant chunk;
    ASSERT_HR(S_OK, reader->Read(2, chunk.Receive()));
    EXPECT_EQ(VT_ARRAY | VT_UI1, chunk.Type());
}

TEST_F(FormatPluginTest, NullOutputsWriteTheirExitLineBeforeTheReport) {
    TraceCapture capture;
    capture.TraceAll();
    EXPECT_HR(E_POINTER, web->get_ByteStream(nullptr));
    EXPECT_HR(E_POINTER, web->get_StreamingFile(nullptr));
    ASSERT_EQ(4u, capture.lines.size());
    EXPECT_EQ(FormatLine(L"IN", L"IFormatPlugin::get_ByteStream", L"[-]\t[]"),
              capture.lines[0].text);
    EXPECT_EQ(FormatLine(L"OUT", L"IFormatPlugin::get_ByteStream", L"[-2147467261]\t[]"),
              capture.lines[1].text);
    EXPECT_EQ(FormatLine(L"OUT", L"IFormatPlugin::get_StreamingFile", L"[-2147467261]\t[]"),
              capture.lines[3].text);
    ASSERT_EQ(2u, capture.asserts.size());
    EXPECT_EQ(L"Invalid pointer pStream", capture.asserts[0].message);
    EXPECT_EQ(L"Invalid pointer pStream", capture.asserts[1].message);
}

TEST_F(FormatPluginTest, ExtendedModeIsSetOnlyByTrue) {
    ComPtr<ISDesktopPluginEx> face = Face<ISDesktopPluginEx>(key.Get());
    for (const VARIANT_BOOL written : {VARIANT_TRUE, VARIANT_BOOL{1}, VARIANT_FALSE}) {
        VARIANT_BOOL mode = 5;
        ASSERT_HR(S_OK, face->put_ExtendedMode(written));
        ASSERT_HR(S_OK, face->get_ExtendedMode(&mode));
        EXPECT_EQ(written == VARIANT_TRUE ? VARIANT_TRUE : VARIANT_FALSE, mode) << written;
    }
}

}  // namespace
