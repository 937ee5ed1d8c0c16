// Publication members over object and processing properties: encodings, missing values, output
// checks, an object without host object, and their trace lines.
#include <gtest/gtest.h>

#include <functional>

#include "publication_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;

namespace {

class PropertiesTest : public PublicationTest {
  protected:
    // The value stored under name in the object's own bag or in the processing info's.
    void ExpectValue(bool processing, const wchar_t* name, VARTYPE type, long value) {
        ScopedVariant v;
        ASSERT_HR(S_OK, processing ? ReadProcessing(name, v) : Read(name, v)) << name;
        ASSERT_EQ(type, v.Type()) << name;
        ASSERT_HR(S_OK, v.ChangeType(VT_I4));
        EXPECT_EQ(value, V_I4(&v.Get())) << name;
    }
    void ExpectObjectValue(const wchar_t* name, VARTYPE type, long value) {
        ExpectValue(false, name, type, value);
    }
    void ExpectProcessingValue(const wchar_t* name, VARTYPE type, long value) {
        ExpectValue(true, name, type, value);
    }
};

TEST_F(PropertiesTest, BooleanSettersStoreTheirFormAndGettersReadAnyNonZeroValue) {
    // Non-zero form: 1 is true.
    ASSERT_HR(S_OK, pub->put_IsPublicationJob(1));
    ExpectObjectValue(L"SI_IS_PUBLICATION_JOB", VT_BOOL, VARIANT_TRUE);
    ASSERT_HR(S_OK, pub->put_IsPublicationGlobalDeliveryRuleJob(7));
    ExpectObjectValue(L"SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB", VT_BOOL, VARIANT_TRUE);
    ASSERT_HR(S_OK, pub->put_ShowAllDataForNullProfileValues(0));
    ExpectObjectValue(WP_SI_SHOW_ALL_DATA_FOR_NULL_PROFILE_VALUES_W, VT_BOOL, VARIANT_FALSE);
    ASSERT_HR(S_OK, pub->put_DeliverIfAlertIsTrue(1));
    ExpectProcessingValue(WP_SI_DELIVER_IF_ALERT_IS_TRUE_W, VT_BOOL, VARIANT_TRUE);

    // Exact form: only VARIANT_TRUE is true.
    ASSERT_HR(S_OK, pub->put_DeliveryEmptyDocument(1));
    ExpectProcessingValue(WP_SI_DELIVER_EMPTY_DOCUMENT_W, VT_BOOL, VARIANT_FALSE);
    ASSERT_HR(S_OK, pub->put_DeliveryEmptyDocument(VARIANT_TRUE));
    ExpectProcessingValue(WP_SI_DELIVER_EMPTY_DOCUMENT_W, VT_BOOL, VARIANT_TRUE);
    ASSERT_HR(S_OK, pub->put_DeliverySkipped(1));
    ExpectProcessingValue(WP_SI_DELIVERY_SKIPPED_W, VT_BOOL, VARIANT_FALSE);
    ASSERT_HR(S_OK, pub->put_PublicationKeepSavedData(VARIANT_TRUE));
    ExpectProcessingValue(WP_SI_PUBLICATION_KEEP_SAVED_DATA_W, VT_BOOL, VARIANT_TRUE);
    ASSERT_HR(S_OK, pub->put_IsDynamicRecipeintsScopeBatch(1));
    ExpectProcessingValue(WP_SI_IS_DYNAMICRECIPIENTS_SCOPES_W, VT_BOOL, VARIANT_FALSE);

    // MergedArtifact keeps the 16-bit value as VT_I2.
    ASSERT_HR(S_OK, pub->put_MergedArtifact(VARIANT_TRUE));
    ExpectObjectValue(WP_SI_IS_PLUGIN_ARTIFACT_W, VT_I2, -1);
    EXPECT_EQ(VARIANT_TRUE, Get(pub.Get(), &ISPublicationInfo::get_MergedArtifact));
    ASSERT_HR(S_OK, pub->put_MergedArtifact(1));
    ExpectObjectValue(WP_SI_IS_PLUGIN_ARTIFACT_W, VT_I2, 1);
    EXPECT_EQ(VARIANT_TRUE, Get(pub.Get(), &ISPublicationInfo::get_MergedArtifact));

    // Getters read any stored type that converts to a non-zero value as true.
    SetI4(L"SI_IS_PUBLICATION_JOB", 2);
    EXPECT_EQ(VARIANT_TRUE, Get(pub.Get(), &ISPublicationInfo::get_IsPublicationJob));
    SetText(L"SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB", L"0");
    EXPECT_EQ(VARIANT_FALSE,
              Get(pub.Get(), &ISPublicationInfo::get_IsPublicationGlobalDeliveryRuleJob));
    ScopedVariant one;
    one.SetI4(1);
    SetProcessing(WP_SI_DELIVERY_SKIPPED_W, one.Get());
    EXPECT_EQ(VARIANT_TRUE, Get(pub.Get(), &ISPublicationInfo::get_DeliverySkipped));
}

TEST_F(PropertiesTest, IntegerAndStringMembersRoundTripThroughTheHost) {
    ASSERT_HR(S_OK, pub->put_ScopeID(-7));
    ExpectObjectValue(WP_SI_SCOPE_ID_W, VT_I4, -7);
    ASSERT_HR(S_OK, pub->put_MultiPassBursting(1));
    ASSERT_HR(S_OK, pub->put_ArtifactParentID(4711));
    ASSERT_HR(S_OK, pub->put_DeliveryRuleOptions(3));
    ExpectProcessingValue(WP_SI_DELIVERY_RULE_OPTIONS_W, VT_I4, 3);

    EXPECT_EQ(-7, Get(pub.Get(), &ISPublicationInfo::get_ScopeID));
    EXPECT_EQ(1, Get(pub.Get(), &ISPublicationInfo::get_MultiPassBursting));
    EXPECT_EQ(4711, Get(pub.Get(), &ISPublicationInfo::get_ArtifactParentID));
    EXPECT_EQ(3, Get(pub.Get(), &ISPublicationInfo::get_DeliveryRuleOptions));

    // A stored text that reads as a number converts.
    SetText(WP_SI_SCOPE_ID_W, L"42");
    EXPECT_EQ(42, Get(pub.Get(), &ISPublicationInfo::get_ScopeID));

    ASSERT_HR(S_OK, pub->put_Format(ScopedBstr(L"application/pdf").Get()));
    ASSERT_HR(S_OK, pub->put_DeliveryRuleExpression(ScopedBstr(L"[Sales] > 10").Get()));
    ScopedVariant stored;
    ASSERT_HR(S_OK, ReadProcessing(WP_SI_DELIVERY_RULE_EXPRESSION_W, stored));
    EXPECT_EQ(VT_BSTR, stored.Type());
    EXPECT_EQ(L"application/pdf", GetText(pub.Get(), &ISPublicationInfo::get_Format));
    EXPECT_EQ(L"[Sales] > 10", GetText(pub.Get(), &ISPublicationInfo::get_DeliveryRuleExpression));

    // A null string is stored as an empty VT_BSTR; a stored number reads as its text.
    ASSERT_HR(S_OK, pub->put_Format(nullptr));
    stored.Reset();
    ASSERT_HR(S_OK, Read(WP_SI_FORMAT_W, stored));
    EXPECT_EQ(VT_BSTR, stored.Type());
    EXPECT_EQ(0u, SysStringLen(V_BSTR(&stored.Get())));
    SetI4(WP_SI_FORMAT_W, 12);
    EXPECT_EQ(L"12", GetText(pub.Get(), &ISPublicationInfo::get_Format));

    // The flattened key interface reaches the same members.
    ASSERT_HR(S_OK, key->put_ScopeID(99));
    EXPECT_EQ(99, Get(pub.Get(), &ISPublicationInfo::get_ScopeID));
}

TEST_F(PropertiesTest, MissingPropertiesLeaveOutputsUnchangedOrFailAsEachMemberSays) {
    // S_OK and the caller's value untouched.
    long value = 0x5EED;
    EXPECT_HR(S_OK, pub->get_ScopeID(&value));
    EXPECT_HR(S_OK, pub->get_MultiPassBursting(&value));
    EXPECT_HR(S_OK, pub->get_ArtifactParentID(&value));
    EXPECT_HR(S_OK, pub->get_DeliveryRuleOptions(&value));
    EXPECT_EQ(0x5EED, value);
    const std::function<HRESULT(VARIANT_BOOL*)> keepers[] = {
        [&](VARIANT_BOOL* p) { return pub->get_IsPublicationJob(p); },
        [&](VARIANT_BOOL* p) { return pub->get_IsPublicationGlobalDeliveryRuleJob(p); },
        [&](VARIANT_BOOL* p) { return pub->get_MergedArtifact(p); },
        [&](VARIANT_BOOL* p) { return pub->get_DeliveryEmptyDocument(p); },
        [&](VARIANT_BOOL* p) { return pub->get_DeliverySkipped(p); },
        [&](VARIANT_BOOL* p) { return pub->get_PublicationKeepSavedData(p); },
        [&](VARIANT_BOOL* p) { return pub->get_ShowAllDataForNullProfileValues(p); },
    };
    for (const auto& getter : keepers) {
        VARIANT_BOOL flag = 0x55;
        EXPECT_HR(S_OK, getter(&flag));
        EXPECT_EQ(0x55, flag);
    }

    // The host's status, output untouched.
    VARIANT_BOOL flag = 0x55;
    EXPECT_HR(kAbsent, pub->get_DeliverIfAlertIsTrue(&flag));
    EXPECT_HR(kAbsent, pub->get_IsDynamicRecipeintsScopeBatch(&flag));
    EXPECT_EQ(0x55, flag);
    BSTR text = nullptr;
    EXPECT_HR(kAbsent, pub->get_Format(&text));
    EXPECT_HR(kAbsent, pub->get_DeliveryRuleExpression(&text));
    EXPECT_EQ(nullptr, text);
}

TEST_F(PropertiesTest, StoredValuesThatDoNotConvertAreNeverHandedOut) {
    SetText(WP_SI_SCOPE_ID_W, L"not a number");
    long value = 0x5EED;
    EXPECT_HR(DISP_E_TYPEMISMATCH, pub->get_ScopeID(&value));
    EXPECT_EQ(0x5EED, value);
    SetText(L"SI_IS_PUBLICATION_JOB", L"maybe");
    VARIANT_BOOL flag = 0x55;
    EXPECT_HR(DISP_E_TYPEMISMATCH, pub->get_IsPublicationJob(&flag));
    EXPECT_EQ(0x55, flag);
    ScopedVariant text;
    ASSERT_HR(S_OK, text.SetBstr(L"later"));
    SetProcessing(WP_SI_DELIVER_EMPTY_DOCUMENT_W, text.Get());
    EXPECT_HR(DISP_E_TYPEMISMATCH, pub->get_DeliveryEmptyDocument(&flag));
    EXPECT_EQ(0x55, flag);
    // A text member: an object stored in its place is no text.
    SetProcessing(WP_SI_DELIVERY_RULE_EXPRESSION_W, ObjectValue().Get());
    BSTR expression = reinterpret_cast<BSTR>(0x5EED);
    EXPECT_TRUE(FAILED(pub->get_DeliveryRuleExpression(&expression)));
    EXPECT_EQ(reinterpret_cast<BSTR>(0x5EED), expression);
}

TEST_F(PropertiesTest, NullOutputsAreReportedWithoutTouchingTheHost) {
    TraceCapture capture;
    RefHost::EnableCallLog(true);
    const std::function<HRESULT()> calls[] = {
        [&] { return pub->get_IsPublicationJob(nullptr); },
        [&] { return pub->get_ScopeID(nullptr); },
        [&] { return pub->get_DeliveryRuleOptions(nullptr); },
        [&] { return pub->get_DeliveryEmptyDocument(nullptr); },
        [&] { return pub->get_DeliveryRuleExpression(nullptr); },
        [&] { return pub->get_Format(nullptr); },
        [&] { return pub->GetDeliveryRuleResults(1, nullptr); },
        [&] { return pub->get_FormatInfos(nullptr); },
        [&] { return pub->get_ScopeBatchObjectID(nullptr); },
        [&] { return pub->get_ScopeBatchObjects(nullptr); },
    };
    for (const auto& call : calls) EXPECT_HR(E_POINTER, call());
    EXPECT_EQ(0u, RefHost::CallLog().size());
    ASSERT_EQ(std::size(calls), capture.asserts.size());
    EXPECT_EQ("false", capture.asserts[0].expression);
    EXPECT_EQ(L"Invalid pointer pISPublicationJob", capture.asserts[0].message);
    EXPECT_EQ(L"Invalid pointer pBstrDeliveryRuleExpression", capture.asserts[4].message);
    EXPECT_EQ(L"Invalid pointer pValue", capture.asserts[6].message);
    EXPECT_EQ(L"Invalid pointer ppScopeBatchObjects", capture.asserts[9].message);
    EXPECT_EQ("export/iface/sdk/common/PublicationInfo", capture.asserts[0].file);

    // The rich error of the report.
    ComPtr<IErrorInfo> error;
    ASSERT_HR(S_OK, GetErrorInfo(0, &error));
    ScopedBstr description;
    ASSERT_HR(S_OK, error->GetDescription(description.Receive()));
    EXPECT_STREQ(L"A required pointer argument is null.", description.Get());

    // Entry line before the check, no exit line; the three that check first write nothing.
    capture.TraceAll();
    EXPECT_HR(E_POINTER, pub->get_ScopeID(nullptr));
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(In(L"IPublicationInfo::get_ScopeID", L"[-]\t[]"), capture.lines[0].text);
    capture.lines.clear();
    EXPECT_HR(E_POINTER, pub->get_Format(nullptr));
    EXPECT_HR(E_POINTER, pub->get_DeliveryRuleExpression(nullptr));
    EXPECT_HR(E_POINTER, pub->GetDeliveryRuleResults(3, nullptr));
    EXPECT_TRUE(capture.lines.empty());
}

TEST_F(PropertiesTest, TraceLinesOfEachKindOfMember) {
    TraceCapture capture;
    capture.TraceAll();
    long value = 0;
    VARIANT_BOOL flag = VARIANT_TRUE;
    ASSERT_HR(S_OK, pub->put_ScopeID(42));
    ASSERT_HR(S_OK, pub->get_ScopeID(&value));
    ASSERT_HR(S_OK, pub->put_IsPublicationJob(1));
    ASSERT_HR(S_OK, pub->put_DeliveryEmptyDocument(1));
    ASSERT_HR(S_OK, pub->get_DeliverySkipped(&flag));  // not present: S_OK, traced as 0x80042A53
    ASSERT_HR(S_OK, pub->put_Format(ScopedBstr(L"pdf").Get()));
    ScopedBstr format;
    ASSERT_HR(S_OK, pub->get_Format(format.Receive()));
    ASSERT_HR(kAbsent, pub->get_DeliverIfAlertIsTrue(&flag));

    const std::wstring valueAddress = SdkTrace::PointerText(&value).str();
    const std::vector<std::wstring> expected = {
        In(L"IPublicationInfo::put_ScopeID", L"[-]\t[42]"),
        Out(L"IPublicationInfo::put_ScopeID", L"[0]\t[42]"),
        In(L"IPublicationInfo::get_ScopeID", L"[-]\t[" + valueAddress + L"]"),
        Out(L"IPublicationInfo::get_ScopeID", L"[0]\t[42]"),
        In(L"IPublicationInfo::put_IsPublicationJob", L"[-]\t[1]"),
        Out(L"IPublicationInfo::put_IsPublicationJob", L"[0]\t[1]"),
        In(L"IPublicationInfo::put_DeliveryEmptyDocument", L"[-]\t[false]"),
        Out(L"IPublicationInfo::put_DeliveryEmptyDocument", L"[0]\t[false]"),
        In(L"IPublicationInfo::get_DeliverySkipped", L"[-]\t[true]"),
        Out(L"IPublicationInfo::get_DeliverySkipped", L"[0x80042A53]\t[true]"),
        In(L"IPublicationInfo::put_Format", L"[-]\t[pdf]"),
        Out(L"IPublicationInfo::put_Format", L"[0]\t[pdf]"),
        In(L"IPublicationInfo::get_Format", L"[-]\t[]"),
        Out(L"IPublicationInfo::get_Format", L"[0]\t[pdf]"),
        In(L"IPublicationInfo::get_DeliverIfAlertIsTrue", L"[-]\t[true]"),
        Out(L"IPublicationInfo::get_DeliverIfAlertIsTrue", L"[-2147210697]\t"),
    };
    ASSERT_EQ(expected.size(), capture.lines.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i], capture.lines[i].text) << i;
        EXPECT_EQ("export/iface/sdk/common/PublicationInfo", capture.lines[i].file);
        EXPECT_EQ(14, capture.lines[i].level);
    }

    // get_DeliveryRuleExpression writes no exit line when the read fails.
    capture.lines.clear();
    ScopedBstr expression;
    ASSERT_HR(kAbsent, pub->get_DeliveryRuleExpression(expression.Receive()));
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(In(L"IPublicationInfo::get_DeliveryRuleExpression", L"[-]\t[]"),
              capture.lines[0].text);
}

