// The relative-ID collection over a host object of the reference host: editing with its journals
// (the host bag read back after each step), load, index resolution, enumeration, clones, failure
// paths, interfaces and tracing.
#include <gtest/gtest.h>

#include <functional>

#include <atomic>

#include "collection_fixture.h"
#include "support/trace_capture.h"

using namespace RelTest;

namespace {

GUID ErrorGuid() {
    ComPtr<IErrorInfo> info;
    GUID guid = GUID_NULL;
    if (GetErrorInfo(0, &info) == S_OK && info) info->GetGUID(&guid);
    return guid;
}

TEST_F(CollectionTest, EditsReachTheHostListAndCancelInTheJournals) {
    auto ids = Create();
    EXPECT_EQ(IdList{}, ItemsOf(ids.Get()));
    EXPECT_FALSE(Host(kList));  // loading a missing list creates nothing

    ASSERT_HR(S_OK, ids->Add(7));
    EXPECT_EQ(IdList{7}, Host(kList));
    EXPECT_EQ(0x0A000000, FlagsOf(bag.Get(), kList));
    EXPECT_EQ(IdList{7}, Host(kAdd));
    EXPECT_EQ(0x08000000, FlagsOf(bag.Get(), kAdd));
    EXPECT_FALSE(Host(kDel));
    // Add then delete: both journals without it.
    ASSERT_HR(S_OK, ids->Add(5));
    ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 5));
    EXPECT_EQ(IdList{7}, Host(kAdd));
    EXPECT_FALSE(Host(kDel));
    // A duplicate is the host list's decision; nothing else changes.
    EXPECT_HR(static_cast<HRESULT>(0x80042A5A), ids->Add(7));
    EXPECT_EQ(IdList{7}, Host(kAdd));
    EXPECT_EQ(IdList{7}, ItemsOf(ids.Get()));
}

TEST_F(CollectionTest, DeleteOfAStoredIdThenAddCancelsAndMovesItToTheEnd) {
    PutIds(bag.Get(), kList, {3, 4, 5});
    auto ids = Create();
    ASSERT_HR(S_OK, DeleteAt(ids.Get(), 1));
    EXPECT_EQ((IdList{4, 5}), Host(kList));
    EXPECT_EQ(IdList{3}, Host(kDel));
    EXPECT_EQ(0x08000000, FlagsOf(bag.Get(), kDel));
    ASSERT_HR(S_OK, ids->Add(3));
    EXPECT_EQ((IdList{4, 5, 3}), Host(kList));
    EXPECT_EQ(IdList{}, Host(kDel));
    EXPECT_FALSE(Host(kAdd));
    // Keys follow the shifted positions.
    ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 5));
    EXPECT_EQ((IdList{4, 3}), Host(kList));
    EXPECT_EQ((IdList{4, 3}), ItemsOf(ids.Get()));
}

TEST_F(CollectionTest, IndexResolution) {
    PutIds(bag.Get(), kList, {17, 23, 42});
    auto ids = Create();
    long id = 0;
    ScopedVariant omitted, small, text;
    V_VT(omitted.Ptr()) = VT_ERROR;
    V_ERROR(omitted.Ptr()) = DISP_E_PARAMNOTFOUND;
    ASSERT_HR(S_OK, ids->get_Item(omitted.Get(), &id));
    EXPECT_EQ(17, id);
    small.SetI2(3);
    ASSERT_HR(S_OK, ids->get_Item(small.Get(), &id));
    EXPECT_EQ(42, id);
    ExpectKeysFind(ids.Get(), {23});

    // Out of range, unknown key, or a text that only looks like a position: 0x80042A37, the
    // result untouched, message 42208 with the index.
    for (long position : {0L, 4L}) {
        ScopedVariant index;
        index.SetI4(position);
        id = 0xbeef;
        EXPECT_HR(kNotFound, ids->get_Item(index.Get(), &id));
        EXPECT_EQ(0xbeef, id);
        ComPtr<IErrorInfo> info;
        ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
        ScopedBstr description;
        info->GetDescription(description.Receive());
        EXPECT_EQ(L"The index " + std::to_wstring(position) +
                      L" does not designate an element of the collection.",
                  std::wstring(description.Get()));
    }
    EXPECT_HR(kNotFound, ItemByKey(ids.Get(), 99, &id));
    text.SetBstr(L"2");
    EXPECT_HR(kNotFound, ids->get_Item(text.Get(), &id));
    EXPECT_HR(E_POINTER, ids->get_Item(small.Get(), nullptr));
}

