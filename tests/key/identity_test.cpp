// The object's answers about itself, with no host object yet and with one: interfaces by name and
// by identifier, the MIME type cache, pictures, HTML actions, rich error information and the
// commit check.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pravhelper500.h"
#include "support/host_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using Pravhelper500::WP_SI_MIMETYPE_W;

namespace {

class IdentityTest : public HostedKeyTest {
protected:
    void SetUp() override {
        HostedKeyTest::SetUp();
        ASSERT_EQ(S_OK, Initialize());
    }
    IUnknown* Identity(IUnknown* face) {
        ComPtr<IUnknown> unknown;
        EXPECT_EQ(S_OK, face->QueryInterface(IID_PPV_ARGS(&unknown)));
        return unknown.Get();
    }
};

// Its own names answer whatever their case; every other name is the host object's to answer.
TEST_F(IdentityTest, PluginInterfaceByName) {
    auto info = Face<ISDesktopPluginInfo>(key.Get());
    const std::pair<const wchar_t*, IDispatch*> own[] = {
        {L"cryptographickey", key.Get()},       {L"ISCRYPTOGRAPHICKEY", key.Get()},
        {L"CryptoGraphicKey", key.Get()},       {L"desktoppluginINFO", info.Get()},
        {L"ISDesktopPluginInfo", info.Get()}};
    for (const auto& [name, expected] : own) {
        ComPtr<IDispatch> answer;
        ASSERT_EQ(S_OK, key->get_PluginInterface(ScopedBstr(name).Get(), &answer)) << name;
        EXPECT_EQ(expected, answer.Get()) << name;
    }
    RefHost::EnableCallLog(true);
    ComPtr<IDispatch> answer;
    EXPECT_EQ(E_NOINTERFACE, key->get_PluginInterface(ScopedBstr(L"ISPublicationInfo").Get(), &answer));
    EXPECT_EQ(E_NOINTERFACE, key->get_PluginInterface(ScopedBstr(L"ISCategoryContent").Get(), &answer));
    ASSERT_EQ(S_OK, key->get_PluginInterface(nullptr, &answer));  // the empty name: the host's own
    EXPECT_EQ(Identity(host.Get()), Identity(answer.Get()));
    EXPECT_EQ(3u, HostCalls("ISInfoObject::get_PluginInterface"));
}

TEST_F(IdentityTest, QueriesTheTableDoesNotListGoToTheHostObject) {
    auto persist = Face<IPersist>(key.Get());
    CLSID clsid{};
    ASSERT_EQ(S_OK, persist->GetClassID(&clsid));
    EXPECT_TRUE(InlineIsEqualGUID(clsid, RefHost::CLSID_RefHostInfoObject));
    ComPtr<IStream> none;
    EXPECT_EQ(E_NOINTERFACE, key.As(&none));

    auto errorInfo = Face<ISupportErrorInfo>(key.Get());
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_ISInfoObject));
    // Not one of its own: the host object's answer.
    auto hostErrorInfo = Face<ISupportErrorInfo>(host.Get());
    EXPECT_EQ(hostErrorInfo->InterfaceSupportsErrorInfo(IID_ISProperties),
              errorInfo->InterfaceSupportsErrorInfo(IID_ISProperties));
}

// The first text read is kept for good; a value that is no text is never kept.
TEST_F(IdentityTest, MimeTypeIsReadOnceAndCached) {
    ScopedBstr none;
    EXPECT_EQ(static_cast<HRESULT>(0x80042A37), key->get_MimeType(none.Receive()));
    EXPECT_EQ(nullptr, none.Get());
    EXPECT_EQ(E_POINTER, key->get_MimeType(nullptr));

    SetValue(WP_SI_MIMETYPE_W, ObjectValue().Get());
    ScopedBstr text;
    EXPECT_TRUE(FAILED(key->get_MimeType(text.Receive())));
    EXPECT_EQ(nullptr, text.Get());

    SetText(WP_SI_MIMETYPE_W, L"");
    ScopedBstr empty;
    ASSERT_EQ(S_OK, key->get_MimeType(empty.Receive()));
    ASSERT_NE(nullptr, empty.Get());  // an empty string, not null
    EXPECT_EQ(0u, SysStringLen(empty.Get()));

    SetText(WP_SI_MIMETYPE_W, L"application/x-key");
    RefHost::EnableCallLog(true);
    ScopedBstr cached;
    ASSERT_EQ(S_OK, key->get_MimeType(cached.Receive()));
    EXPECT_STREQ(L"", cached.Get());  // the cache is never refreshed
    EXPECT_EQ(0u, HostCalls("ISInfoObject::get_Property"));
}

TEST_F(IdentityTest, MimeTypeFirstCallsRacingFillTheCacheOnce) {
    SetText(WP_SI_MIMETYPE_W, L"application/x-key");
    RefHost::EnableCallLog(true);
    std::atomic<int> ready{0}, correct{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < 6) {
            }
            ScopedBstr text;
            if (key->get_MimeType(text.Receive()) == S_OK && text.Get() &&
                wcscmp(text.Get(), L"application/x-key") == 0)
                ++correct;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(6, correct.load());
    EXPECT_EQ(1u, HostCalls("ISInfoObject::get_Property"));
}

