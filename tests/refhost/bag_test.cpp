// Property bags and their list view: lookups, replacement, positions, duplicates, removal by ID
// text, flags, nested bags, copies, large lists and concurrent use.
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "refhost/refhost_fixture.h"

namespace {

using BagTest = RefHostTest;
using Ids = std::vector<long>;

TEST_F(BagTest, AbsentNamesAndPositionsFailWithNotFoundAndLeaveOutputsAlone) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    ISProperty* const sentinel = reinterpret_cast<ISProperty*>(0xdeadbeef);
    ISProperty* property = sentinel;
    EXPECT_HR(kNotFound, bag->get_Item(Text(L"SI_MISSING"), &property));
    EXPECT_EQ(sentinel, property);
    EXPECT_HR(kNotFound, bag->Remove(Text(L"SI_MISSING")));
    EXPECT_HR(kNotFound, list->SetFlags(Text(L"SI_MISSING"), 1));
    EXPECT_HR(kNotFound, list->ClearFlags(Text(L"SI_MISSING"), 1));
    EXPECT_HR(E_INVALIDARG, bag->get_Item(Text(L""), &property));

    VARIANT value;
    V_VT(&value) = VT_I2;
    V_I2(&value) = 0x5eed;
    EXPECT_HR(kNotFound, list->get_Item(I4(1), &value));
    EXPECT_HR(kNotFound, list->Remove(I4(1)));
    EXPECT_HR(kNotFound, list->Remove(Text(L"17")));
    EXPECT_EQ(VT_I2, V_VT(&value));
    EXPECT_EQ(0, CountOf(list.Get()));
}

TEST_F(BagTest, NamesIgnoreCaseAndAddReplacesValueAndFlagsOfTheSameProperty) {
    auto bag = NewBag();
    ComPtr<ISProperty> added, again, found;
    ASSERT_HR(S_OK, bag->Add(ScopedBstr(L"SI_Scope_ID").Get(), I4(7), 0x08000000, &added));
    ASSERT_HR(S_OK, bag->get_Item(Text(L"si_scope_id"), &found));
    EXPECT_EQ(added.Get(), found.Get());

    ASSERT_HR(S_OK, bag->Add(ScopedBstr(L"SI_SCOPE_ID").Get(), Text(L"x"), 2, &again));
    EXPECT_EQ(added.Get(), again.Get());
    EXPECT_EQ(2, Get(added.Get(), &ISProperty::get_Flags));
    EXPECT_EQ(L"x", ValueText(bag.Get(), L"SI_SCOPE_ID"));
    EXPECT_EQ(1, CountOf(bag.Get()));
    EXPECT_EQ(L"SI_Scope_ID", GetText(added.Get(), &ISProperty::get_Name));  // the first stays
    EXPECT_EQ(VARIANT_TRUE, Exists(bag.Get(), L"si_SCOPE_id"));
    EXPECT_HR(E_INVALIDARG, bag->Add(ScopedBstr(L"").Get(), I4(1), 0, &found));
    EXPECT_HR(E_POINTER, bag->Add(ScopedBstr(L"SI_OTHER").Get(), I4(1), 0, nullptr));

    // A removed property lives on for its holder, without its bag.
    EXPECT_HR(S_OK, bag->Remove(Text(L"SI_SCOPE_ID")));
    EXPECT_HR(S_OK, added->put_Value(I4(9)));
    EXPECT_HR(kNotFound, bag->get_Item(Text(L"SI_SCOPE_ID"), &found));
}

TEST_F(BagTest, ListPositionsStartAtOneAndLaterElementsShiftDown) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    for (long id : {10, 20, 30, 40}) ASSERT_HR(S_OK, list->Append(I4(id)));
    EXPECT_EQ((Ids{10, 20, 30, 40}), ValuesOf(list.Get()));
    EXPECT_EQ(L"4", ValueText(bag.Get(), L"SI_TOTAL"));

    ComPtr<ISProperty> second = Item(bag.Get(), L"2");
    ASSERT_HR(S_OK, list->Remove(I4(2)));
    EXPECT_EQ((Ids{10, 30, 40}), ValuesOf(list.Get()));
    EXPECT_EQ(L"3", ValueText(bag.Get(), L"SI_TOTAL"));
    EXPECT_EQ(L"30", ValueText(bag.Get(), L"2"));  // the element names moved with the positions
    EXPECT_EQ(L"40", ValueText(bag.Get(), L"3"));
    ComPtr<ISProperty> gone;
    EXPECT_HR(kNotFound, bag->get_Item(Text(L"4"), &gone));
    EXPECT_EQ(L"2", GetText(second.Get(), &ISProperty::get_Name));  // the removed keeps its name

    EXPECT_HR(kNotFound, list->Remove(I4(0)));
    EXPECT_HR(kNotFound, list->Remove(I4(4)));
    EXPECT_HR(kNotFound, list->get_Item(I4(4), ScopedVariant().Receive()));

    // Removing from the front renames everything after it.
    ASSERT_HR(S_OK, list->Remove(I4(1)));
    EXPECT_EQ((Ids{30, 40}), ValuesOf(list.Get()));
    ASSERT_HR(S_OK, list->RemoveAll());
    EXPECT_EQ(0, CountOf(list.Get()));
    EXPECT_EQ(L"0", ValueText(bag.Get(), L"SI_TOTAL"));
}

