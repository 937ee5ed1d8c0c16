// The three publication ID lists: cached collections, the single-ID members over them, the
// journals their changes leave in the host object's bag, and racing first fills (also of the
// category collections).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "publication_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;
using RelTest::BagOf;
using RelTest::IdList;

namespace {

class ListsTest : public PublicationTest {
  protected:
    // The IDs of list property name of the host object (none when it is absent).
    IdList List(const std::wstring& name) { return Ids(name.c_str()).value_or(IdList{}); }
    static std::wstring Add(const wchar_t* list) { return std::wstring(L"SI_ADM_ADD_") + list; }
    static std::wstring Del(const wchar_t* list) { return std::wstring(L"SI_ADM_DEL_") + list; }
};

TEST_F(ListsTest, EachListIsOneCachedCollection) {
    ComPtr<ISObjectRelativeIDs> a, b, doc, source;
    ASSERT_HR(S_OK, pub->get_ScopeBatchObjects(&a));
    ASSERT_HR(S_OK, pub->get_ScopeBatchObjects(&b));
    ASSERT_HR(S_OK, pub->get_ScopeBatchDocObjects(&doc));
    ASSERT_HR(S_OK, pub->get_SourceDocObjects(&source));
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_NE(a.Get(), doc.Get());
    EXPECT_NE(doc.Get(), source.Get());
    EXPECT_NE(nullptr, dynamic_cast<CComCategoryRelativeIDs*>(a.Get()));

    // Changes through a handed-out collection reach the host object's bag and its journal.
    ASSERT_HR(S_OK, source->Add(31));
    EXPECT_EQ(IdList{31}, List(WP_SI_ARTIFACTS_SOURCEDOC_W));
    EXPECT_EQ(IdList{31}, List(Add(WP_SI_ARTIFACTS_SOURCEDOC_W)));
    EXPECT_EQ(31, Get(pub.Get(), &ISPublicationInfo::get_SourceDocumentID));
}

TEST_F(ListsTest, SingleIDSettersReplaceTheListAndJournalTheChange) {
    long id = 0x5EED;
    EXPECT_HR(kAbsent, pub->get_ScopeBatchObjectID(&id));  // empty list: the item's failure
    EXPECT_EQ(0x5EED, id);

    ASSERT_HR(S_OK, pub->put_ScopeBatchObjectID(5));
    EXPECT_EQ(IdList{5}, List(WP_SI_ARTIFACTS_SCOPEBATCH_W));
    EXPECT_EQ(5, Get(pub.Get(), &ISPublicationInfo::get_ScopeBatchObjectID));

    ASSERT_HR(S_OK, pub->put_ScopeBatchObjectID(6));
    EXPECT_EQ(IdList{6}, List(WP_SI_ARTIFACTS_SCOPEBATCH_W));
    // 5 was added and removed since the last commit: in neither journal.
    EXPECT_EQ(IdList{6}, List(Add(WP_SI_ARTIFACTS_SCOPEBATCH_W)));
    EXPECT_EQ(IdList{}, List(Del(WP_SI_ARTIFACTS_SCOPEBATCH_W)));

    // The scope-batch document list is replaced too, not left as it was.
    ASSERT_HR(S_OK, pub->put_ScopeBatchDocumentID(9));
    ASSERT_HR(S_OK, pub->put_ScopeBatchDocumentID(10));
    EXPECT_EQ(IdList{10}, List(WP_SI_ARTIFACTS_SCOPEBATCHDOC_W));
    EXPECT_EQ(10, Get(pub.Get(), &ISPublicationInfo::get_ScopeBatchDocumentID));

    ASSERT_HR(S_OK, pub->put_SourceDocumentID(3));
    EXPECT_EQ(3, Get(pub.Get(), &ISPublicationInfo::get_SourceDocumentID));
    // Each list kept to its own property.
    EXPECT_EQ(IdList{6}, List(WP_SI_ARTIFACTS_SCOPEBATCH_W));
    EXPECT_EQ(IdList{3}, List(WP_SI_ARTIFACTS_SOURCEDOC_W));
}

TEST_F(ListsTest, AStoredListIsReadAndItsReplacementJournalled) {
    RelTest::PutIds(BagOf(host.Get()).Get(), WP_SI_ARTIFACTS_SCOPEBATCH_W, {11, 12}, 0);
    EXPECT_EQ(11, Get(pub.Get(), &ISPublicationInfo::get_ScopeBatchObjectID));
    ASSERT_HR(S_OK, pub->put_ScopeBatchObjectID(12));
    EXPECT_EQ(IdList{12}, List(WP_SI_ARTIFACTS_SCOPEBATCH_W));
    // 11 is deleted; 12 deleted and added again cancels out.
    EXPECT_EQ(IdList{11}, List(Del(WP_SI_ARTIFACTS_SCOPEBATCH_W)));
    EXPECT_EQ(IdList{}, List(Add(WP_SI_ARTIFACTS_SCOPEBATCH_W)));
}

TEST_F(ListsTest, AFailedFirstFillLeavesTheCacheEmpty) {
    ASSERT_HR(S_OK, RefHost::InjectFault(host.Get(), "ISInfoObject::get_Properties", kInjected));
    ComPtr<ISObjectRelativeIDs> ids;
    EXPECT_HR(kInjected, pub->get_ScopeBatchObjects(&ids));
    EXPECT_EQ(nullptr, ids.Get());
    long id = 0x5EED;
    ASSERT_HR(S_OK, pub->get_ScopeBatchObjects(&ids));
    EXPECT_NE(nullptr, ids.Get());
    EXPECT_HR(kAbsent, pub->get_ScopeBatchObjectID(&id));
    EXPECT_EQ(0x5EED, id);
}

// Racing first calls share one collection: of a publication list, and of the corporate
// categories over a long stored list that keeps the first load busy while the others arrive.
TEST_F(ListsTest, RacingFirstCallsShareOneCollection) {
    IdList stored;
    for (long id = 1; id <= 5000; ++id) stored.push_back(id);
    RelTest::PutIds(BagOf(host.Get()).Get(), WP_SI_CORPORATE_CATEGORIES_W, stored);
    const std::function<HRESULT(ISObjectRelativeIDs**)> getters[] = {
        [&](ISObjectRelativeIDs** ids) { return pub->get_SourceDocObjects(ids); },
        [&](ISObjectRelativeIDs** ids) { return key->get_CorporateCategories(ids); }};
    for (const auto& getter : getters) {
        constexpr int kThreads = 8;
        std::vector<IUnknown*> seen(kThreads, nullptr);
        std::vector<HRESULT> results(kThreads, E_UNEXPECTED);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                ComPtr<ISObjectRelativeIDs> ids;
                results[t] = getter(&ids);
                seen[t] = ids.Get();  // compared only; the cache keeps the object alive
                ids.Reset();
                CoUninitialize();
            });
        }
        for (auto& thread : threads) thread.join();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_HR(S_OK, results[t]);
            EXPECT_EQ(seen[0], seen[t]);
        }
        ComPtr<ISObjectRelativeIDs> ids;
        ASSERT_HR(S_OK, getter(&ids));
        EXPECT_EQ(seen[0], static_cast<IUnknown*>(ids.Get()));
    }
}

