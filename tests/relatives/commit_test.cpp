// The commit operations of the ID lists, the key object's category collections and commit chain,
// and the publication layer's commit hooks, with commit round trips through the reference
// repository for a new and for a stored object, and a commit refused for a key without a MIME
// type.
#include <gtest/gtest.h>

#include "publication/publication_fixture.h"

using namespace RelTest;

namespace {

constexpr wchar_t kCorporate[] = L"SI_CORPORATE_CATEGORIES";
constexpr wchar_t kPersonal[] = L"SI_PERSONAL_CATEGORIES";
constexpr wchar_t kAdd[] = L"SI_ADM_ADD_SI_CATEGORIES";
constexpr wchar_t kDel[] = L"SI_ADM_DEL_SI_CATEGORIES";
constexpr wchar_t kScopeBatch[] = L"SI_ARTIFACTS_SCOPEBATCH";
constexpr wchar_t kSourceDoc[] = L"SI_ARTIFACTS_SOURCEDOC";
constexpr wchar_t kScopeBatchDoc[] = L"SI_ARTIFACTS_SCOPEBATCHDOC";
constexpr long kChanged = 0x02000000;
constexpr wchar_t kScopeBatchAdd[] = L"SI_ADM_ADD_SI_ARTIFACTS_SCOPEBATCH";
constexpr wchar_t kScopeBatchDel[] = L"SI_ADM_DEL_SI_ARTIFACTS_SCOPEBATCH";

// A key object over a host object not yet handed to it, with the committed bag that the tests
// look at.
class CommitTest : public PublicationTest {
  protected:
    void SetUp() override {
        initialise = false;
        PublicationTest::SetUp();
        bag = BagOf(host.Get());
    }
    void TearDown() override {
        bag.Reset();
        PublicationTest::TearDown();
    }
    // A copy of the bag the repository committed for the host object.
    ComPtr<ISProperties> Committed() {
        ComPtr<ISProperties> committed;
        EXPECT_EQ(S_OK, repository->CommittedProperties(Get(host.Get(), &ISInfoObject::get_ID),
                                                        &committed));
        return committed;
    }
    ComPtr<ISObjectRelativeIDs> Categories(bool corporate) {
        ComPtr<ISObjectRelativeIDs> ids;
        EXPECT_HR(S_OK, corporate ? key->get_CorporateCategories(&ids)
                                  : key->get_PersonalCategories(&ids));
        return ids;
    }
    static long CommittedI4(ISProperties* committed, const wchar_t* name) {
        ComPtr<ISProperty> property = PropertyOf(committed, name);
        ScopedVariant value;
        if (!property || FAILED(property->get_Value(value.Receive())) || value.Type() != VT_I4)
            return -12345;
        return V_I4(&value.Get());
    }

