// Publication members over nested bags: the delivery-rule results in the processing info's bag,
// and the host objects made over the format-info, scope and mapping bags.
#include <gtest/gtest.h>

#include "publication_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;

namespace {

class BagsTest : public PublicationTest {
  protected:
    void SetUp() override {
        ASSERT_HR(S_OK, RefHost::RegisterHostClasses());
        PublicationTest::SetUp();
    }
    void TearDown() override {
        PublicationTest::TearDown();
        EXPECT_HR(S_OK, RefHost::RevokeHostClasses());
    }
    ComPtr<ISProperties> ResultsBag() {
        return Nested(ProcessingBag().Get(), WP_SI_DELIVERY_RULE_RESULTS_W);
    }
    // Object property `name` holding a new bag; the bag is handed back.
    ComPtr<ISProperties> PutBagProperty(const wchar_t* name) {
        ComPtr<ISProperties> bag;
        EXPECT_HR(S_OK, RefHost::CreatePropertyBag(&bag));
        ScopedVariant value;
        V_VT(value.Ptr()) = VT_DISPATCH;
        V_DISPATCH(value.Ptr()) = bag.Get();
        bag->AddRef();
        SetValue(name, value.Get());
        return bag;
    }
};

TEST_F(BagsTest, DeliveryRuleResultsAreBooleanEntriesNamedByTheScopeID) {
    ASSERT_EQ(nullptr, PropertyOf(ProcessingBag().Get(), WP_SI_DELIVERY_RULE_RESULTS_W).Get());
    ASSERT_HR(S_OK, pub->SetDeliveryRuleResults(7, VARIANT_TRUE));
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(ProcessingBag().Get(), WP_SI_DELIVERY_RULE_RESULTS_W));
    ComPtr<ISProperties> results = ResultsBag();
    ScopedVariant stored;
    Value(results.Get(), L"7", stored);
    EXPECT_EQ(VT_BOOL, stored.Type());
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&stored.Get()));
    EXPECT_EQ(0, FlagsOf(results.Get(), L"7"));

    VARIANT_BOOL value = 0x55;
    ASSERT_HR(S_OK, pub->GetDeliveryRuleResults(7, &value));
    EXPECT_EQ(VARIANT_TRUE, value);
    value = 0x55;
    EXPECT_HR(kAbsent, pub->GetDeliveryRuleResults(8, &value));
    EXPECT_EQ(0x55, value);
    EXPECT_HR(S_OK, pub->RemoveDeliveryRuleResults(8));  // nothing to remove: still S_OK

    // Exact form: 1 is stored as false; negative scope IDs name their entry with the sign.
    ASSERT_HR(S_OK, pub->SetDeliveryRuleResults(7, 1));
    ASSERT_HR(S_OK, pub->GetDeliveryRuleResults(7, &value));
    EXPECT_EQ(VARIANT_FALSE, value);
    ASSERT_HR(S_OK, pub->SetDeliveryRuleResults(-7, VARIANT_TRUE));
    EXPECT_NE(nullptr, PropertyOf(results.Get(), L"-7").Get());
    EXPECT_EQ(2, PropertyCount(results.Get()));

    // Only a VT_BOOL entry reads as true.
    ScopedVariant one;
    one.SetI4(1);
    ComPtr<ISProperty> added;
    ASSERT_HR(S_OK, results->Add(ScopedBstr(L"9").Get(), one.Get(), 0, &added));
    value = VARIANT_TRUE;
    ASSERT_HR(S_OK, pub->GetDeliveryRuleResults(9, &value));
    EXPECT_EQ(VARIANT_FALSE, value);

    ASSERT_HR(S_OK, pub->RemoveDeliveryRuleResults(7));
    EXPECT_EQ(nullptr, PropertyOf(results.Get(), L"7").Get());
    EXPECT_HR(kAbsent, pub->GetDeliveryRuleResults(7, &value));
}

TEST_F(BagsTest, ReadingOrRemovingResultsCreatesTheEmptyBag) {
    VARIANT_BOOL value = 0x55;
    EXPECT_HR(kAbsent, pub->GetDeliveryRuleResults(1, &value));
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(ProcessingBag().Get(), WP_SI_DELIVERY_RULE_RESULTS_W));
    EXPECT_EQ(0, PropertyCount(ResultsBag().Get()));
    ScopedVariant name;
    ASSERT_HR(S_OK, name.SetBstr(WP_SI_DELIVERY_RULE_RESULTS_W));
    ASSERT_HR(S_OK, ProcessingBag()->Remove(name.Get()));
    EXPECT_HR(S_OK, pub->RemoveDeliveryRuleResults(1));
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(ProcessingBag().Get(), WP_SI_DELIVERY_RULE_RESULTS_W));
}