TEST_F(ListsTest, TraceLinesOfTheListMembers) {
    TraceCapture capture;
    capture.TraceAll();
    ComPtr<ISObjectRelativeIDs> ids = Fetch(pub.Get(), &ISPublicationInfo::get_ScopeBatchObjects);
    ASSERT_HR(S_OK, pub->put_ScopeBatchObjectID(5));
    long id = 0;
    ASSERT_HR(S_OK, pub->get_ScopeBatchObjectID(&id));
    std::vector<std::wstring> ours;
    for (const auto& line : capture.lines)
        if (line.file == "export/iface/sdk/common/PublicationInfo") ours.push_back(line.text);

    const std::wstring collection =
        SdkTrace::PointerText(dynamic_cast<CComCategoryRelativeIDs*>(ids.Get())).str();
    const std::wstring idAddress = SdkTrace::PointerText(&id).str();
    const std::vector<std::wstring> expected = {
        In(L"IPublicationInfo::get_ScopeBatchObjects", L"[-]\t"),
        Out(L"IPublicationInfo::get_ScopeBatchObjects", L"[0]\t[" + collection + L"]"),
        In(L"IPublicationInfo::put_ScopeBatchObjectID", L"[-]\t[5]"),
        In(L"IPublicationInfo::get_ScopeBatchObjects", L"[-]\t"),
        Out(L"IPublicationInfo::get_ScopeBatchObjects", L"[0]\t[" + collection + L"]"),
        Out(L"IPublicationInfo::put_ScopeBatchObjectID", L"[0]\t[5]"),
        In(L"IPublicationInfo::get_ScopeBatchObjectID", L"[-]\t[" + idAddress + L"]"),
        In(L"IPublicationInfo::get_ScopeBatchObjects", L"[-]\t"),
        Out(L"IPublicationInfo::get_ScopeBatchObjects", L"[0]\t[" + collection + L"]"),
        Out(L"IPublicationInfo::get_ScopeBatchObjectID", L"[0]\t[5]"),
    };
    ASSERT_EQ(expected.size(), ours.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], ours[i]) << i;
}

// Eight threads set IDs through the three single-ID setters while others read the lists: every
// call succeeds, no reader ever sees a count other than 1, and each list ends with one ID.
TEST_F(ListsTest, SingleIDSettersAreAtomic) {
    ASSERT_HR(S_OK, pub->put_ScopeBatchObjectID(1));
    ASSERT_HR(S_OK, pub->put_ScopeBatchDocumentID(1));
    ASSERT_HR(S_OK, pub->put_SourceDocumentID(1));
    std::atomic<bool> stop{false};
    std::atomic<long> failures{0}, badCounts{0}, reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (long i = 0; i < 150; ++i) {
                const long id = 1000 * (t + 1) + i;
                HRESULT hr = t % 3 == 0   ? pub->put_ScopeBatchObjectID(id)
                             : t % 3 == 1 ? pub->put_ScopeBatchDocumentID(id)
                                          : pub->put_SourceDocumentID(id);
                if (FAILED(hr)) ++failures;
            }
        });
    }
    std::thread reader([&] {
        while (!stop.load()) {
            ComPtr<ISObjectRelativeIDs> lists[3];
            pub->get_ScopeBatchObjects(&lists[0]);
            pub->get_ScopeBatchDocObjects(&lists[1]);
            pub->get_SourceDocObjects(&lists[2]);
            for (auto& list : lists) {
                long count = -1;
                if (FAILED(list->get_Count(&count)) || count != 1) ++badCounts;
                ++reads;
            }
        }
    });
    for (auto& thread : threads) thread.join();
    stop.store(true);
    reader.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, badCounts.load()) << "of " << reads.load() << " reads";
    EXPECT_EQ(1u, List(WP_SI_ARTIFACTS_SCOPEBATCH_W).size());
    EXPECT_EQ(1u, List(WP_SI_ARTIFACTS_SCOPEBATCHDOC_W).size());
    EXPECT_EQ(1u, List(WP_SI_ARTIFACTS_SOURCEDOC_W).size());
}

}  // namespace
