// The per-call hook: injected faults in each mode, per object and for any object, the call log,
// and the live-object count.
#include "refhost/refhost_fixture.h"

namespace {

using HookTest = RefHostTest;

constexpr HRESULT kInjected = static_cast<HRESULT>(0x8004ABCD);

LONG Count(ISProperties* bag, HRESULT* status = nullptr) {
    LONG count = -7;
    const HRESULT hr = bag->get_Count(&count);
    if (status != nullptr) *status = hr;
    return count;
}

TEST_F(HookTest, FaultsFireInTheirModeAndLeaveOutputsUntouched) {
    auto bag = NewBag();
    auto other = NewBag();
    HRESULT hr = S_OK;

    ASSERT_HR(S_OK, RefHost::InjectFault(bag.Get(), "ISProperties::get_Count", kInjected));
    EXPECT_EQ(-7, Count(bag.Get(), &hr));  // the output was not written
    EXPECT_HR(kInjected, hr);
    Count(bag.Get(), &hr);
    EXPECT_HR(S_OK, hr);

    // The third matching call fails, the others pass; another object is not matched.
    ASSERT_HR(S_OK, RefHost::InjectFault(bag.Get(), "ISProperties::get_Count", kInjected,
                                         RefHost::FaultMode::NthCall, 3));
    for (int call = 1; call <= 4; ++call) {
        Count(other.Get(), &hr);
        EXPECT_HR(S_OK, hr);
        Count(bag.Get(), &hr);
        EXPECT_HR(call == 3 ? kInjected : S_OK, hr) << "call " << call;
    }

    // Always, on any object, through whichever face the object was named by.
    auto list = ListOf(bag);
    ASSERT_HR(S_OK, RefHost::InjectFault(nullptr, "ISPropertyBagCollection::Append", kInjected,
                                         RefHost::FaultMode::Always));
    EXPECT_HR(kInjected, list->Append(I4(1)));
    EXPECT_HR(kInjected, ListOf(other)->Append(I4(1)));
    EXPECT_HR(kInjected, list->Append(I4(1)));
    EXPECT_EQ(0, CountOf(list.Get()));
    RefHost::ClearFaults();
    EXPECT_HR(S_OK, list->Append(I4(1)));

    // A query can be refused too: the out-pointer is cleared first.
    ASSERT_HR(S_OK,
              RefHost::InjectFault(list.Get(), "ISProperties::QueryInterface", E_NOINTERFACE));
    void* face = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_HR(E_NOINTERFACE, bag->QueryInterface(IID_ISPropertyBagCollection, &face));
    EXPECT_EQ(nullptr, face);
    EXPECT_HR(S_OK, bag->QueryInterface(IID_ISPropertyBagCollection, &face));
    static_cast<IUnknown*>(face)->Release();

    EXPECT_HR(E_INVALIDARG, RefHost::InjectFault(bag.Get(), "ISProperties::get_Count", S_FALSE));
    EXPECT_HR(E_INVALIDARG, RefHost::InjectFault(bag.Get(), "", kInjected));
    EXPECT_HR(E_INVALIDARG, RefHost::InjectFault(bag.Get(), "ISProperties::get_Count", kInjected,
                                                 RefHost::FaultMode::NthCall, 0));
}

TEST_F(HookTest, TheCallLogRecordsObjectMethodAndArguments) {
    ComPtr<ISInfoObject> object;
    ASSERT_HR(S_OK, repository->NewObject(L"Folder", &object));

    BSTR title = nullptr;
    ASSERT_HR(S_OK, object->get_Title(&title));  // not logged: logging is off
    SysFreeString(title);
    EXPECT_TRUE(RefHost::CallLog().empty());

    RefHost::EnableCallLog(true);
    ASSERT_HR(S_OK, object->put_Title(ScopedBstr(L"Keys").Get()));
    ASSERT_HR(S_OK, object->put_Property(ScopedBstr(L"SI_SCOPE_ID").Get(), I4(42)));
    ASSERT_HR(S_OK, RefHost::InjectFault(object.Get(), "ISInfoObject::get_Title", kInjected));
    EXPECT_HR(kInjected, object->get_Title(&title));
    auto log = RefHost::CallLog();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(RefHost::IdentityOf(object.Get()), log[0].object);
    EXPECT_EQ("ISInfoObject::put_Title", log[0].method);
    EXPECT_EQ(L"\"Keys\"", log[0].arguments);
    EXPECT_HR(S_OK, log[0].injected);
    EXPECT_EQ("ISInfoObject::put_Property", log[1].method);
    EXPECT_EQ(L"\"SI_SCOPE_ID\", I4:42", log[1].arguments);
    EXPECT_EQ("ISInfoObject::get_Title", log[2].method);
    EXPECT_HR(kInjected, log[2].injected);
    EXPECT_EQ(GetCurrentThreadId(), log[2].threadId);

    // The host's own calls are not a client's: committing logs the Save alone.
    RefHost::ClearCallLog();
    ASSERT_HR(S_OK, object->Save());
    log = RefHost::CallLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("ISInfoObject::Save", log[0].method);

    RefHost::EnableCallLog(false);
    ASSERT_HR(S_OK, object->put_Title(ScopedBstr(L"Other").Get()));
    EXPECT_EQ(1u, RefHost::CallLog().size());
    RefHost::ClearCallLog();
    EXPECT_TRUE(RefHost::CallLog().empty());
}

TEST_F(HookTest, EveryHostObjectIsCountedUntilItsLastRelease) {
    ComPtr<ISInfoObject> object;
    ASSERT_HR(S_OK, repository->NewObject(L"Folder", &object));
    const long withObject = RefHost::LiveObjectCount();
    EXPECT_GT(withObject, 0);
    {
        auto processing = Fetch(object.Get(), &ISInfoObject::get_ProcessingInfo);
        EXPECT_EQ(withObject + 1, RefHost::LiveObjectCount());
    }
    EXPECT_EQ(withObject, RefHost::LiveObjectCount());
    ASSERT_HR(S_OK, object->Save());
    object.Reset();
    // The committed copy lives with the repository.
    EXPECT_GT(RefHost::LiveObjectCount(), 0);
    repository.reset();
    EXPECT_EQ(0, RefHost::LiveObjectCount());
}

}  // namespace