TEST_F(BagsTest, DeliveryRuleResultsTraceTheirEntryAndOnlyAMissingBag) {
    TraceCapture capture;
    capture.TraceAll();
    VARIANT_BOOL value = VARIANT_TRUE;
    ASSERT_HR(S_OK, pub->SetDeliveryRuleResults(7, VARIANT_TRUE));
    ASSERT_HR(S_OK, pub->GetDeliveryRuleResults(7, &value));
    ASSERT_HR(S_OK, pub->RemoveDeliveryRuleResults(7));
    ASSERT_EQ(3u, capture.lines.size());
    EXPECT_EQ(In(L"IPublicationInfo::SetDeliveryRuleResults", L"[-]\t[7] [true]"),
              capture.lines[0].text);
    EXPECT_EQ(In(L"IPublicationInfo::GetDeliveryRuleResults", L"[-]\t[7] [true]"),
              capture.lines[1].text);
    EXPECT_EQ(In(L"IPublicationInfo::RemoveDeliveryRuleResults", L"[-]\t[7]"),
              capture.lines[2].text);

    capture.lines.clear();
    ComPtr<ISProperties> processing = ProcessingBag();
    ASSERT_HR(S_OK, RefHost::InjectFault(processing.Get(), "ISProperties::Add", kInjected));
    ScopedVariant name;
    ASSERT_HR(S_OK, name.SetBstr(WP_SI_DELIVERY_RULE_RESULTS_W));
    ASSERT_HR(S_OK, processing->Remove(name.Get()));
    EXPECT_HR(kInjected, pub->SetDeliveryRuleResults(7, VARIANT_FALSE));
    ASSERT_EQ(3u, capture.lines.size());
    EXPECT_EQ(Out(L"IPublicationInfo::GetProcessingBag", L"[-2147177523]\t"),
              capture.lines[1].text);
    EXPECT_EQ(Out(L"IPublicationInfo::SetDeliveryRuleResults", L"[-2147177523]\t"),
              capture.lines[2].text);
}

TEST_F(BagsTest, FormatInfosAndScopesAreNewHostObjectsOverOneProcessingBag) {
    ComPtr<ISFormatInfos> first, second;
    ASSERT_HR(S_OK, pub->get_FormatInfos(&first));
    ASSERT_HR(S_OK, pub->get_FormatInfos(&second));
    ASSERT_NE(nullptr, first.Get());
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(ProcessingBag().Get(), WP_SI_FORMAT_INFOS_W));

    ComPtr<ISProperties> entry;
    ASSERT_HR(S_OK, first->Add(ScopedBstr(L"KorvelEnterprise.DiskUnmanaged").Get(), &entry));
    EXPECT_EQ(1, Get(second.Get(), &ISFormatInfos::get_Count));

    ComPtr<ISScopeBatchScopes> scopes = Fetch(pub.Get(), &ISPublicationInfo::get_ScopeBatchScopes);
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(ProcessingBag().Get(), WP_SI_SCOPEBATCH_SCOPES_W));
    ComPtr<ISProperties> scope = Fetch(scopes.Get(), &ISScopeBatchScopes::Add);
    ComPtr<ISScopeBatchScopes> again = Fetch(pub.Get(), &ISPublicationInfo::get_ScopeBatchScopes);
    ComPtr<ISProperties> found;
    EXPECT_HR(S_OK, again->FindScope(1, &found));
}

TEST_F(BagsTest, MappingsNeedAnObjectPropertyHoldingABag) {
    ComPtr<ISProfileValueMappings> profile;
    EXPECT_HR(kAbsent, pub->get_DynamicRecipientProfileValueMappings(&profile));
    SetI4(WP_SI_DYNAMIC_RECIPIENTS_PROFILE_VALUE_MAPPINGS_W, 5);
    EXPECT_HR(kBagUnavailable, pub->get_DynamicRecipientProfileValueMappings(&profile));
    EXPECT_EQ(nullptr, profile.Get());

    // A bag without SI_VARIABLE_MAPPINGS: the inner bag is created empty.
    ComPtr<ISProperties> holder = PutBagProperty(WP_SI_DYNAMIC_RECIPIENTS_PROFILE_VALUE_MAPPINGS_W);
    ASSERT_HR(S_OK, pub->get_DynamicRecipientProfileValueMappings(&profile));
    EXPECT_EQ(kCreatedBagFlags, FlagsOf(holder.Get(), WP_SI_VARIABLE_MAPPINGS_W));
    EXPECT_EQ(1033, Get(profile.Get(), &ISProfileValueMappings::get_Locale));
    ComPtr<ISProperties> mapping;
    ASSERT_HR(S_OK,
              profile->Add(ScopedBstr(L"Region").Get(), ScopedBstr(L"REGION_COL").Get(), &mapping));
    ComPtr<ISProperties> inner = Nested(holder.Get(), WP_SI_VARIABLE_MAPPINGS_W);
    ScopedVariant total;
    Value(inner.Get(), WP_SI_TOTAL_W, total);
    EXPECT_EQ(VT_I4, total.Type());

    ComPtr<ISDocumentVariableMappings> document;
    PutBagProperty(WP_SI_PUBLICATION_DOCUMENTPROFILE_TARGETS_W);
    ASSERT_HR(S_OK, pub->get_PublicationDocumentVariableMappings(&document));
    ComPtr<ISDocumentVariableMappings> other =
        Fetch(pub.Get(), &ISPublicationInfo::get_PublicationDocumentVariableMappings);
    EXPECT_NE(document.Get(), other.Get());
}

