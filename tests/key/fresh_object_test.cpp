// A key object that has no host object yet: every generic member refuses after its null checks,
// the key members fail from their property read, and the interface table answers by itself.
#include <gtest/gtest.h>

#include <wrl/client.h>

#include "CCryptoGraphicKey.h"
#include "support/key_objects.h"
#include "support/trace_capture.h"

using Microsoft::WRL::ComPtr;

namespace {

TEST(FreshKeyObject, GenericMembersCheckNullsThenRefuse) {
    TraceCapture capture;
    {
        ComPtr<ISCryptoGraphicKey> key = NewKeyObject();
        BSTR title = reinterpret_cast<BSTR>(0xdeadbeef);
        EXPECT_EQ(E_FAIL, key->get_Title(&title));
        EXPECT_EQ(reinterpret_cast<BSTR>(0xdeadbeef), title);
        EXPECT_EQ(E_POINTER, key->get_Title(nullptr));
        EXPECT_EQ(E_FAIL, key->put_Title(nullptr));

        ComPtr<ISInfoObject> generic;
        ASSERT_EQ(S_OK, key.As(&generic));
        EXPECT_EQ(E_POINTER, generic->get_FilesEx(nullptr, 0, nullptr));
        EXPECT_EQ(E_FAIL, generic->Serialize(nullptr));  // not null-checked: refused later
        EXPECT_EQ(S_FALSE, generic->UpdateInfoObject(7));

        ComPtr<ISActions> actions;
        EXPECT_EQ(S_FALSE, key->get_Actions(&actions));
        EXPECT_EQ(nullptr, actions.Get());
        EXPECT_EQ(E_NOTIMPL, key->DoAction(nullptr, VARIANT{}, nullptr));

        KvKeyState state = static_cast<KvKeyState>(0x55);
        EXPECT_EQ(E_FAIL, key->get_KeyState(&state));
        EXPECT_EQ(0x55, state);
        EXPECT_EQ(E_FAIL, key->StartRekey());
    }
    // Each refusal of a missing host object was reported.
    ASSERT_FALSE(capture.asserts.empty());
    EXPECT_EQ("this->m_pInfoObject", capture.asserts.front().expression);
    EXPECT_EQ(0, ComLib::_Module.GetLockCount());
}

TEST(FreshKeyObject, InterfaceTableAnswersItsOwnRows) {
    ComPtr<ISCryptoGraphicKey> key = NewKeyObject();
    ComPtr<IUnknown> identity, viaPlugin;
    ASSERT_EQ(S_OK, key.As(&identity));
    ComPtr<ISDesktopPlugin> plugin;
    ASSERT_EQ(S_OK, key.As(&plugin));
    ASSERT_EQ(S_OK, plugin.As(&viaPlugin));
    EXPECT_EQ(identity.Get(), viaPlugin.Get());
    EXPECT_EQ(static_cast<IUnknown*>(plugin.Get()), identity.Get());

    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, key.As(&dispatch));
    EXPECT_EQ(static_cast<IDispatch*>(key.Get()), dispatch.Get());

    ComPtr<IMarshal> marshal;
    EXPECT_EQ(S_OK, key.As(&marshal));
    ComPtr<IPersist> persist;
    EXPECT_EQ(E_NOINTERFACE, key.As(&persist));  // no host object to ask
    EXPECT_EQ(E_POINTER, key->QueryInterface(IID_IUnknown, nullptr));

    ComPtr<ISVersionedInfoObject> versioned;
    ASSERT_EQ(S_OK, key.As(&versioned));
    VARIANT_BOOL untouched = 7;
    EXPECT_EQ(S_FALSE, versioned->Upgrade(1, &untouched));
    EXPECT_EQ(7, untouched);

    ComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(S_OK, key.As(&errorInfo));
    EXPECT_EQ(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_ISDesktopPluginEx));
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_ISCryptoGraphicKey));

    BSTR ext = nullptr;
    EXPECT_EQ(E_NOTIMPL, key->FileExtensionFromMimeType(nullptr, &ext));
    EXPECT_EQ(nullptr, ext);
}

}  // namespace