TEST_F(CollectionTest, LoadOfEveryElementKindOnANewObject) {
    ComPtr<ISInfoObject> other;
    ASSERT_EQ(S_OK, repository->NewObject(L"Folder", &other));
    const long otherId = Get(other.Get(), &ISInfoObject::get_ID);
    ComPtr<ISProperties> otherBag = BagOf(other.Get());
    std::vector<VARIANT> values(4);
    V_VT(&values[0]) = VT_I4;
    V_I4(&values[0]) = 17;
    V_VT(&values[1]) = VT_BSTR;
    V_BSTR(&values[1]) = SysAllocString(L"Alpha");
    V_VT(&values[2]) = VT_DISPATCH;
    V_DISPATCH(&values[2]) = otherBag.Get();  // not owned here
    V_VT(&values[3]) = VT_R8;
    V_R8(&values[3]) = 2.5;
    PutValues(bag.Get(), kList, values);
    SysFreeString(V_BSTR(&values[1]));
    PutIds(bag.Get(), kAdd, {17}, 0x08000000);  // a journalled ID is tolerated
    MarkNew(bag.Get());

    auto ids = Create();
    long id = 0;
    ExpectKeysFind(ids.Get(), {otherId});  // an object is keyed by its SI_ID
    ScopedVariant text;
    text.SetBstr(L"ALPHA");  // a text is its own key, case ignored; it has no integer value
    EXPECT_HR(DISP_E_TYPEMISMATCH, ids->get_Item(text.Get(), &id));
    EXPECT_EQ(4, Get(ids.Get(), &ISObjectRelativeIDs::get_Count));

    // Every loaded position was journalled: the value, a new element for the object, and an
    // empty value for the element the collection does not understand.
    ComPtr<ISPropertyBagCollection> journal = ListOf(bag.Get(), kAdd);
    VARTYPE expected[] = {VT_I4, VT_BSTR, VT_DISPATCH, VT_EMPTY};
    ASSERT_EQ(4, Get(journal.Get(), &ISPropertyBagCollection::get_Count));
    for (long p = 1; p <= 4; ++p) {
        ScopedVariant position, value;
        position.SetI4(p);
        ASSERT_EQ(S_OK, journal->get_Item(position.Get(), value.Receive()));
        EXPECT_EQ(expected[p - 1], value.Type()) << p;
    }

    // A journal failure other than a duplicate ends the load: nothing is handed out.
    ASSERT_EQ(S_OK, journal->RemoveAll());
    Fail(journal.Get(), "ISPropertyBagCollection::Append", 2);
    ComPtr<ISObjectRelativeIDs> failed;
    EXPECT_HR(E_ACCESSDENIED, CreateRelativeIDs(kList, host.Get(), 1033, L"", L"", &failed));
    EXPECT_FALSE(failed);
}