TEST_F(IdentityTest, PictureArgumentsAndTraces) {
    TraceCapture capture;
    capture.TraceAll();
    ScopedVariant picture;
    EXPECT_EQ(E_INVALIDARG, key->get_Picture(static_cast<KvPictureKind>(5), picture.Ptr()));
    EXPECT_EQ(E_INVALIDARG, key->get_Picture(KvPictureSmallIcon, nullptr));
    EXPECT_EQ(E_INVALIDARG, key->get_Picture(static_cast<KvPictureKind>(-1), picture.Ptr()));
    const size_t withExits = capture.lines.size();
    EXPECT_EQ(6u, withExits);
    EXPECT_EQ(E_INVALIDARG, key->get_Picture(KvPictureThumbnail, picture.Ptr()));
    EXPECT_EQ(withExits + 1, capture.lines.size());  // kind 4: an entry line only
    const std::wstring addr = SdkTrace::PointerText(Object()).str();
    EXPECT_EQ(L"OUT:\t[CCryptoGraphicKey::get_Picture]\t[" + addr + L"]\t[-2147024809]\t[5] []",
              capture.lines[1].text);
}

TEST_F(IdentityTest, HtmlActionsAreRefusedWithErrorInformation) {
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(static_cast<HRESULT>(0x80042AA6), key->DoHTMLAction(nullptr, nullptr, VARIANT{}));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    ScopedBstr description;
    ASSERT_EQ(S_OK, info->GetDescription(description.Receive()));
    EXPECT_STREQ(L"This object does not carry out HTML actions.", description.Get());
    GUID iid{};
    ASSERT_EQ(S_OK, info->GetGUID(&iid));
    EXPECT_TRUE(InlineIsEqualGUID(iid, IID_ISCryptoGraphicKey));
}

TEST_F(IdentityTest, CommitIsRefusedWithoutAReadableMimeType) {
    const ComPtr<ISDesktopPlugin> plugin = Plugin();
    TraceCapture capture;
    capture.TraceAll();
    EXPECT_EQ(static_cast<HRESULT>(0x80042A37), plugin->PrepareForCommit(1));
    ASSERT_EQ(1u, capture.asserts.size());
    EXPECT_EQ(L"Cannot commit this CryptoGraphicKey object: MIME type has not been set.",
              capture.asserts[0].message);
    ASSERT_EQ(2u, capture.lines.size());  // no layer below was prepared
    const std::wstring addr = SdkTrace::PointerText(Object()).str();
    EXPECT_EQ(L"IN:\t[CCryptoGraphicKey::PrepareForCommit]\t[" + addr + L"]\t[-]\t[false]",
              capture.lines[0].text);
    EXPECT_EQ(L"OUT:\t[CCryptoGraphicKey::PrepareForCommit]\t[" + addr +
                  L"]\t[-2147210697]\t[false]",
              capture.lines[1].text);

    capture.lines.clear();
    EXPECT_EQ(S_OK, plugin->PrepareForCommit(VARIANT_FALSE));  // no check with flag 0
    SetText(WP_SI_MIMETYPE_W, L"");
    EXPECT_EQ(S_OK, plugin->PrepareForCommit(VARIANT_TRUE));  // an empty type passes
}

// Without a host object, the interface table answers its own rows by itself.
TEST(FreshKeyObject, InterfaceTableAnswersItsOwnRows) {
    ComPtr<ISCryptoGraphicKey> key = NewKeyObject();
    auto identity = Face<IUnknown>(key.Get());
    auto plugin = Face<ISDesktopPlugin>(key.Get());
    auto viaPlugin = Face<IUnknown>(plugin.Get());
    EXPECT_EQ(identity.Get(), viaPlugin.Get());
    EXPECT_EQ(static_cast<IUnknown*>(plugin.Get()), identity.Get());

    auto dispatch = Face<IDispatch>(key.Get());
    EXPECT_EQ(static_cast<IDispatch*>(key.Get()), dispatch.Get());

    ComPtr<IMarshal> marshal = Face<IMarshal>(key.Get());
    ComPtr<IPersist> persist;
    EXPECT_EQ(E_NOINTERFACE, key.As(&persist));  // no host object to ask
    EXPECT_EQ(E_POINTER, key->QueryInterface(IID_IUnknown, nullptr));

    auto versioned = Face<ISVersionedInfoObject>(key.Get());
    VARIANT_BOOL untouched = 7;
    EXPECT_EQ(S_FALSE, versioned->Upgrade(1, &untouched));
    EXPECT_EQ(7, untouched);

    auto errorInfo = Face<ISupportErrorInfo>(key.Get());
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_ISDesktopPluginEx));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_ISCryptoGraphicKey));

    BSTR ext = nullptr;
    EXPECT_EQ(E_NOTIMPL, key->FileExtensionFromMimeType(nullptr, &ext));
    EXPECT_EQ(nullptr, ext);
}

}  // namespace