    ComPtr<ISProperties> bag;
};

TEST_F(CommitTest, CommitOperationsOnTheBag) {
    // A new object's list is copied only into an empty journal: of two lists sharing one
    // journal, only the first.
    PutIds(bag.Get(), kCorporate, {10, 11});
    PutIds(bag.Get(), kPersonal, {20}, 0);
    MarkNew(bag.Get());
    const long properties = PropertyCount(bag.Get());
    ASSERT_HR(S_OK, PrepareRelativesForCommit(kCorporate, host.Get(), kAdd, kDel, L""));
    ASSERT_HR(S_OK, PrepareRelativesForCommit(kPersonal, host.Get(), kAdd, kDel, L""));
    ASSERT_HR(S_OK, PrepareRelativesForCommit(kScopeBatch, host.Get(), L"", L"", L""));
    EXPECT_EQ((IdList{10, 11}), Ids(kAdd));
    EXPECT_EQ(0x08000000, Flags(kAdd));
    EXPECT_EQ(0x0A000000, Flags(kCorporate));  // created lists carry the mark already
    EXPECT_EQ(kChanged, Flags(kPersonal));
    EXPECT_EQ(properties + 1,
              PropertyCount(bag.Get()));  // the journal; nothing for the absent list

    // After the commit: journals emptied, the mark cleared on them and on the lists, also where
    // it is part of the creation flags. Default journal names, UPD included.
    PutIds(bag.Get(), L"SI_ADM_UPD_SI_PERSONAL_CATEGORIES", {3}, kChanged);
    PutIds(bag.Get(), L"SI_ADM_DEL_SI_PERSONAL_CATEGORIES", {4}, 0x08000000);
    ASSERT_HR(S_OK, ResetRelativesAfterCommit(kPersonal, host.Get(), L"", L"", L""));
    ASSERT_HR(S_OK, ResetRelativesAfterCommit(kCorporate, host.Get(), kAdd, kDel, L""));
    EXPECT_EQ(IdList{}, Ids(L"SI_ADM_UPD_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(0, Flags(L"SI_ADM_UPD_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(IdList{}, Ids(L"SI_ADM_DEL_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(IdList{}, Ids(kAdd));
    EXPECT_EQ(0x08000000, Flags(kCorporate));
    EXPECT_EQ(0, Flags(kPersonal));
    EXPECT_EQ((IdList{10, 11}), Ids(kCorporate));

    EXPECT_HR(E_FAIL, PrepareRelativesForCommit(kCorporate, nullptr, L"", L"", L""));
    EXPECT_HR(E_FAIL, ResetRelativesAfterCommit(kCorporate, nullptr, L"", L"", L""));
    // A journal that cannot be written is not reported as ready.
    ComPtr<ISPropertyBagCollection> journal = ListOf(bag.Get(), kAdd);
    ASSERT_EQ(S_OK, RefHost::InjectFault(journal.Get(), "ISPropertyBagCollection::Append",
                                         E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, PrepareRelativesForCommit(kCorporate, host.Get(), kAdd, kDel, L""));
}

TEST_F(CommitTest, CategoryCollectionsAreCachedAndShareTheJournals) {
    ISObjectRelativeIDs* untouched = reinterpret_cast<ISObjectRelativeIDs*>(&untouched);
    ISObjectRelativeIDs* out = untouched;
    EXPECT_HR(E_FAIL, key->get_CorporateCategories(&out));  // no host object yet
    EXPECT_HR(E_FAIL, key->get_PersonalCategories(&out));
    EXPECT_EQ(untouched, out);

    PutIds(bag.Get(), kPersonal, {30});
    ASSERT_EQ(S_OK, Initialize());
    EXPECT_HR(E_POINTER, key->get_CorporateCategories(nullptr));
    // A failed load leaves the cache empty; the next call loads.
    ASSERT_EQ(S_OK,
              RefHost::InjectFault(host.Get(), "ISInfoObject::get_Properties", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, key->get_CorporateCategories(&out));
    auto corporate = Categories(true);
    ComPtr<ISCategoryContent> content;
    ComPtr<ISObjectRelativeIDs> again;
    ASSERT_EQ(S_OK, key.As(&content));
    ASSERT_HR(S_OK, content->get_CorporateCategories(&again));
    EXPECT_EQ(corporate.Get(), again.Get());

    ASSERT_HR(S_OK, corporate->Add(10));
    EXPECT_EQ(IdList{10}, ItemsOf(again.Get()));
    auto personal = Categories(false);
    ASSERT_HR(S_OK, DeleteByKey(personal.Get(), 30));
    EXPECT_EQ(IdList{10}, Ids(kAdd));
    EXPECT_EQ(IdList{30}, Ids(kDel));
    EXPECT_FALSE(Ids(L"SI_ADM_ADD_SI_CORPORATE_CATEGORIES"));
    EXPECT_FALSE(Ids(L"SI_ADM_DEL_SI_PERSONAL_CATEGORIES"));
}

// A new key's whole life through the plug-in face: key and publication properties set,
// categories and scope-batch IDs edited, prepared, stored in the reference repository, finished
// after the commit, then edited again as a stored object.
TEST_F(CommitTest, NewObjectRoundTrip) {
    PutIds(bag.Get(), kCorporate, {10, 11});
    PutIds(bag.Get(), kPersonal, {20});
    SetText(L"SI_MIMETYPE", L"application/x-cryptographic-key");
    SetText(L"SI_VALUE", L"k");
    SetI4(L"SI_KEY_STATE", DEACTIVATED);
    SetI2(L"SI_IS_COMPROMISED", 0);
    ASSERT_EQ(S_OK, Initialize(VARIANT_TRUE));
    auto corporate = Categories(true);
    auto personal = Categories(false);
    EXPECT_EQ((IdList{10, 11, 20}), Ids(kAdd));  // a new object journals what it holds
    ASSERT_HR(S_OK, key->StartRekey());
    ASSERT_HR(S_OK, key->SetCompromised());
    ASSERT_HR(S_OK, key->put_ScopeID(42));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(7));
    ASSERT_HR(S_OK, corporate->Add(100));
    ASSERT_HR(S_OK, corporate->Add(101));
    ASSERT_HR(S_OK, personal->Add(200));
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 101));  // cancels its own add
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 11));   // and one it loaded

    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));
    EXPECT_EQ((IdList{10, 20, 100, 200}), Ids(kAdd));
    EXPECT_EQ(0x0A000000, Flags(kCorporate));
    EXPECT_EQ(0x0A000000, Flags(kScopeBatch));
    ASSERT_EQ(S_OK, repository->Store(host.Get()));