TEST_F(BagTest, DuplicatesAreRefusedAndRemovalByIdTextFindsTheElement) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    ASSERT_HR(S_OK, list->Append(I4(5)));
    ASSERT_HR(S_OK, list->Append(I4(17)));
    EXPECT_HR(kAlreadyInList, list->Append(I4(5)));
    EXPECT_HR(kAlreadyInList, list->Append(Text(L"17")));  // the same ID as text
    EXPECT_EQ((Ids{5, 17}), ValuesOf(list.Get()));

    LONG position = 0;
    EXPECT_HR(S_OK, list->Find(I4(17), &position));
    EXPECT_EQ(2, position);
    EXPECT_HR(kNotFound, list->Remove(Text(L"99")));
    EXPECT_HR(S_OK, list->Remove(Text(L"5")));
    EXPECT_EQ(Ids{17}, ValuesOf(list.Get()));
    EXPECT_HR(kNotFound, list->Find(I4(5), &position));
    // Gone from the list, so welcome again.
    EXPECT_HR(S_OK, list->Append(I4(5)));
    EXPECT_EQ((Ids{17, 5}), ValuesOf(list.Get()));

    // A value changed through its property takes part in later checks.
    ASSERT_HR(S_OK, Item(bag.Get(), L"1")->put_Value(I4(23)));
    EXPECT_HR(S_OK, list->Append(I4(17)));
    EXPECT_HR(kAlreadyInList, list->Append(I4(23)));
    EXPECT_HR(S_OK, list->Remove(Text(L"23")));
    EXPECT_EQ((Ids{5, 17}), ValuesOf(list.Get()));
}

TEST_F(BagTest, SetupNamesTheCountAndPrefixAndOrdinaryPropertiesJoinTheList) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    ASSERT_HR(S_OK, list->Setup(ScopedBstr(L"SI_COUNT").Get(), ScopedBstr(L"ITEM_").Get()));
    ASSERT_HR(S_OK, list->Append(Text(L"a")));
    ASSERT_HR(S_OK, list->Append(Text(L"b")));
    EXPECT_EQ(L"2", ValueText(bag.Get(), L"SI_COUNT"));
    EXPECT_EQ(L"b", ValueText(bag.Get(), L"item_2"));

    // A property already named like the next element becomes that element.
    ComPtr<ISProperty> third, count;
    ASSERT_HR(S_OK, bag->Add(ScopedBstr(L"ITEM_3").Get(), Text(L"c"), 4, &third));
    EXPECT_EQ(2, CountOf(list.Get()));
    ASSERT_TRUE(count = Item(bag.Get(), L"SI_COUNT"));
    ASSERT_HR(S_OK, count->put_Value(I4(3)));
    EXPECT_EQ(3, CountOf(list.Get()));
    ScopedVariant value;
    ASSERT_HR(S_OK, list->get_Item(I4(3), value.Receive()));
    EXPECT_EQ(std::wstring(L"c"), V_BSTR(&value.Get()));

    // Under the default setup the list is empty: there is no SI_TOTAL.
    ASSERT_HR(S_OK, list->Setup(ScopedBstr(L"SI_TOTAL").Get(), nullptr));
    EXPECT_EQ(0, CountOf(list.Get()));
    EXPECT_EQ(L"c", ValueText(bag.Get(), L"ITEM_3"));
    ASSERT_HR(S_OK, list->Setup(ScopedBstr(L"si_count").Get(), ScopedBstr(L"item_").Get()));
    EXPECT_EQ(3, CountOf(list.Get()));

    EXPECT_HR(E_INVALIDARG, list->Setup(nullptr, nullptr));
    EXPECT_HR(E_INVALIDARG, list->Setup(ScopedBstr(L"ITEM_9").Get(), ScopedBstr(L"ITEM_").Get()));
    EXPECT_HR(DISP_E_TYPEMISMATCH, count->put_Value(Text(L"many")));
    EXPECT_HR(E_INVALIDARG, count->put_Value(I4(-1)));
    EXPECT_EQ(3, CountOf(list.Get()));
}

