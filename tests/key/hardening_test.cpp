// The key object under a hostile, busy host: re-initialisation with an object only the old one
// holds, new child objects and host chains that answer success with a null object, and two
// failure exits on two lines.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "pravhelper500.h"
#include "support/host_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

class HardeningTest : public HostedKeyTest {
protected:
    ComPtr<ISInfoObject> FreshHostObject(long state) {
        ComPtr<ISInfoObject> object;
        EXPECT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &object));
        ScopedVariant value;
        value.SetI4(state);
        EXPECT_EQ(S_OK, object->put_Property(ScopedBstr(L"SI_KEY_STATE").Get(), value.Get()));
        return object;
    }
};

// The new host object's reference is taken before the old one is released: here the old object
// holds the only other reference to the new one.
TEST_F(HardeningTest, InitializeTakesTheNewReferenceBeforeReleasingTheOld) {
    ComPtr<ISInfoObject> next = FreshHostObject(2);
    const long nextId = Get(next.Get(), &ISInfoObject::get_ID);
    ASSERT_EQ(S_OK, RefHost::SetPluginInterface(host.Get(), L"next", next.Get()));
    ASSERT_EQ(S_OK, Initialize());
    ISInfoObject* lent = next.Get();
    next.Reset();
    host.Reset();  // the key object holds the first object, which alone holds the second
    ASSERT_EQ(S_OK, InitializeWith(lent));
    EXPECT_EQ(nextId, Get(key.Get(), &ISCryptoGraphicKey::get_ID));
    EXPECT_EQ(DEACTIVATED, Get(key.Get(), &ISCryptoGraphicKey::get_KeyState));
}

// ---------------------------------------------------------------------------------------------
// A host chain that answers S_OK with a null object

enum class NullAt { Collection, PluginManager, PluginInfos };

// A host interface of a test's own: reference counted, not dispatchable.
template <typename Interface>
class FakeHostObject : public Interface {
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch && iid != __uuidof(Interface))
            return E_NOINTERFACE;
        *ppv = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG left = --m_refs;
        if (left == 0) delete this;
        return left;
    }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

protected:
    virtual ~FakeHostObject() = default;

private:
    std::atomic<ULONG> m_refs{1};
};