TEST_F(CollectionTest, CursorAndEnumeration) {
    PutIds(bag.Get(), kList, {1, 2, 3});
    auto ids = Create();
    long buffer[4] = {};
    long fetched = -1;
    ASSERT_HR(S_OK, ids->Next(1, buffer, nullptr));  // one element needs no fetched count
    ASSERT_HR(S_FALSE, ids->Next(3, buffer, &fetched));
    EXPECT_EQ(2, fetched);
    EXPECT_EQ(2, buffer[0]);
    EXPECT_EQ(3, buffer[1]);
    EXPECT_HR(S_OK, ids->Next(0, buffer, &fetched));
    EXPECT_HR(E_POINTER, ids->Next(2, buffer, nullptr));
    ASSERT_HR(S_OK, ids->Reset());
    EXPECT_HR(S_OK, ids->Skip(0));
    EXPECT_HR(S_FALSE, ids->Skip(5));
    ASSERT_HR(S_FALSE, ids->Next(2, buffer, &fetched));  // the cursor stands at the count
    EXPECT_EQ(0, fetched);

    // _NewEnum: a snapshot, with clones that go on from where it was.
    ComPtr<IUnknown> unknown = Fetch(ids.Get(), &ISObjectRelativeIDs::get__NewEnum);
    ComPtr<IEnumVARIANT> enumerator, copy;
    ASSERT_EQ(S_OK, unknown.As(&enumerator));
    ASSERT_HR(S_OK, ids->Add(4));
    VARIANT values[5];
    ULONG got = 0;
    ASSERT_HR(S_OK, enumerator->Next(1, values, nullptr));
    EXPECT_EQ(1, V_I4(&values[0]));
    ASSERT_EQ(S_OK, enumerator->Clone(&copy));
    ASSERT_HR(S_FALSE, enumerator->Next(5, values, &got));
    ASSERT_EQ(2u, got);
    EXPECT_EQ(VT_I4, V_VT(&values[1]));
    EXPECT_EQ(3, V_I4(&values[1]));
    ASSERT_HR(S_OK, copy->Next(1, values, &got));
    EXPECT_EQ(2, V_I4(&values[0]));
    EXPECT_HR(S_FALSE, copy->Skip(2));
    // Back to the start of the snapshot (which does not hold the 4 added after it), then past
    // the first two.
    ASSERT_HR(S_OK, copy->Reset());
    ASSERT_HR(S_OK, copy->Skip(2));
    ASSERT_HR(S_FALSE, copy->Next(5, values, &got));
    ASSERT_EQ(1u, got);
    EXPECT_EQ(3, V_I4(&values[0]));
}

TEST_F(CollectionTest, CloneEnumeratesButCannotEdit) {
    PutIds(bag.Get(), kList, {10, 20, 30});
    auto ids = Create();
    long buffer[2] = {};
    long fetched = 0;
    ASSERT_HR(S_OK, ids->Next(1, buffer, nullptr));
    ComPtr<ISObjectRelativeIDs> copy = Fetch(ids.Get(), &ISObjectRelativeIDs::Clone);
    ASSERT_HR(S_OK, copy->Next(2, buffer, &fetched));  // the same cursor
    EXPECT_EQ(20, buffer[0]);

    EXPECT_HR(E_NOINTERFACE, copy->Add(40));
    EXPECT_HR(kNotInCollection, DeleteByKey(copy.Get(), 20));
    EXPECT_EQ(IID_ISObjectRelativeIDs, ErrorGuid());
    EXPECT_HR(S_OK, copy->Clear());
    // The refused delete kept the copy's keys; the copy is independent of the original.
    ExpectKeysFind(copy.Get(), {30});
    ASSERT_HR(S_OK, ids->Add(50));
    EXPECT_EQ((IdList{10, 20, 30}), ItemsOf(copy.Get()));
}