    // The committed bag: key properties, publication properties, lists and journals.
    {
        auto committed = Committed();
        EXPECT_EQ(REKEY_IN_PROGRESS, CommittedI4(committed.Get(), L"SI_KEY_STATE"));
        EXPECT_EQ(42, CommittedI4(committed.Get(), L"SI_SCOPE_ID"));
        EXPECT_EQ((IdList{10, 100}), IdsOf(committed.Get(), kCorporate));
        EXPECT_EQ((IdList{20, 200}), IdsOf(committed.Get(), kPersonal));
        EXPECT_EQ((IdList{10, 20, 100, 200}), IdsOf(committed.Get(), kAdd));
        EXPECT_FALSE(IdsOf(committed.Get(), kDel));
        EXPECT_EQ(IdList{7}, IdsOf(committed.Get(), kScopeBatch));
        EXPECT_EQ(IdList{7}, IdsOf(committed.Get(), kScopeBatchAdd));
        EXPECT_EQ(0x08000000, FlagsOf(committed.Get(), kAdd));
        EXPECT_EQ(0x0A000000, FlagsOf(committed.Get(), kPersonal));
        EXPECT_FALSE(PropertyOf(committed.Get(), Pravhelper500::WP_SI_NEWOBJECT_W));
    }

    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_TRUE));
    EXPECT_EQ(IdList{}, Ids(kAdd));
    EXPECT_EQ(IdList{}, Ids(kScopeBatchAdd));
    for (const wchar_t* list : {kCorporate, kPersonal, kScopeBatch})
        EXPECT_EQ(0x08000000, Flags(list)) << "flag 0x02000000 cleared on the list";
    EXPECT_EQ(0x08000000, Flags(kAdd));

    // The collections stay in use; the object is stored now, so its next edits are journalled
    // as changes since this commit.
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 100));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(8));
    EXPECT_EQ(IdList{100}, Ids(kDel));
    EXPECT_EQ(IdList{7}, Ids(kScopeBatchDel));
    EXPECT_EQ(IdList{8}, Ids(kScopeBatchAdd));
}

TEST_F(CommitTest, StoredObjectRoundTrip) {
    PutIds(bag.Get(), kCorporate, {10, 11});
    ASSERT_EQ(S_OK, repository->Store(host.Get()));
    const long id = Get(host.Get(), &ISInfoObject::get_ID);
    ASSERT_EQ(S_OK, repository->Load(id, host.ReleaseAndGetAddressOf()));
    bag = BagOf(host.Get());
    ASSERT_EQ(S_OK, Initialize());

    auto corporate = Categories(true);
    EXPECT_FALSE(Ids(kAdd));  // nothing journalled at load
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 10));
    ASSERT_HR(S_OK, corporate->Add(12));
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_FALSE));
    EXPECT_EQ(0x0A000000, Flags(kCorporate));
    EXPECT_EQ(-1, Flags(kPersonal));
    ASSERT_EQ(S_OK, repository->Store(host.Get()));
    auto committed = Committed();
    EXPECT_EQ((IdList{11, 12}), IdsOf(committed.Get(), kCorporate));
    EXPECT_EQ(IdList{12}, IdsOf(committed.Get(), kAdd));
    EXPECT_EQ(IdList{10}, IdsOf(committed.Get(), kDel));
    committed.Reset();

    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(IdList{}, Ids(kAdd));
    EXPECT_EQ(IdList{}, Ids(kDel));
    EXPECT_EQ(0x08000000, Flags(kCorporate));
    EXPECT_EQ((IdList{11, 12}), ItemsOf(corporate.Get()));
}

