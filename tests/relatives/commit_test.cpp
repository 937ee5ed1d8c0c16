// The commit operations of the ID lists, the key object's category collections and commit chain,
// and the publication layer's commit hooks, with commit round trips through the reference
// repository for a new and for a stored object.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "commit_fixture.h"

using namespace RelTest;

namespace {

constexpr long kChanged = 0x02000000;

class CommitTest : public CommitFixture {
protected:
    void SetUp() override {
        CommitFixture::SetUp();
        bag = BagOf(host.Get());
    }
    void TearDown() override {
        bag.Reset();
        CommitFixture::TearDown();
    }
    ComPtr<ISObjectRelativeIDs> Categories(bool corporate) {
        ComPtr<ISObjectRelativeIDs> ids;
        EXPECT_HR(S_OK, corporate ? key->get_CorporateCategories(&ids)
                                  : key->get_PersonalCategories(&ids));
        return ids;
    }
    std::optional<IdList> Host(const wchar_t* name) { return IdsOf(bag.Get(), name); }
    long Flags(const wchar_t* name) { return FlagsOf(bag.Get(), name); }

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
    EXPECT_EQ((IdList{10, 11}), Host(kAdd));
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
    EXPECT_EQ(IdList{}, Host(L"SI_ADM_UPD_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(0, Flags(L"SI_ADM_UPD_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(IdList{}, Host(L"SI_ADM_DEL_SI_PERSONAL_CATEGORIES"));
    EXPECT_EQ(IdList{}, Host(kAdd));
    EXPECT_EQ(0x08000000, Flags(kCorporate));
    EXPECT_EQ(0, Flags(kPersonal));
    EXPECT_EQ((IdList{10, 11}), Host(kCorporate));

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
    EXPECT_EQ(IdList{10}, Host(kAdd));
    EXPECT_EQ(IdList{30}, Host(kDel));
    EXPECT_FALSE(Host(L"SI_ADM_ADD_SI_CORPORATE_CATEGORIES"));
    EXPECT_FALSE(Host(L"SI_ADM_DEL_SI_PERSONAL_CATEGORIES"));
}

TEST_F(CommitTest, RacingFirstCallsShareOneCollection) {
    IdList stored;  // a long list keeps the first load busy while the others arrive
    for (long id = 1; id <= 5000; ++id) stored.push_back(id);
    PutIds(bag.Get(), kCorporate, stored);
    ASSERT_EQ(S_OK, Initialize());
    constexpr int kThreads = 8;
    std::vector<ComPtr<ISObjectRelativeIDs>> seen(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            key->get_CorporateCategories(&seen[t]);
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[0].Get(), seen[t].Get()) << t;
    ASSERT_TRUE(seen[0]);
}

TEST_F(CommitTest, NewObjectRoundTrip) {
    PutIds(bag.Get(), kCorporate, {10, 11});
    PutIds(bag.Get(), kPersonal, {20});
    SetText(L"SI_MIMETYPE", L"application/x-key");
    ASSERT_EQ(S_OK, Initialize(VARIANT_TRUE));
    auto corporate = Categories(true);
    auto personal = Categories(false);
    EXPECT_EQ((IdList{10, 11, 20}), Host(kAdd));  // a new object journals what it holds
    ASSERT_HR(S_OK, personal->Add(21));
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 11));

    auto plugin = Plugin();
    ASSERT_HR(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));
    EXPECT_EQ((IdList{10, 20, 21}), Host(kAdd));
    ASSERT_EQ(S_OK, repository->Store(host.Get()));
    auto committed = Committed();
    EXPECT_EQ(IdList{10}, IdsOf(committed.Get(), kCorporate));
    EXPECT_EQ((IdList{20, 21}), IdsOf(committed.Get(), kPersonal));
    EXPECT_EQ((IdList{10, 20, 21}), IdsOf(committed.Get(), kAdd));
    EXPECT_EQ(0x0A000000, FlagsOf(committed.Get(), kPersonal));
    committed.Reset();

    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_TRUE));
    EXPECT_EQ(IdList{}, Host(kAdd));
    EXPECT_EQ(0x08000000, Flags(kCorporate));
    EXPECT_EQ(0x08000000, Flags(kPersonal));
    // The collections stay in use; the object is stored now, so a delete is journalled.
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 10));
    EXPECT_EQ(IdList{10}, Host(kDel));
}

