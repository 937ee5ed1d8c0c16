// A key object initialised over a reference-host object, seen through ISPublicationInfo and the
// plug-in face, with readers of the host's bags (object properties, processing properties, nested
// bags, ID lists and flags).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "pravhelper500.h"
#include "publication.h"
#include "relatives/list_helpers.h"
#include "support/host_fixture.h"
#include "support/hresult_checks.h"

// The publication layer of the key object: the address its trace lines carry.
using PublicationLayer = IPublicationInfo<ISCryptoGraphicKey, &IID_ISCryptoGraphicKey,
                                          &LIBID_KorvelCryptoGraphicKeyPluginLib>;
using FormatLayer = IFormatPlugin<ISCryptoGraphicKey, &IID_ISCryptoGraphicKey,
                                  &LIBID_KorvelCryptoGraphicKeyPluginLib>;

// Readers of a bag: a property (null when absent), its flags (-1 when absent), the number of
// properties.
using RelTest::FlagsOf;
using RelTest::PropertyCount;
using RelTest::PropertyOf;

inline constexpr HRESULT kAbsent = static_cast<HRESULT>(0x80042A37);
inline constexpr HRESULT kBagUnavailable = static_cast<HRESULT>(0x80042A30);
inline constexpr HRESULT kInjected = static_cast<HRESULT>(0x8004ABCD);
inline constexpr long kCreatedBagFlags = 0x08000000;

class PublicationTest : public HostedKeyTest {
  protected:
    void SetUp() override {
        HostedKeyTest::SetUp();
        if (initialise) {
            ASSERT_HR(S_OK, Initialize());
        }
        ASSERT_HR(S_OK, key.As(&pub));
        ASSERT_HR(S_OK, key.As(&plugin));
    }
    void TearDown() override {
        pub.Reset();
        plugin.Reset();
        HostedKeyTest::TearDown();
    }

    // Address written in the trace lines of the publication and format layers.
    std::wstring PublicationAddress() {
        return SdkTrace::PointerText(
                   static_cast<PublicationLayer*>(static_cast<CCryptoGraphicKey*>(key.Get())))
            .str();
    }
    std::wstring FormatAddress() {
        return SdkTrace::PointerText(
                   static_cast<FormatLayer*>(static_cast<CCryptoGraphicKey*>(key.Get())))
            .str();
    }
    std::wstring In(const std::wstring& label, const std::wstring& values) {
        return L"IN:\t[" + label + L"]\t[" + PublicationAddress() + L"]\t" + values;
    }
    std::wstring Out(const std::wstring& label, const std::wstring& values) {
        return L"OUT:\t[" + label + L"]\t[" + PublicationAddress() + L"]\t" + values;
    }

    // The IDs of list property `name` of the host object (none when absent), and its flags.
    std::optional<RelTest::IdList> Ids(const wchar_t* name) {
        return RelTest::IdsOf(RelTest::BagOf(host.Get()).Get(), name);
    }
    long Flags(const wchar_t* name) { return FlagsOf(RelTest::BagOf(host.Get()).Get(), name); }

    // The bag of the host object's processing info.
    Microsoft::WRL::ComPtr<ISProperties> ProcessingBag() {
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        EXPECT_HR(S_OK, host->get_ProcessingInfo(&info));
        Microsoft::WRL::ComPtr<ISProperties> bag;
        if (info) {
            EXPECT_HR(S_OK, info->get_Properties(&bag));
        }
        return bag;
    }
    HRESULT ReadProcessing(const wchar_t* name, ComLib::ScopedVariant& value) {
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        const HRESULT hr = host->get_ProcessingInfo(&info);
        if (FAILED(hr)) return hr;
        return info->get_Property(ComLib::ScopedBstr(name).Get(), value.Receive());
    }
    void SetProcessing(const wchar_t* name, const VARIANT& value) {
        Microsoft::WRL::ComPtr<ISProcessingInfo> info;
        ASSERT_HR(S_OK, host->get_ProcessingInfo(&info));
        ASSERT_HR(S_OK, info->put_Property(ComLib::ScopedBstr(name).Get(), value));
    }
    static Microsoft::WRL::ComPtr<ISProperties> Nested(ISProperties* bag, const wchar_t* name) {
        auto property = PropertyOf(bag, name);
        Microsoft::WRL::ComPtr<ISProperties> nested;
        if (property) {
            EXPECT_HR(S_OK, property->get_Properties(&nested));
        }
        return nested;
    }
    // Value of property `name` of bag (VT_EMPTY when absent).
    static void Value(ISProperties* bag, const wchar_t* name, ComLib::ScopedVariant& value) {
        auto property = PropertyOf(bag, name);
        if (property) {
            EXPECT_HR(S_OK, property->get_Value(value.Receive()));
        }
    }

    // Set to false in a derived SetUp before calling this SetUp: the object stays uninitialised.
    bool initialise = true;
    Microsoft::WRL::ComPtr<ISPublicationInfo> pub;
    Microsoft::WRL::ComPtr<ISDesktopPlugin> plugin;
};
