// Initialisation through the plug-in face: the host object, the object locale, the new-object
// marker, the info store, a second initialisation; and the per-thread last interface name.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "swappable.h"

#include "pravhelper500.h"
#include "support/host_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using Pravhelper500::WP_SI_NEWOBJECT_W;

namespace {

class InitializeTest : public HostedKeyTest {
protected:
    HRESULT NewObjectMarker(ComPtr<ISProperty>& property) {
        ComPtr<ISProperties> bag;
        HRESULT hr = host->get_Properties(&bag);
        if (FAILED(hr)) return hr;
        ScopedVariant name;
        name.SetBstr(WP_SI_NEWOBJECT_W);
        return bag->get_Item(name.Get(), &property);
    }
};

TEST_F(InitializeTest, NewObjectGetsTheMarkerOnce) {
    ASSERT_EQ(S_OK, Initialize(VARIANT_TRUE));
    ComPtr<ISProperty> marker;
    ASSERT_EQ(S_OK, NewObjectMarker(marker));
    ScopedVariant value;
    ASSERT_EQ(S_OK, marker->get_Value(value.Receive()));
    EXPECT_EQ(VT_BOOL, value.Type());
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&value.Get()));
    EXPECT_EQ(0x2000000, Get(marker.Get(), &ISProperty::get_Flags));
    marker.Reset();

    // A second initialisation warns, finds the marker and adds nothing.
    TraceCapture capture;
    capture.TraceLevels({0});
    RefHost::EnableCallLog(true);
    ASSERT_EQ(S_OK, Initialize(VARIANT_TRUE));
    EXPECT_EQ(0u, HostCalls("ISProperties::Add"));
    ASSERT_EQ(2u, capture.lines.size());
    EXPECT_EQ(L"this->m_pInfoObject.p should equal to NULL, check if you called Initialize twice "
              L"or called base object Initialize() as well",
              capture.lines[0].text);
    EXPECT_EQ(L"m_pInfoStore.p should equal to NULL, check if you called Initialize twice",
              capture.lines[1].text);
}

TEST_F(InitializeTest, OnlyTheExactTrueFlagMarksANewObject) {
    RefHost::EnableCallLog(true);
    ASSERT_EQ(S_OK, Initialize(1));
    ASSERT_EQ(S_OK, Initialize(VARIANT_FALSE));
    EXPECT_EQ(0u, HostCalls("ISInfoObject::get_Properties"));
    ComPtr<ISProperty> marker;
    EXPECT_EQ(static_cast<HRESULT>(0x80042A37), NewObjectMarker(marker));
}

TEST_F(InitializeTest, LocaleFromTheHostOrTheDefault) {
    ASSERT_EQ(S_OK, RefHost::SetLocale(host.Get(), 1031));
    const ComPtr<ISDesktopPlugin> plugin = Plugin();
    ASSERT_EQ(S_OK, Initialize());
    // The locale reaches the resource manager of every guarded call: a message in German is
    // not in the table, so the English text comes back.
    ScopedBstr text;
    ASSERT_EQ(S_OK, plugin->LoadMessage(42505, text.Receive()));
    EXPECT_STREQ(L"A required pointer argument is null.", text.Get());

    ASSERT_EQ(S_OK, RefHost::InjectFault(host.Get(), "ISInfoObject::get_Locale", E_FAIL));
    ASSERT_EQ(S_OK, Initialize());
    EXPECT_EQ(1024u, Object()->m_ObjectLocale.load());
}

TEST_F(InitializeTest, NullHostObjectIsReportedAndChangesNothing) {
    const ComPtr<ISDesktopPlugin> plugin = Plugin();
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(E_POINTER, plugin->Initialize(nullptr, VARIANT_TRUE));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    GUID iid{};
    ASSERT_EQ(S_OK, info->GetGUID(&iid));
    EXPECT_TRUE(InlineIsEqualGUID(iid, IID_ISDesktopPlugin));
    auto wrapped = Fetch(plugin.Get(), &ISDesktopPlugin::get_InfoObject);
    EXPECT_EQ(nullptr, wrapped.Get());
}

