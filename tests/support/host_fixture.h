// A key object over a host object of the reference host, and the checks every such test ends with:
// no live host object and no lock on the module.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>

#include "comlib.h"
#include "refhost.h"
#include "scoped.h"
#include "support/hresult_checks.h"
#include "support/key_objects.h"
#include "support/trace_capture.h"

// A stored value that reads as no text or number: a new, empty property bag (VT_DISPATCH).
inline ComLib::ScopedVariant ObjectValue() {
    ComLib::ScopedVariant value;
    Microsoft::WRL::ComPtr<ISProperties> bag;
    EXPECT_EQ(S_OK, RefHost::CreatePropertyBag(&bag));
    V_VT(value.Ptr()) = VT_DISPATCH;
    V_DISPATCH(value.Ptr()) = bag.Detach();
    return value;
}

class HostedKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        repository = RefHost::CreateRepository();
        ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &host));
        key = NewKeyObject();
        ASSERT_TRUE(key);
    }

    void TearDown() override {
        key.Reset();
        host.Reset();
        repository.reset();
        RefHost::ClearFaults();
        RefHost::EnableCallLog(false);
        RefHost::ClearCallLog();
        EXPECT_EQ(0, RefHost::LiveObjectCount());
        EXPECT_EQ(0, ComLib::_Module.GetLockCount());
    }

    // The key object's plug-in face.
    Microsoft::WRL::ComPtr<ISDesktopPlugin> Plugin() { return Face<ISDesktopPlugin>(key.Get()); }
    // The object behind the key face, for the members no interface has.
    CCryptoGraphicKey* Object() {
        return static_cast<CCryptoGraphicKey*>(static_cast<ISCryptoGraphicKey*>(key.Get()));
    }
    // Hands the host object (or `object`) to the key object through the plug-in face.
    HRESULT Initialize(VARIANT_BOOL isNew = VARIANT_FALSE) {
        return InitializeWith(host.Get(), isNew);
    }
    HRESULT InitializeWith(ISInfoObject* object, VARIANT_BOOL isNew = VARIANT_FALSE) {
        return Plugin()->Initialize(object, isNew);
    }

    void SetI4(const wchar_t* name, long value) {
        ComLib::ScopedVariant v;
        v.SetI4(value);
        ASSERT_EQ(S_OK, host->put_Property(ComLib::ScopedBstr(name).Get(), v.Get()));
    }
    void SetI2(const wchar_t* name, short value) {
        ComLib::ScopedVariant v;
        v.SetI2(value);
        ASSERT_EQ(S_OK, host->put_Property(ComLib::ScopedBstr(name).Get(), v.Get()));
    }
    void SetText(const wchar_t* name, const wchar_t* value) {
        ComLib::ScopedVariant v;
        ASSERT_EQ(S_OK, v.SetBstr(value));
        ASSERT_EQ(S_OK, host->put_Property(ComLib::ScopedBstr(name).Get(), v.Get()));
    }
    void SetValue(const wchar_t* name, const VARIANT& value) {
        ASSERT_EQ(S_OK, host->put_Property(ComLib::ScopedBstr(name).Get(), value));
    }
    // The host's value of property name (VT_EMPTY with a failed status when absent).
    HRESULT Read(const wchar_t* name, ComLib::ScopedVariant& value) {
        return host->get_Property(ComLib::ScopedBstr(name).Get(), value.Receive());
    }
    // Calls of `method` on the host since the log was enabled.
    size_t HostCalls(const char* method) {
        size_t count = 0;
        for (const auto& record : RefHost::CallLog())
            if (record.method == method) ++count;
        return count;
    }

    std::shared_ptr<RefHost::Repository> repository;
    Microsoft::WRL::ComPtr<ISInfoObject> host;
    Microsoft::WRL::ComPtr<ISCryptoGraphicKey> key;
};