// A plug-in manager whose PluginInfos answers S_OK with null; nothing else is asked of it.
class NullInfosManager : public FakeHostObject<ISPluginManager> {
public:
    STDMETHOD(get_PluginDirectory)(BSTR*) override { return E_NOTIMPL; }
    STDMETHOD(Refresh)() override { return E_NOTIMPL; }
    STDMETHOD(GetPluginInfo)(BSTR, ISPluginInfo**) override { return E_NOTIMPL; }
    STDMETHOD(IsPluginInstalled)(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHOD(get_Locale)(long*) override { return E_NOTIMPL; }
    STDMETHOD(put_Locale)(long) override { return E_NOTIMPL; }
    STDMETHOD(get_DesktopPlugins)(ISPluginInfos**) override { return E_NOTIMPL; }
    STDMETHOD(get_AdminPlugins)(ISPluginInfos**) override { return E_NOTIMPL; }
    STDMETHOD(get_AuthenticationPlugins)(ISPluginInfos**) override { return E_NOTIMPL; }
    STDMETHOD(get_PluginInfos)(ISPluginInfos** p) override {
        *p = nullptr;
        return S_OK;
    }
};

// The host's info store, except that one step of the new-object chain answers S_OK with null.
class NullAnsweringStore : public FakeHostObject<ISInfoStore> {
public:
    NullAnsweringStore(ComPtr<ISInfoStore> real, NullAt at) : m_real(std::move(real)), m_at(at) {}
    STDMETHOD(Query)(BSTR, ISInfoObjects**) override { return E_NOTIMPL; }
    STDMETHOD(Commit)(ISInfoObjects*) override { return E_NOTIMPL; }
    STDMETHOD(get_Session)(IDispatch**) override { return E_NOTIMPL; }
    STDMETHOD(Schedule)(ISInfoObjects*) override { return E_NOTIMPL; }
    STDMETHOD(NewInfoObjectCollection)(ISInfoObjects** c) override {
        if (m_at != NullAt::Collection) return m_real->NewInfoObjectCollection(c);
        *c = nullptr;
        return S_OK;
    }
    STDMETHOD(get_PluginManager)(ISPluginManager** m) override {
        *m = m_at == NullAt::PluginManager ? nullptr : new NullInfosManager;
        return S_OK;
    }

private:
    ComPtr<ISInfoStore> m_real;
    NullAt m_at;
};

// A child object under this object: none before Initialize has handed over the info store, then
// one of the kind asked for under this object; a host chain that answers S_OK with a null object
// on the way gives E_FAIL and hands out nothing.
TEST_F(HardeningTest, NewChildObjectUnderThisObjectChecksTheHostChain) {
    CCryptoGraphicKey* const object = Object();
    ComPtr<ISInfoObject> child;
    EXPECT_EQ(E_FAIL, object->NewChildObject(ScopedBstr(L"Folder").Get(), &child));  // no store yet
    ASSERT_EQ(S_OK, Initialize());
    EXPECT_EQ(E_POINTER, object->NewChildObject(ScopedBstr(L"Folder").Get(), nullptr));
    ASSERT_EQ(S_OK, object->NewChildObject(ScopedBstr(L"Folder").Get(), &child));
    long id = 0, childId = 0, parentId = 0;
    ASSERT_EQ(S_OK, host->get_ID(&id));
    ASSERT_EQ(S_OK, child->get_ID(&childId));
    ASSERT_EQ(S_OK, child->get_ParentID(&parentId));
    EXPECT_NE(id, childId);
    EXPECT_EQ(id, parentId);
    ScopedBstr kind;
    ASSERT_EQ(S_OK, child->get_Kind(kind.Receive()));
    EXPECT_STREQ(L"Folder", kind.Get());
    EXPECT_EQ(static_cast<HRESULT>(0x80042A37),
              object->NewChildObject(ScopedBstr(L"NoSuchKind").Get(), &child));

    for (NullAt at : {NullAt::Collection, NullAt::PluginManager, NullAt::PluginInfos}) {
        ComPtr<ISInfoStore> real;
        ASSERT_EQ(S_OK, repository->GetInfoStore(&real));
        ISInfoStore* store = new NullAnsweringStore(real, at);
        object->m_pInfoStore.Replace(store);
        store->Release();
        ISInfoObject* none = reinterpret_cast<ISInfoObject*>(0xdeadbeef);
        EXPECT_EQ(E_FAIL, object->NewChildObject(ScopedBstr(L"Folder").Get(), &none))
            << static_cast<int>(at);
        EXPECT_EQ(reinterpret_cast<ISInfoObject*>(0xdeadbeef), none);
    }
    object->m_pInfoStore.Replace(nullptr);
}

// Two failures of the key value's read end at two different exits, each a line of its own (the
// sweep checks that no two trace points share a line).
TEST_F(HardeningTest, TwoFailureExitsAreTwoLines) {
    ASSERT_EQ(S_OK, Initialize());
    std::vector<int> exits;
    for (const char* method : {"ISInfoObject::get_Properties", "ISProperties::get_Item"}) {
        ASSERT_EQ(S_OK, RefHost::InjectFault(nullptr, method, E_ACCESSDENIED));
        TraceCapture capture;
        capture.TraceAll();
        ScopedBstr value;
        EXPECT_EQ(E_ACCESSDENIED, key->get_KeyValue(value.Receive()));
        ASSERT_FALSE(capture.lines.empty());
        exits.push_back(capture.lines.back().line);
    }
    EXPECT_NE(exits[0], exits[1]);
}

}  // namespace