TEST_F(CommitTest, StoredObjectRoundTrip) {
    PutIds(bag.Get(), kCorporate, {10, 11});
    ASSERT_EQ(S_OK, repository->Store(host.Get()));
    long id = 0;
    ASSERT_EQ(S_OK, host->get_ID(&id));
    ASSERT_EQ(S_OK, repository->Load(id, host.ReleaseAndGetAddressOf()));
    bag = BagOf(host.Get());
    ASSERT_EQ(S_OK, Initialize());

    auto corporate = Categories(true);
    EXPECT_FALSE(Host(kAdd));  // nothing journalled at load
    ASSERT_HR(S_OK, DeleteByKey(corporate.Get(), 10));
    ASSERT_HR(S_OK, corporate->Add(12));
    auto plugin = Plugin();
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
    EXPECT_EQ(IdList{}, Host(kAdd));
    EXPECT_EQ(IdList{}, Host(kDel));
    EXPECT_EQ(0x08000000, Flags(kCorporate));
    EXPECT_EQ((IdList{11, 12}), ItemsOf(corporate.Get()));
}

TEST_F(CommitTest, PublicationListsInOrderAfterTheCategories) {
    PutIds(bag.Get(), kScopeBatch, {5}, 0);
    PutIds(bag.Get(), L"SI_ADM_ADD_SI_ARTIFACTS_SCOPEBATCH", {5}, 0x08000000);
    PutIds(bag.Get(), kSourceDoc, {6}, 0);
    PutIds(bag.Get(), kScopeBatchDoc, {7}, 0);
    ASSERT_EQ(S_OK, Initialize());
    auto plugin = Plugin();
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
    EXPECT_EQ(IdList{5}, Host(L"SI_ADM_ADD_SI_ARTIFACTS_SCOPEBATCH"));  // left as it was
    using Publication = IPublicationInfo<ISCryptoGraphicKey, &IID_ISCryptoGraphicKey,
                                         &LIBID_KorvelCryptoGraphicKeyPluginLib>;
    const std::wstring at =
        SdkTrace::PointerText(static_cast<Publication*>(static_cast<CCryptoGraphicKey*>(key.Get())))
            .str();
    std::vector<std::wstring> lines;
    for (const auto& line : capture.lines)
        if (line.text.find(L"[IPublicationInfo::PrepareForCommit]") != std::wstring::npos)
            lines.push_back(line.text);
    EXPECT_EQ((std::vector<std::wstring>{
                  L"IN:\t[IPublicationInfo::PrepareForCommit]\t[" + at + L"]\t[-]\t[false]",
                  L"OUT:\t[IPublicationInfo::PrepareForCommit]\t[" + at + L"]\t[0]\t[false]"}),
              lines);

    // A failed AfterCommit leaves every journal and flag as it was.
    ASSERT_EQ(S_OK, RefHost::InjectFault(sourceDoc.Get(), "ISProperty::get_Flags", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, plugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(IdList{5}, Host(L"SI_ADM_ADD_SI_ARTIFACTS_SCOPEBATCH"));
    EXPECT_EQ(kChanged, Flags(kScopeBatch));
    EXPECT_EQ(kChanged, Flags(kScopeBatchDoc));
    ASSERT_HR(S_OK, plugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(0, Flags(kSourceDoc));
    EXPECT_EQ(0, Flags(kScopeBatchDoc));

    // An object without any of the lists passes both calls and gains no property.
    ComPtr<ISInfoObject> plain;
    ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &plain));
    auto other = NewKeyObject();
    ComPtr<ISDesktopPlugin> otherPlugin;
    ASSERT_EQ(S_OK, other.As(&otherPlugin));
    ASSERT_EQ(S_OK, otherPlugin->Initialize(plain.Get(), VARIANT_FALSE));
    const long properties = PropertyCount(BagOf(plain.Get()).Get());
    EXPECT_HR(S_OK, otherPlugin->PrepareForCommit(VARIANT_FALSE));
    EXPECT_HR(S_OK, otherPlugin->AfterCommit(VARIANT_FALSE));
    EXPECT_EQ(properties, PropertyCount(BagOf(plain.Get()).Get()));
}

}  // namespace