// The failures of the host classes and bags that the sweep's host faults do not reach.
TEST_F(BagsTest, HostObjectFailuresHandOutNothing) {
    // No class registered: the creation's failure.
    ASSERT_HR(S_OK, RefHost::RevokeHostClasses());
    ComPtr<ISScopeBatchScopes> scopes;
    EXPECT_TRUE(FAILED(pub->get_ScopeBatchScopes(&scopes)));
    EXPECT_EQ(nullptr, scopes.Get());
    ASSERT_HR(S_OK, RefHost::RegisterHostClasses());

    // The processing info's bag property cannot be read: that failure, not another property
    // added in its place.
    ASSERT_HR(S_OK, RefHost::InjectFault(nullptr, "ISProperties::get_Item", kInjected));
    EXPECT_HR(kInjected, pub->get_ScopeBatchScopes(&scopes));
    // The nested bag of the mappings cannot be had.
    ComPtr<ISProperties> holder = PutBagProperty(WP_SI_PUBLICATION_DOCUMENTPROFILE_TARGETS_W);
    ASSERT_HR(S_OK, RefHost::InjectFault(holder.Get(), "ISProperties::Add", kInjected));
    ComPtr<ISDocumentVariableMappings> document;
    EXPECT_HR(kBagUnavailable, pub->get_PublicationDocumentVariableMappings(&document));
    EXPECT_EQ(nullptr, document.Get());
}

TEST_F(BagsTest, HostObjectGettersTraceTheOutputAddressAndTheStatus) {
    TraceCapture capture;
    capture.TraceAll();
    ComPtr<ISFormatInfos> formats = Fetch(pub.Get(), &ISPublicationInfo::get_FormatInfos);
    SetI4(WP_SI_PUBLICATION_DOCUMENTPROFILE_TARGETS_W, 1);
    ComPtr<ISDocumentVariableMappings> document;
    ASSERT_HR(kBagUnavailable, pub->get_PublicationDocumentVariableMappings(&document));
    const std::wstring formatsOut = SdkTrace::PointerText(formats.GetAddressOf()).str();
    const std::wstring documentOut = SdkTrace::PointerText(document.GetAddressOf()).str();
    ASSERT_EQ(4u, capture.lines.size());
    EXPECT_EQ(In(L"IPublicationInfo::get_FormatInfos", L"[-]\t[" + formatsOut + L"]"),
              capture.lines[0].text);
    EXPECT_EQ(Out(L"IPublicationInfo::get_FormatInfos", L"[0]\t"), capture.lines[1].text);
    EXPECT_EQ(In(L"IPublicationInfo::get_PublicationDocumentVariableMappings",
                 L"[-]\t[" + documentOut + L"]"),
              capture.lines[2].text);
    EXPECT_EQ(Out(L"IPublicationInfo::get_PublicationDocumentVariableMappings", L"[0x80042A30]\t"),
              capture.lines[3].text);
}

class LocaleLessBagsTest : public BagsTest {
  protected:
    void SetUp() override {
        ASSERT_HR(S_OK, RefHost::RegisterHostClasses());
        initialise = false;
        PublicationTest::SetUp();
        ASSERT_HR(S_OK, RefHost::SetLocale(host.Get(), 0));
        ASSERT_HR(S_OK, Initialize());
    }
};

TEST_F(LocaleLessBagsTest, AMissingLocaleIsReportedAndTheObjectStillMade) {
    TraceCapture capture;
    ComPtr<ISProfileValueMappings> profile;
    PutBagProperty(WP_SI_DYNAMIC_RECIPIENTS_PROFILE_VALUE_MAPPINGS_W);
    ASSERT_HR(S_OK, pub->get_DynamicRecipientProfileValueMappings(&profile));
    EXPECT_EQ(0, Get(profile.Get(), &ISProfileValueMappings::get_Locale));
    // The guard's report and the one before the host object is made.
    ASSERT_EQ(2u, capture.asserts.size());
    for (const auto& a : capture.asserts) {
        EXPECT_EQ("m_ObjectLocale!=0", a.expression);
        EXPECT_EQ(kSComObjectBaseFile, a.file);
    }
}

}  // namespace