// Every failing step of an edit leaves the host list, both journals, memory and the keys as they
// were: the writes before it are taken back, a journal entry to its old place. When taking back
// fails too, a warning names what is left, and memory follows the host list.
TEST_F(CollectionTest, FailedEditsAreTakenBack) {
    PutIds(bag.Get(), kList, {1, 2, 3, 4});
    PutIds(bag.Get(), kAdd, {1, 2, 3}, 0x08000000);
    PutIds(bag.Get(), kDel, {7}, 0x08000000);
    auto ids = Create();
    ComPtr<ISPropertyBagCollection> list = ListOf(bag.Get(), kList);
    ComPtr<ISPropertyBagCollection> add = ListOf(bag.Get(), kAdd);
    ComPtr<ISPropertyBagCollection> del = ListOf(bag.Get(), kDel);
    auto* collection = static_cast<CComCategoryRelativeIDs*>(ids.Get());
    const struct {
        const char* what;
        ISPropertyBagCollection* failing;
        const char* method;
        std::function<HRESULT()> edit;
    } cases[] = {
        {"delete cancelling an add", list.Get(), "ISPropertyBagCollection::Remove",
         [&] { return DeleteByKey(ids.Get(), 2); }},
        {"delete journalled", list.Get(), "ISPropertyBagCollection::Remove",
         [&] { return DeleteByKey(ids.Get(), 4); }},
        {"add cancelling a delete", del.Get(), "ISPropertyBagCollection::Remove",
         [&] { return ids->Add(7); }},
        {"add journalled", add.Get(), "ISPropertyBagCollection::Append",
         [&] { return ids->Add(9); }},
        {"clear, ADD journal", add.Get(), "ISPropertyBagCollection::RemoveAll",
         [&] { return ids->Clear(); }},
        {"clear, list", list.Get(), "ISPropertyBagCollection::RemoveAll",
         [&] { return ids->Clear(); }},
        {"replace, add step", add.Get(), "ISPropertyBagCollection::Append",
         [&] { return collection->ReplaceAll(9); }},
        {"replace by an element, add step", add.Get(), "ISPropertyBagCollection::Append",
         [&] { return collection->ReplaceAll(1); }},  // taken back newest first
        {"replace, clear step", list.Get(), "ISPropertyBagCollection::RemoveAll",
         [&] { return collection->ReplaceAll(9); }},
    };
    for (const auto& c : cases) {
        Fail(c.failing, c.method);
        EXPECT_HR(E_ACCESSDENIED, c.edit()) << c.what;
        EXPECT_EQ((IdList{1, 2, 3, 4}), Host(kList)) << c.what;
        EXPECT_EQ((IdList{1, 2, 3, 4}), ItemsOf(ids.Get())) << c.what;
        EXPECT_EQ((IdList{1, 2, 3}), Host(kAdd)) << c.what;
        EXPECT_EQ(IdList{7}, Host(kDel)) << c.what;
        ExpectKeysFind(ids.Get(), {1, 2, 3, 4});
        RefHost::ClearFaults();
    }

    Fail(add.Get(), "ISPropertyBagCollection::Append");
    Fail(list.Get(), "ISPropertyBagCollection::Find");
    TraceCapture capture;
    capture.TraceLevels({0});
    EXPECT_HR(E_ACCESSDENIED, ids->Add(9));
    ASSERT_EQ(1u, capture.lines.size());
    EXPECT_EQ(L"IObjectRelatives::Add: a write before the failure could not be taken back: the "
              L"list keeps an entry added (0x80070005)",
              capture.lines[0].text);
    EXPECT_EQ((IdList{1, 2, 3, 4, 9}), Host(kList));
    EXPECT_EQ((IdList{1, 2, 3, 4, 9}), ItemsOf(ids.Get()));
    ASSERT_HR(S_OK, DeleteByKey(ids.Get(), 9));
    EXPECT_EQ((IdList{1, 2, 3, 4}), Host(kList));
}

TEST_F(CollectionTest, ClearJournalsEveryElementAndEmptiesTheAddJournal) {
    auto unloaded = Create();
    EXPECT_HR(S_OK, unloaded->Clear());
    EXPECT_FALSE(Host(kDel));
    PutIds(bag.Get(), kList, {1, 2, 3});
    auto ids = Create();
    ASSERT_HR(S_OK, ids->Add(4));
    ASSERT_HR(S_OK, ids->Clear());
    EXPECT_EQ(IdList{}, Host(kList));
    EXPECT_EQ((IdList{1, 2, 3}), Host(kDel));  // the add of 4 was cancelled
    EXPECT_EQ(IdList{}, Host(kAdd));
    EXPECT_EQ(IdList{}, ItemsOf(ids.Get()));
    ASSERT_HR(S_OK, ids->Add(1));
    EXPECT_EQ(IdList{1}, ItemsOf(ids.Get()));
}

