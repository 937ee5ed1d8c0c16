// Key objects made the way the module makes them, for tests that drive the object directly.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "CCryptoGraphicKey.h"
#include "comlib.h"

inline Microsoft::WRL::ComPtr<ISCryptoGraphicKey> NewKeyObject() {
    Microsoft::WRL::ComPtr<ISCryptoGraphicKey> key;
    const HRESULT hr = ComLib::CComCreator<ComLib::CComObject<CCryptoGraphicKey>>::CreateInstance(
        nullptr, IID_ISCryptoGraphicKey, reinterpret_cast<void**>(key.GetAddressOf()));
    EXPECT_EQ(S_OK, hr);
    return key;
}