TEST_F(CommitTest, PublicationListsInOrderAfterTheCategories) {
    PutIds(bag.Get(), kScopeBatch, {5}, 0);
    PutIds(bag.Get(), kScopeBatchAdd, {5}, 0x08000000);
    PutIds(bag.Get(), kSourceDoc, {6}, 0);
    PutIds(bag.Get(), kScopeBatchDoc, {7}, 0);
    ASSERT_EQ(S_OK, Initialize());
    ComPtr<ISProperty> sourceDoc = PropertyOf(bag.Get(), kSourceDoc);

    // A failing category layer: its failure is returned, and what the publication lists wrote
    // is taken back.
    ASSERT_EQ(S_OK,
              RefHost::InjectFault(host.Get(), "ISInfoObject::get_Properties", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, plugin->PrepareForCommit(VARIANT_FALSE));
    EXPECT_EQ(0, Flags(kScopeBatch));
    // Scope batch, source document, scope-batch document: a failure at the second still lets the
    // third be prepared (its flag is set, then taken back with the first list's).
    ComPtr<IUnknown> scopeBatchDoc;
    ASSERT_EQ(S_OK, PropertyOf(bag.Get(), kScopeBatchDoc).As(&scopeBatchDoc));
    ASSERT_EQ(S_OK, RefHost::InjectFault(sourceDoc.Get(), "ISProperty::get_Flags", E_ACCESSDENIED));
    RefHost::ClearCallLog();
    RefHost::EnableCallLog(true);
    EXPECT_HR(E_ACCESSDENIED, plugin->PrepareForCommit(VARIANT_FALSE));
    RefHost::EnableCallLog(false);
    int thirdListReads = 0;
    for (const RefHost::CallRecord& record : RefHost::CallLog())
        if (record.object == scopeBatchDoc.Get() && record.method == "ISProperty::get_Flags")
            ++thirdListReads;
    RefHost::ClearCallLog();
    EXPECT_EQ(1, thirdListReads);
    EXPECT_EQ(0, Flags(kScopeBatch));
    EXPECT_EQ(0, Flags(kScopeBatchDoc));

    TraceCapture capture;
    capture.TraceAll();
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_FALSE));
    capture.TracingOff();
    EXPECT_EQ(kChanged, Flags(kSourceDoc));
    EXPECT_EQ(kChanged, Flags(kScopeBatchDoc));
    EXPECT_EQ(IdList{5}, Ids(kScopeBatchAdd));  // left as it was
    std::vector<std::wstring> lines;
    for (const auto& line : capture.lines)
        if (line.text.find(L"[IPublicationInfo::PrepareForCommit]") != std::wstring::npos)
            lines.push_back(line.text);
    EXPECT_EQ(
        (std::vector<std::wstring>{In(L"IPublicationInfo::PrepareForCommit", L"[-]\t[false]"),
                                   Out(L"IPublicationInfo::PrepareForCommit", L"[0]\t[false]")}),
        lines);

    // A failed AfterCommit leaves every journal and flag as it was.
    ASSERT_EQ(S_OK, RefHost::InjectFault(sourceDoc.Get(), "ISProperty::get_Flags", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, plugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(IdList{5}, Ids(kScopeBatchAdd));
    EXPECT_EQ(kChanged, Flags(kScopeBatch));
    EXPECT_EQ(kChanged, Flags(kScopeBatchDoc));
    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(0, Flags(kSourceDoc));
    EXPECT_EQ(0, Flags(kScopeBatchDoc));

    // An object without any of the lists passes both calls and gains no property.
    ComPtr<ISInfoObject> plain;
    ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &plain));
    auto other = NewKeyObject();
    ComPtr<ISDesktopPlugin> otherPlugin = Face<ISDesktopPlugin>(other.Get());
    ASSERT_EQ(S_OK, otherPlugin->Initialize(plain.Get(), VARIANT_FALSE));
    const long properties = PropertyCount(BagOf(plain.Get()).Get());
    EXPECT_HR(S_OK, otherPlugin->PrepareForCommit(VARIANT_FALSE));
    EXPECT_HR(S_OK, otherPlugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(properties, PropertyCount(BagOf(plain.Get()).Get()));
}

TEST_F(CommitTest, RefusedCommitLeavesEveryLayerUnprepared) {
    SetI4(L"SI_KEY_STATE", ACTIVE);
    ASSERT_HR(S_OK, Initialize(VARIANT_TRUE));
    ASSERT_HR(S_OK, Categories(true)->Add(100));
    ASSERT_HR(S_OK, key->put_ScopeBatchObjectID(7));
    const long corporateFlags = Flags(kCorporate);
    const long scopeFlags = Flags(kScopeBatch);

    TraceCapture capture;
    capture.TraceAll();
    EXPECT_HR(static_cast<HRESULT>(0x80042A37), plugin->PrepareForCommit(VARIANT_TRUE));
    EXPECT_EQ(corporateFlags, Flags(kCorporate));
    EXPECT_EQ(scopeFlags, Flags(kScopeBatch));
    for (const auto& line : capture.lines)
        EXPECT_EQ(std::wstring::npos, line.text.find(L"IPublicationInfo::")) << "a layer ran";
}

TEST_F(CommitTest, PrepareForCommitTracesEveryLayerInOrder) {
    SetText(L"SI_MIMETYPE", L"application/x-cryptographic-key");
    ASSERT_HR(S_OK, Initialize(VARIANT_FALSE));
    TraceCapture capture;
    capture.TraceAll();
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));

    const std::wstring expected[] = {L"IN:\t[CCryptoGraphicKey::PrepareForCommit]",
                                     L"IN:\t[IPublicationInfo::PrepareForCommit]",
                                     L"IN:\t[ICategoryContent::PrepareForCommit]",
                                     L"OUT:\t[ICategoryContent::PrepareForCommit]",
                                     L"OUT:\t[IPublicationInfo::PrepareForCommit]",
                                     L"OUT:\t[CCryptoGraphicKey::PrepareForCommit]"};
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