class UninitialisedPublicationTest : public PublicationTest {
  protected:
    void SetUp() override {
        initialise = false;
        PublicationTest::SetUp();
    }
};

TEST_F(UninitialisedPublicationTest, EveryMemberFailsWithoutAHostObject) {
    TraceCapture capture;
    long value = 0x5EED;
    VARIANT_BOOL flag = 0x55;
    ScopedBstr text;
    ComPtr<ISObjectRelativeIDs> ids;
    ComPtr<ISFormatInfos> formats;
    ComPtr<ISDocumentVariableMappings> mappings;
    const std::function<HRESULT()> calls[] = {
        [&] { return pub->put_IsPublicationJob(VARIANT_TRUE); },
        [&] { return pub->get_ScopeID(&value); },
        [&] { return pub->put_DeliveryRuleOptions(1); },
        [&] { return pub->get_DeliverySkipped(&flag); },
        [&] { return pub->get_Format(text.Receive()); },
        [&] { return pub->get_DeliveryRuleExpression(text.Receive()); },
        [&] { return pub->SetDeliveryRuleResults(1, VARIANT_TRUE); },
        [&] { return pub->GetDeliveryRuleResults(1, &flag); },
        [&] { return pub->RemoveDeliveryRuleResults(1); },
        [&] { return pub->get_FormatInfos(&formats); },
        [&] { return pub->get_PublicationDocumentVariableMappings(&mappings); },
        [&] { return pub->put_ScopeBatchObjectID(5); },
        [&] { return pub->get_SourceDocumentID(&value); },
        [&] { return pub->get_ScopeBatchObjects(&ids); },
        [&] { return pub->get_SourceDocObjects(nullptr); },  // the host is checked first
    };
    for (const auto& call : calls) EXPECT_HR(E_FAIL, call());
    EXPECT_EQ(0x5EED, value);
    EXPECT_EQ(0x55, flag);
    // Besides the guard's report of the missing locale, one assertion per call.
    size_t missingHost = 0;
    for (const auto& a : capture.asserts) {
        if (a.expression == "this->m_pInfoObject")
            ++missingHost;
        else
            EXPECT_EQ("m_ObjectLocale!=0", a.expression);
    }
    EXPECT_EQ(std::size(calls), missingHost);

    // The format layer's members write their entry line only.
    ComPtr<ISWebView> web = Face<ISWebView>(key.Get());
    capture.TraceAll();
    ComPtr<ISStreamingFile> reader;
    EXPECT_HR(E_FAIL, web->get_ByteStream(nullptr));  // the host object is checked first
    EXPECT_HR(E_FAIL, web->get_StreamingFile(&reader));
    EXPECT_EQ(2u, capture.lines.size());
    for (const auto& line : capture.lines) EXPECT_EQ(0u, line.text.find(L"IN:"));
}

}  // namespace