TEST_F(BagTest, CountWritesResizeTheListAndEmptyPositionsAreAbsent) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    for (long id : {1, 2, 3}) ASSERT_HR(S_OK, list->Append(I4(id)));
    ComPtr<ISProperty> dropped = Item(bag.Get(), L"3"), count = Item(bag.Get(), L"SI_TOTAL");
    ComPtr<ISProperty> property;
    ASSERT_HR(S_OK, count->put_Value(I4(2)));
    EXPECT_HR(kNotFound, bag->get_Item(Text(L"3"), &property));
    ASSERT_HR(S_OK, count->put_Value(I4(4)));
    EXPECT_EQ(4, CountOf(list.Get()));
    EXPECT_HR(kNotFound, list->get_Item(I4(3), ScopedVariant().Receive()));
    EXPECT_EQ(3, CountOf(bag.Get()));  // SI_TOTAL and two elements

    // Filling an empty position by name; removing an element by name empties its position.
    ASSERT_HR(S_OK, bag->Add(ScopedBstr(L"3").Get(), I4(33), 0, &property));
    EXPECT_EQ(33, ItemI4(list.Get(), 3));
    ASSERT_HR(S_OK, bag->Remove(Text(L"1")));
    EXPECT_EQ(4, CountOf(list.Get()));
    EXPECT_HR(kNotFound, list->get_Item(I4(1), ScopedVariant().Receive()));

    // Without its count the list's elements are ordinary properties.
    ASSERT_HR(S_OK, bag->Remove(Text(L"SI_TOTAL")));
    EXPECT_EQ(0, CountOf(list.Get()));
    EXPECT_EQ(L"33", ValueText(bag.Get(), L"3"));
}

TEST_F(BagTest, FlagsAreSetAndClearedOnNamedProperties) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    ASSERT_HR(S_OK, list->Append(I4(8)));
    ComPtr<ISProperty> element = Item(bag.Get(), L"1"), count = Item(bag.Get(), L"SI_TOTAL");
    ASSERT_HR(S_OK, list->SetFlags(Text(L"SI_TOTAL"), 0x02000000));
    ASSERT_HR(S_OK, list->SetFlags(Text(L"1"), 0x0A000000));
    ASSERT_HR(S_OK, list->ClearFlags(Text(L"1"), 0x02000000));
    EXPECT_EQ(0x02000000, Get(count.Get(), &ISProperty::get_Flags));
    EXPECT_EQ(0x08000000, Get(element.Get(), &ISProperty::get_Flags));
    // Appending keeps the count's flags.
    ASSERT_HR(S_OK, list->Append(I4(9)));
    EXPECT_EQ(0x02000000, Get(count.Get(), &ISProperty::get_Flags));
}

TEST_F(BagTest, NestedBagsAreMadeOnFirstRequestAndAppendBagElementsHoldTheirBag) {
    auto bag = NewBag();
    ComPtr<ISProperty> holder;
    ASSERT_HR(S_OK,
              bag->Add(ScopedBstr(L"SI_SUBST_STRINGS").Get(), Text(L""), 0x08000000, &holder));
    ComPtr<ISProperties> nested, again;
    ASSERT_HR(S_OK, holder->get_Properties(&nested));
    ASSERT_HR(S_OK, holder->get_Properties(&again));
    EXPECT_EQ(nested.Get(), again.Get());
    auto strings = ListOf(nested);
    ASSERT_HR(S_OK, strings->Append(Text(L"first")));
    EXPECT_EQ(L"first", ValueText(nested.Get(), L"1"));

    auto list = ListOf(bag);
    auto elementBag = Fetch(list.Get(), &ISPropertyBagCollection::AppendBag);
    ComPtr<ISProperty> id;
    ASSERT_HR(S_OK, elementBag->Add(ScopedBstr(L"SI_ID").Get(), I4(4711), 0, &id));
    EXPECT_EQ(elementBag.Get(), BagAt(list.Get(), 1).Get());
    EXPECT_EQ(elementBag.Get(),
              Fetch(Item(bag.Get(), L"1").Get(), &ISProperty::get_Properties).Get());
}

TEST_F(BagTest, CopiesAreDeep) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    ASSERT_HR(S_OK, list->Append(I4(1)));
    ComPtr<ISProperties> element, copy;
    ASSERT_HR(S_OK, list->AppendBag(&element));
    ComPtr<ISProperty> id;
    ASSERT_HR(S_OK, element->Add(ScopedBstr(L"SI_ID").Get(), I4(5), 0x10, &id));
    ASSERT_HR(S_OK, bag->Copy(&copy));

    ASSERT_HR(S_OK, list->Append(I4(3)));
    ASSERT_HR(S_OK, id->put_Value(I4(6)));
    auto copiedList = ListOf(copy);
    EXPECT_EQ(2, CountOf(copiedList.Get()));
    ComPtr<ISProperties> copiedElement = BagAt(copiedList.Get(), 2);
    ASSERT_TRUE(copiedElement);
    EXPECT_NE(element.Get(), copiedElement.Get());
    EXPECT_EQ(L"5", ValueText(copiedElement.Get(), L"SI_ID"));
    // The copy keeps its own list: appending to it does not see the original's 3.
    EXPECT_HR(S_OK, copiedList->Append(I4(3)));
}

