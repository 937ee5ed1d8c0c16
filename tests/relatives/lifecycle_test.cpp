// A key object's whole life through the plug-in face: created as new, key and publication
// properties set, categories and scope-batch IDs edited, prepared, stored in the reference
// repository, finished after the commit; and a commit refused for a key without a MIME type.
#include <gtest/gtest.h>

#include "commit_fixture.h"

using namespace RelTest;

namespace {

constexpr wchar_t kScopeBatchAdd[] = L"SI_ADM_ADD_SI_ARTIFACTS_SCOPEBATCH";
constexpr wchar_t kScopeBatchDel[] = L"SI_ADM_DEL_SI_ARTIFACTS_SCOPEBATCH";

class LifecycleTest : public CommitFixture {
protected:
    long CommittedI4(ISProperties* bag, const wchar_t* name) {
        ComPtr<ISProperty> property = PropertyOf(bag, name);
        ScopedVariant value;
        if (!property || FAILED(property->get_Value(value.Receive())) || value.Type() != VT_I4)
            return -12345;
        return V_I4(&value.Get());
    }
};

TEST_F(LifecycleTest, NewKeyThroughPrepareStoreAndAfterCommit) {
    SetText(L"SI_MIMETYPE", L"application/x-cryptographic-key");
    SetText(L"SI_VALUE", L"k");
    SetI4(L"SI_KEY_STATE", DEACTIVATED);
    SetI2(L"SI_IS_COMPROMISED", 0);
    auto plugin = Plugin();
    ASSERT_HR(S_OK, Initialize(VARIANT_TRUE));

    ASSERT_HR(S_OK, key->StartRekey());
    ASSERT_HR(S_OK, key->SetCompromised());
    ASSERT_HR(S_OK, key->put_ScopeID(42));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(7));
    ComPtr<ISObjectRelativeIDs> corporate, personal;
    ASSERT_HR(S_OK, key->get_CorporateCategories(&corporate));
    ASSERT_HR(S_OK, key->get_PersonalCategories(&personal));
    ASSERT_HR(S_OK, corporate->Add(100));
    ASSERT_HR(S_OK, corporate->Add(101));
    ASSERT_HR(S_OK, personal->Add(200));
    ScopedVariant index;
    ASSERT_HR(S_OK, corporate->Delete(*Key(index, 101)->Ptr()));  // cancels its own add

    ComPtr<ISProperties> bag = BagOf(host.Get());
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));
    EXPECT_EQ(0x0A000000, FlagsOf(bag.Get(), kCorporate));
    EXPECT_EQ(0x0A000000, FlagsOf(bag.Get(), kScopeBatch));
    ASSERT_EQ(S_OK, repository->Store(host.Get()));

    // The committed bag: key properties, publication properties, lists and journals.
    {
        auto committed = Committed();
        EXPECT_EQ(REKEY_IN_PROGRESS, CommittedI4(committed.Get(), L"SI_KEY_STATE"));
        EXPECT_EQ(42, CommittedI4(committed.Get(), L"SI_SCOPE_ID"));
        EXPECT_EQ(IdList{100}, IdsOf(committed.Get(), kCorporate));
        EXPECT_EQ(IdList{200}, IdsOf(committed.Get(), kPersonal));
        EXPECT_EQ((IdList{100, 200}), IdsOf(committed.Get(), kAdd));
        EXPECT_FALSE(IdsOf(committed.Get(), kDel));
        EXPECT_EQ(IdList{7}, IdsOf(committed.Get(), kScopeBatch));
        EXPECT_EQ(IdList{7}, IdsOf(committed.Get(), kScopeBatchAdd));
        EXPECT_EQ(0x08000000, FlagsOf(committed.Get(), kAdd));
        EXPECT_FALSE(PropertyOf(committed.Get(), Pravhelper500::WP_SI_NEWOBJECT_W));
    }

    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_TRUE));
    EXPECT_EQ(IdList{}, IdsOf(bag.Get(), kAdd));
    EXPECT_EQ(IdList{}, IdsOf(bag.Get(), kScopeBatchAdd));
    for (const wchar_t* list : {kCorporate, kPersonal, kScopeBatch})
        EXPECT_EQ(0x08000000, FlagsOf(bag.Get(), list)) << "flag 0x02000000 cleared on the list";
    EXPECT_EQ(0x08000000, FlagsOf(bag.Get(), kAdd));

    // The stored object journals the next edits as changes since this commit.
    ASSERT_HR(S_OK, corporate->Delete(*Key(index, 100)->Ptr()));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(8));
    EXPECT_EQ(IdList{100}, IdsOf(bag.Get(), kDel));
    EXPECT_EQ(IdList{7}, IdsOf(bag.Get(), kScopeBatchDel));
    EXPECT_EQ(IdList{8}, IdsOf(bag.Get(), kScopeBatchAdd));
}

TEST_F(LifecycleTest, RefusedCommitLeavesEveryLayerUnprepared) {
    SetI4(L"SI_KEY_STATE", ACTIVE);
    auto plugin = Plugin();
    ASSERT_HR(S_OK, Initialize(VARIANT_TRUE));
    ComPtr<ISObjectRelativeIDs> corporate;
    ASSERT_HR(S_OK, key->get_CorporateCategories(&corporate));
    ASSERT_HR(S_OK, corporate->Add(100));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(7));
    ComPtr<ISProperties> bag = BagOf(host.Get());
    const long corporateFlags = FlagsOf(bag.Get(), kCorporate);
    const long scopeFlags = FlagsOf(bag.Get(), kScopeBatch);

    TraceCapture capture;
    capture.TraceAll();
    EXPECT_HR(static_cast<HRESULT>(0x80042A37), plugin->PrepareForCommit(VARIANT_TRUE));
    EXPECT_EQ(corporateFlags, FlagsOf(bag.Get(), kCorporate));
    EXPECT_EQ(scopeFlags, FlagsOf(bag.Get(), kScopeBatch));
    for (const auto& line : capture.lines)
        EXPECT_EQ(std::wstring::npos, line.text.find(L"IPublicationInfo::")) << "a layer ran";
}

TEST_F(LifecycleTest, PrepareForCommitTracesEveryLayerInOrder) {
    SetText(L"SI_MIMETYPE", L"application/x-cryptographic-key");
    auto plugin = Plugin();
    ASSERT_HR(S_OK, Initialize(VARIANT_FALSE));
    TraceCapture capture;
    capture.TraceAll();
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));

    const std::wstring expected[] = {
        L"IN:\t[CCryptoGraphicKey::PrepareForCommit]", L"IN:\t[IPublicationInfo::PrepareForCommit]",
        L"IN:\t[ICategoryContent::PrepareForCommit]", L"OUT:\t[ICategoryContent::PrepareForCommit]",
        L"OUT:\t[IPublicationInfo::PrepareForCommit]", L"OUT:\t[CCryptoGraphicKey::PrepareForCommit]"};
    ASSERT_EQ(std::size(expected), capture.lines.size());
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(0u, capture.lines[i].text.rfind(expected[i], 0)) << i;
        // Every line of the chain carries the flag as "true", and the exit lines status 0.
        EXPECT_NE(std::wstring::npos, capture.lines[i].text.find(L"[true]")) << i;
        if (i >= 3) {
            EXPECT_NE(std::wstring::npos, capture.lines[i].text.find(L"]\t[0]\t")) << i;
        }
    }
}

}  // namespace