// A failing step returns the host's status and leaves the object and the host object as they
// were: no marker, no host object, no locale; and a failing second initialisation keeps the
// first host object.
TEST_F(InitializeTest, AFailedInitializationChangesNothing) {
    constexpr HRESULT kFault = static_cast<HRESULT>(0x8004ABCD);
    const ComPtr<ISDesktopPlugin> plugin = Plugin();
    CCryptoGraphicKey* const object = Object();
    for (const char* step : {"ISInfoObject::get_Properties", "ISProperties::Add",
                             "ISInfoObject::get_ParentInfoObjects", "ISInfoObjects::get_InfoStore"}) {
        ASSERT_EQ(S_OK, RefHost::InjectFault(nullptr, step, kFault));
        EXPECT_EQ(kFault, Initialize(VARIANT_TRUE)) << step;
        ComPtr<ISProperty> marker;
        EXPECT_EQ(static_cast<HRESULT>(0x80042A37), NewObjectMarker(marker)) << step;
        auto wrapped = Fetch(plugin.Get(), &ISDesktopPlugin::get_InfoObject);
        EXPECT_EQ(nullptr, wrapped.Get()) << step;
        EXPECT_EQ(0u, object->m_ObjectLocale.load()) << step;
    }
    // When the marker cannot be taken away again, a warning says that it stays.
    {
        auto bag = Fetch(host.Get(), &ISInfoObject::get_Properties);
        ASSERT_EQ(S_OK, RefHost::InjectFault(nullptr, "ISInfoObjects::get_InfoStore", kFault));
        ASSERT_EQ(S_OK, RefHost::InjectFault(bag.Get(), "ISProperties::Remove", kFault));
        TraceCapture capture;
        capture.TraceLevels({0});
        EXPECT_EQ(kFault, Initialize(VARIANT_TRUE));
        ASSERT_EQ(1u, capture.lines.size());
        EXPECT_EQ(L"Initialize: the new-object marker added before the failure stays",
                  capture.lines[0].text);
        ScopedVariant name;
        name.SetBstr(WP_SI_NEWOBJECT_W);
        ASSERT_EQ(S_OK, bag->Remove(name.Get()));
    }

    ASSERT_EQ(S_OK, Initialize(VARIANT_FALSE));
    ComPtr<ISInfoObject> other;
    ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &other));
    ASSERT_EQ(S_OK, RefHost::SetLocale(other.Get(), 1031));
    ASSERT_EQ(S_OK, RefHost::InjectFault(other.Get(), "ISInfoObject::get_ParentInfoObjects", kFault));
    EXPECT_EQ(kFault, plugin->Initialize(other.Get(), VARIANT_TRUE));
    auto wrapped = Fetch(plugin.Get(), &ISDesktopPlugin::get_InfoObject);
    EXPECT_EQ(host.Get(), wrapped.Get());
    EXPECT_NE(1031u, object->m_ObjectLocale.load());
}

// The holder of the host object: a replacement takes the new reference and releases the old one
// once no call uses it; the object it holds already is left alone, references and all.
TEST(SwappableComPtrTest, ReplacingWithTheObjectHeldTakesNoReference) {
    struct Counted : IUnknown {
        std::atomic<long> addRefs{0}, releases{0};
        STDMETHOD(QueryInterface)(REFIID, void**) override { return E_NOINTERFACE; }
        STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++addRefs - releases); }
        STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(addRefs - ++releases); }
    } first, second;
    {
        ComLib::SwappableComPtr<IUnknown> holder;
        ASSERT_EQ(S_OK, holder.Replace(&first));
        EXPECT_EQ(1, first.addRefs.load());
        ASSERT_EQ(S_OK, holder.Replace(&first));
        EXPECT_EQ(1, first.addRefs.load());
        EXPECT_EQ(0, first.releases.load());
        {
            auto use = holder.Get();  // a call still running on the first object
            ASSERT_EQ(S_OK, holder.Replace(&second));
            EXPECT_EQ(0, first.releases.load());
        }
        EXPECT_EQ(1, first.releases.load());
        EXPECT_EQ(1, second.addRefs.load());
    }
    EXPECT_EQ(1, second.releases.load());
}

TEST_F(InitializeTest, LastInterfaceNameIsKeptPerThread) {
    ASSERT_EQ(S_OK, Initialize());
    CCryptoGraphicKey* const object = Object();
    Zentil500::SWCharString name;
    TraceCapture capture;
    EXPECT_EQ(E_NOINTERFACE, object->GetLastInterface(name));
    ASSERT_EQ(1u, capture.asserts.size());
    EXPECT_EQ(L"::GetLastInterface: Should always find the interface name", capture.asserts[0].message);

    ComPtr<IDispatch> answer;
    ASSERT_EQ(S_OK, key->get_PluginInterface(ScopedBstr(L"CryptoGraphicKey").Get(), &answer));
    std::thread other([&] {
        ComPtr<IDispatch> otherAnswer;
        key->get_PluginInterface(ScopedBstr(L"ISPublicationInfo").Get(), &otherAnswer);
        Zentil500::SWCharString mine;
        EXPECT_EQ(S_OK, object->GetLastInterface(mine));
        EXPECT_EQ(L"ISPublicationInfo", mine.str());
    });
    other.join();
    EXPECT_EQ(S_OK, object->GetLastInterface(name));
    EXPECT_EQ(L"CryptoGraphicKey", name.str());
}

}  // namespace