TEST_F(BagTest, EnumeratorsWalkSnapshots) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    for (long id : {4, 5, 6}) ASSERT_HR(S_OK, list->Append(I4(id)));
    auto unknown = Fetch(list.Get(), &ISPropertyBagCollection::get__NewEnum);
    auto values = Face<IEnumVARIANT>(unknown.Get());
    ASSERT_HR(S_OK, list->Append(I4(7)));  // not in the snapshot
    VARIANT got[4];
    ULONG fetched = 0;
    EXPECT_HR(S_FALSE, values->Next(4, got, &fetched));
    ASSERT_EQ(3u, fetched);
    for (ULONG i = 0; i < fetched; ++i) {
        EXPECT_EQ(static_cast<LONG>(4 + i), V_I4(&got[i]));
        VariantClear(&got[i]);
    }
    EXPECT_HR(E_POINTER, values->Next(2, got, nullptr));

    auto propertiesUnknown = Fetch(bag.Get(), &ISProperties::get__NewEnum);
    auto properties = Face<IEnumVARIANT>(propertiesUnknown.Get());
    ScopedVariant first;
    ASSERT_HR(S_OK, properties->Next(1, first.Receive(), nullptr));
    ASSERT_EQ(VT_DISPATCH, first.Type());
    ComPtr<ISProperty> property = Face<ISProperty>(V_DISPATCH(&first.Get()));
    EXPECT_EQ(L"SI_TOTAL", GetText(property.Get(), &ISProperty::get_Name));
}

TEST_F(BagTest, ListsOfAHundredThousandIdsStayFast) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    constexpr long kIds = 100000;
    const auto start = std::chrono::steady_clock::now();
    for (long id = 1; id <= kIds; ++id) ASSERT_HR(S_OK, list->Append(I4(id * 3)));
    EXPECT_EQ(kIds, CountOf(list.Get()));
    EXPECT_EQ(150000, ItemI4(list.Get(), 50000));
    EXPECT_HR(kAlreadyInList, list->Append(I4(3)));
    LONG position = 0;
    EXPECT_HR(S_OK, list->Find(I4(299997), &position));
    EXPECT_EQ(99999, position);
    EXPECT_HR(S_OK, list->Remove(Text(L"150000")));
    EXPECT_EQ(150003, ItemI4(list.Get(), 50000));
    // Emptying from the front, one position at a time, as a list owner clearing it does.
    for (long left = kIds - 1; left > 0; --left) ASSERT_HR(S_OK, list->Remove(I4(1)));
    EXPECT_EQ(0, CountOf(list.Get()));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(20)) << "quadratic work on a large list";
}

TEST_F(BagTest, ConcurrentAppendRemoveAndReadKeepTheListConsistent) {
    auto bag = NewBag();
    auto list = ListOf(bag);
    constexpr int kThreads = 4;
    constexpr long kPerThread = 2000;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
                ++failures;
                return;
            }
            for (long i = 0; i < kPerThread; ++i) {
                const long id = t * 1000000 + i;
                if (list->Append(I4(id)) != S_OK) ++failures;
                // Every third ID of this thread goes again, by its text.
                if (i % 3 == 0 && list->Remove(Text(std::to_wstring(id).c_str())) != S_OK)
                    ++failures;
                LONG count = 0;
                if (list->get_Count(&count) != S_OK || count < 0) ++failures;
                ScopedVariant value;
                const HRESULT hr = list->get_Item(I4(count), value.Receive());
                if (hr != S_OK && hr != kNotFound) ++failures;  // another thread may remove it
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());

    const long expected = kThreads * (kPerThread - (kPerThread + 2) / 3);
    ASSERT_EQ(expected, CountOf(list.Get()));
    EXPECT_EQ(std::to_wstring(expected), ValueText(bag.Get(), L"SI_TOTAL"));
    std::set<long> seen;
    for (long position = 1; position <= expected; ++position) {
        const long id = ItemI4(list.Get(), position);
        EXPECT_NE(0, id % 1000000 % 3) << "a removed ID is still listed: " << id;
        EXPECT_TRUE(seen.insert(id).second) << "duplicate " << id;
    }
}

}  // namespace