std::atomic<int> g_guardsClosed{0};
void CountGuardClose(unsigned) {
    ++g_guardsClosed;
}

TEST_F(CollectionTest, InterfacesDispatchAndTraceLines) {
    PutIds(bag.Get(), kList, {31, 32});
    auto ids = Create();
    ComPtr<IUnknown> unknown, viaMarshal;
    ComPtr<IDispatch> dispatch;
    ComPtr<IMarshal> marshal;
    ASSERT_EQ(S_OK, ids.As(&unknown));
    ASSERT_EQ(S_OK, ids.As(&dispatch));
    EXPECT_EQ(static_cast<IUnknown*>(ids.Get()), unknown.Get());
    EXPECT_EQ(static_cast<IDispatch*>(ids.Get()), dispatch.Get());
    ASSERT_EQ(S_OK, ids.As(&marshal));  // the aggregated free-threaded marshaler
    ASSERT_EQ(S_OK, marshal.As(&viaMarshal));
    EXPECT_EQ(unknown.Get(), viaMarshal.Get());
    void* other = &other;
    EXPECT_EQ(E_NOINTERFACE, ids->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);

    // Through the host type library: Item with its index omitted.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ScopedVariant result;
    ASSERT_HR(S_OK, dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                     result.Ptr(), nullptr, nullptr));
    EXPECT_EQ(31, V_I4(&result.Get()));

    const std::wstring at = L"]\t[" + SdkTrace::PointerText(ids.Get()).str() + L"]\t";
    TraceCapture capture;
    capture.TraceAll();
    ASSERT_HR(S_OK, ids->Add(5));
    ASSERT_HR(S_FALSE, ids->Skip(5));
    ASSERT_EQ(4u, capture.lines.size());
    EXPECT_EQ("export/iface/sdk/common/objrelativesimpl", capture.lines[0].file);
    EXPECT_EQ(L"IN:\t[IObjectRelatives::Add" + at + L"[-]\t[5]", capture.lines[0].text);
    EXPECT_EQ(L"OUT:\t[IObjectRelatives::Add" + at + L"[0]\t[5]", capture.lines[1].text);
    EXPECT_EQ("export/iface/sdk/common/enumtypesimpl", capture.lines[2].file);
    EXPECT_EQ(L"OUT:\t[IEnumTypesImpl::Skip" + at + L"[1]\t[1]", capture.lines[3].text);
    ComPtr<ISObjectRelativeIDs> copy = Fetch(ids.Get(), &ISObjectRelativeIDs::Clone);
    capture.lines.clear();
    // A refused delete: get_Item's lines nested in Delete's, the repository's own status.
    EXPECT_HR(kNotInCollection, DeleteByKey(copy.Get(), 31));
    capture.TracingOff();
    ASSERT_EQ(4u, capture.lines.size());
    EXPECT_EQ(L"OUT:\t[IEnumTypesImpl::get_Item]\t[" + SdkTrace::PointerText(copy.Get()).str() +
                  L"]\t[0]\t[#31] [31]",
              capture.lines[2].text);
    EXPECT_EQ(L"OUT:\t[IObjectRelatives::Delete]\t[" + SdkTrace::PointerText(copy.Get()).str() +
                  L"]\t[0x80042A3A]\t[#31]",
              capture.lines[3].text);

    // Reset and Skip open no guard; the other members do.
    g_guardsClosed = 0;
    Zentil500::SResManager::SetThreadUninitializeObserver(&CountGuardClose);
    ids->Reset();
    ids->Skip(1);
    EXPECT_EQ(0, g_guardsClosed.load());
    long count = 0;
    ids->get_Count(&count);
    EXPECT_EQ(1, g_guardsClosed.load());
    Zentil500::SResManager::SetThreadUninitializeObserver(nullptr);
}

}  // namespace
