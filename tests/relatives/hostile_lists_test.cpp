// Lists as a busy, hostile host keeps them: IDs stored twice by other clients, and journals whose
// look-ups fail once and then work.
#include <gtest/gtest.h>

#include <algorithm>

#include "collection_fixture.h"
#include "support/trace_capture.h"

using namespace RelTest;

namespace {

using HostileListTest = CollectionTest;

// Enough deletes of repeated IDs to compact the collection's memory on the way: a key deletes
// the first occurrence and then passes to the next, a position deletes its own element, and each
// ID is journalled once.
TEST_F(HostileListTest, KeysOfRepeatedIdsPassOnThroughManyDeletes) {
    IdList expected;
    for (long i = 0; i < 60; ++i) expected.insert(expected.end(), {5, 7, 5, 100 + i});
    PutStoredIds(bag.Get(), kList, expected);
    auto ids = Create();
    auto lastOf = [&](long id) {
        return static_cast<long>(expected.rend() -
                                 std::find(expected.rbegin(), expected.rend(), id));
    };
    auto firstOf = [&](long id) {
        return static_cast<long>(std::find(expected.begin(), expected.end(), id) -
                                 expected.begin()) +
               1;
    };
    long id = 0;
    for (int i = 0; i < 120; ++i) {
        // Alternately the last occurrence by position and the first by key.
        const long position = i % 2 ? firstOf(5) : lastOf(5);
        ASSERT_HR(S_OK, i % 2 ? DeleteByKey(ids.Get(), 5) : DeleteAt(ids.Get(), position));
        expected.erase(expected.begin() + (position - 1));
        if (i % 17 == 0) {
            ASSERT_EQ(expected, ItemsOf(ids.Get())) << i;
            ASSERT_EQ(expected, Host(kList)) << i;
        }
    }
    EXPECT_HR(kNotFound, ItemByKey(ids.Get(), 5, &id));
    EXPECT_HR(kNotFound, DeleteByKey(ids.Get(), 5));
    for (int i = 0; i < 59; ++i) {
        ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 7));
        expected.erase(expected.begin() + (firstOf(7) - 1));
    }
    EXPECT_EQ(expected, Host(kList));
    EXPECT_EQ(expected, ItemsOf(ids.Get()));
    ExpectKeysFind(ids.Get(), {7});
    ScopedVariant position;
    position.SetI4(firstOf(7));
    ASSERT_HR(S_OK, ids->get_Item(position.Get(), &id));
    EXPECT_EQ(7, id);
    ExpectKeysFind(ids.Get(), {159});
    EXPECT_EQ((IdList{5, 7}), Host(kDel));  // each journalled once
}

TEST_F(HostileListTest, ClearEmptiesAListWithRepeatedIds) {
    PutStoredIds(bag.Get(), kList, {4, 4, 6, 4});
    PutIds(bag.Get(), kAdd, {4}, 0x08000000);  // added once: the clear cancels that once
    auto ids = Create();
    ASSERT_HR(S_OK, ids->Clear());
    EXPECT_EQ(IdList{}, Host(kList));
    EXPECT_EQ(IdList{}, ItemsOf(ids.Get()));
    EXPECT_EQ((IdList{4, 6}), Host(kDel));
    // And again: nothing left to fail on.
    ASSERT_HR(S_OK, ids->Clear());
    ASSERT_HR(S_OK, ids->Add(4));
    EXPECT_EQ(IdList{4}, Host(kList));
}

// A look-up in the other journal that fails for any reason but "absent" is returned, and
// nothing is written: an ID never lands in both journals.
TEST_F(HostileListTest, ATransientJournalFailureNeverPutsAnIdInBothJournals) {
    PutIds(bag.Get(), kList, {3, 5});
    auto ids = Create();
    ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 5));
    EXPECT_EQ(IdList{5}, Host(kDel));
    ComPtr<ISPropertyBagCollection> del = ListOf(bag.Get(), kDel);

    ASSERT_EQ(S_OK,
              RefHost::InjectFault(del.Get(), "ISPropertyBagCollection::Find", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, ids->Add(5));
    EXPECT_EQ(IdList{3}, Host(kList));
    EXPECT_EQ(IdList{3}, ItemsOf(ids.Get()));
    EXPECT_EQ(IdList{5}, Host(kDel));
    EXPECT_FALSE(Host(kAdd).has_value() && !Host(kAdd)->empty());

    // The host works again: the add cancels the delete.
    ASSERT_HR(S_OK, ids->Add(5));
    EXPECT_EQ((IdList{3, 5}), Host(kList));
    EXPECT_EQ(IdList{}, Host(kDel));
    EXPECT_FALSE(Host(kAdd).has_value() && !Host(kAdd)->empty());

    // The same for a delete of a fresh add.
    ASSERT_HR(S_OK, ids->Add(8));
    EXPECT_EQ(IdList{8}, Host(kAdd));
    ComPtr<ISPropertyBagCollection> add = ListOf(bag.Get(), kAdd);
    ASSERT_EQ(S_OK,
              RefHost::InjectFault(add.Get(), "ISPropertyBagCollection::Find", E_ACCESSDENIED));
    EXPECT_HR(E_ACCESSDENIED, DeleteByKey(ids.Get(), 8));
    EXPECT_EQ((IdList{3, 5, 8}), Host(kList));
    EXPECT_EQ((IdList{3, 5, 8}), ItemsOf(ids.Get()));
    EXPECT_EQ(IdList{8}, Host(kAdd));
    EXPECT_EQ(IdList{}, Host(kDel));
    ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 8));
    EXPECT_EQ(IdList{}, Host(kAdd));
    EXPECT_EQ(IdList{}, Host(kDel));
}

TEST_F(HostileListTest, NextWritesZeroFetchedWithoutAFetchedPointer) {
    PutIds(bag.Get(), kList, {11, 12});
    auto ids = Create();
    TraceCapture capture;
    capture.TraceAll();
    LONG buffer[2] = {};
    ASSERT_HR(S_OK, ids->Next(1, buffer, nullptr));
    LONG fetched = 0;
    ASSERT_HR(S_OK, ids->Next(1, buffer, &fetched));
    std::vector<std::wstring> exits;
    for (const auto& line : capture.lines)
        if (line.text.rfind(L"OUT:\t[IEnumTypesImpl::Next]", 0) == 0) exits.push_back(line.text);
    ASSERT_EQ(2u, exits.size());
    EXPECT_NE(std::wstring::npos, exits[0].find(L"[1] [11] [0]")) << exits[0];
    EXPECT_NE(std::wstring::npos, exits[1].find(L"[1] [12] [1]")) << exits[1];
}

}  // namespace
