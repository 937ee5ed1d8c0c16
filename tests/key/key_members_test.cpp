// The key members over the host object's property bag: getters, rekey commands, the compromise
// command, their failures and their trace lines.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "pravhelper500.h"
#include "support/host_fixture.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;

namespace {

constexpr HRESULT kStateRefused = static_cast<HRESULT>(0x80042A90);
constexpr HRESULT kAbsent = static_cast<HRESULT>(0x80042A37);

std::wstring Hex(const void* p) { return SdkTrace::PointerText(p).str(); }
// The address the key class writes in its trace lines.
std::wstring Hex(ISCryptoGraphicKey* key) { return Hex(static_cast<const void*>(static_cast<CCryptoGraphicKey*>(key))); }

class KeyMembersTest : public HostedKeyTest {
protected:
    void SetUp() override {
        HostedKeyTest::SetUp();
        SetText(WP_SI_VALUE_W, L"secret-key");
        SetText(WP_SI_DERIVED_KEY_W, L"derived-key");
        SetI4(WP_SI_KEY_STATE_W, DEACTIVATED);
        SetI2(WP_SI_IS_COMPROMISED_W, 0);
        ASSERT_EQ(S_OK, Initialize());
    }
    long StoredState() {
        ScopedVariant v;
        EXPECT_EQ(S_OK, Read(WP_SI_KEY_STATE_W, v));
        EXPECT_EQ(VT_I4, v.Type());
        return V_I4(&v.Get());
    }
};

// Every member behaves the same through each key interface.
TEST_F(KeyMembersTest, GettersThroughAllThreeInterfaces) {
    auto base = Face<ISCryptoGraphicKeyBase>(key.Get());
    auto derived = Face<ISDerivedKey>(key.Get());
    const auto stateAndDerivedKey = [](auto* face) {
        KvKeyState state{};
        EXPECT_EQ(S_OK, face->get_KeyState(&state));
        EXPECT_EQ(DEACTIVATED, state);
        ScopedBstr text;
        EXPECT_EQ(S_OK, face->get_DerivedKey(text.Receive()));
        EXPECT_STREQ(L"derived-key", text.Get());
    };
    const auto valueAndFlag = [](auto* face) {
        ScopedBstr text;
        EXPECT_EQ(S_OK, face->get_KeyValue(text.Receive()));
        EXPECT_STREQ(L"secret-key", text.Get());
        VARIANT_BOOL compromised = 5;
        EXPECT_EQ(S_OK, face->get_isCompromised(&compromised));
        EXPECT_EQ(VARIANT_FALSE, compromised);
    };
    stateAndDerivedKey(base.Get());
    stateAndDerivedKey(derived.Get());
    stateAndDerivedKey(key.Get());
    valueAndFlag(base.Get());
    valueAndFlag(key.Get());

    // The commands through the narrow interface and the flattened one reach the same state.
    EXPECT_EQ(S_OK, base->StartRekey());
    EXPECT_EQ(kStateRefused, key->StartRekey());
    EXPECT_EQ(S_OK, key->SuspendRekey());
    EXPECT_EQ(S_OK, base->ResumeRekey());
    EXPECT_EQ(REKEY_IN_PROGRESS, StoredState());
}

TEST_F(KeyMembersTest, StoredValuesAreConvertedToTheMembersType) {
    SetI4(WP_SI_KEY_STATE_W, 7);  // outside the enumeration: handed out unchanged
    KvKeyState state{};
    EXPECT_EQ(S_OK, key->get_KeyState(&state));
    EXPECT_EQ(7, state);

    SetI4(WP_SI_VALUE_W, 12345);
    ScopedBstr text;
    EXPECT_EQ(S_OK, key->get_KeyValue(text.Receive()));
    EXPECT_STREQ(L"12345", text.Get());

    struct {
        VARTYPE type;
        long value;
        VARIANT_BOOL expected;
    } flags[] = {{VT_I2, 0, VARIANT_FALSE}, {VT_I2, 1, VARIANT_TRUE}, {VT_I2, -1, VARIANT_TRUE},
                 {VT_I4, 1, VARIANT_TRUE}, {VT_I4, -1, VARIANT_TRUE}, {VT_I4, 0, VARIANT_FALSE}};
    for (const auto& f : flags) {
        ScopedVariant v;
        if (f.type == VT_I2)
            v.SetI2(static_cast<short>(f.value));
        else
            v.SetI4(f.value);
        SetValue(WP_SI_IS_COMPROMISED_W, v.Get());
        VARIANT_BOOL result = 5;
        EXPECT_EQ(S_OK, key->get_isCompromised(&result));
        EXPECT_EQ(f.expected, result) << "type " << f.type << " value " << f.value;
    }
}

TEST_F(KeyMembersTest, UnconvertibleValuesFailWithTheConversionStatusAndHandOutNothing) {
    SetText(WP_SI_KEY_STATE_W, L"not a number");
    KvKeyState state = static_cast<KvKeyState>(0x55);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, key->get_KeyState(&state));
    EXPECT_EQ(0x55, state);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, key->StartRekey());
    ScopedVariant stored;
    ASSERT_EQ(S_OK, Read(WP_SI_KEY_STATE_W, stored));
    EXPECT_EQ(VT_BSTR, stored.Type());  // nothing was written

    SetText(WP_SI_CREATION_TIME_W, L"no date");
    long period = 0x1234;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, key->get_ActivePeriodInMilliseconds(&period));
    EXPECT_EQ(0x1234, period);
}

TEST_F(KeyMembersTest, NullOutputsAreRefusedWithoutReadingTheBag) {
    TraceCapture capture;
    RefHost::EnableCallLog(true);
    EXPECT_EQ(E_POINTER, key->get_KeyValue(nullptr));
    EXPECT_EQ(E_POINTER, key->get_KeyState(nullptr));
    EXPECT_EQ(E_POINTER, key->get_DerivedKey(nullptr));
    EXPECT_EQ(E_POINTER, key->get_isCompromised(nullptr));
    EXPECT_EQ(E_POINTER, key->get_ActivePeriodInMilliseconds(nullptr));
    EXPECT_EQ(0u, RefHost::CallLog().size());
    ASSERT_EQ(5u, capture.asserts.size());
    EXPECT_EQ(L"Invalid pointer strKeyValue", capture.asserts[0].message);
}

TEST_F(KeyMembersTest, RekeyTransitionsAndRefusals) {
    EXPECT_EQ(kStateRefused, key->SuspendRekey());
    EXPECT_EQ(kStateRefused, key->ResumeRekey());
    EXPECT_EQ(DEACTIVATED, StoredState());

    EXPECT_EQ(S_OK, key->StartRekey());
    EXPECT_EQ(REKEY_IN_PROGRESS, StoredState());
    EXPECT_EQ(kStateRefused, key->StartRekey());
    EXPECT_EQ(S_OK, key->SuspendRekey());
    EXPECT_EQ(REKEY_SUSPENDED, StoredState());
    EXPECT_EQ(S_OK, key->ResumeRekey());
    EXPECT_EQ(REKEY_IN_PROGRESS, StoredState());

    for (long state : {ACTIVE, DEACTIVATED, REVOKED}) {
        SetI4(WP_SI_KEY_STATE_W, state);
        TraceCapture capture;
        capture.TraceAll();
        EXPECT_EQ(kStateRefused, key->ResumeRekey());
        EXPECT_EQ(state, StoredState());
        ASSERT_EQ(2u, capture.lines.size());
        EXPECT_EQ(L"OUT:\t[CCryptoGraphicKey::ResumeRekey]\t[" + Hex(key.Get()) +
                      L"]\t[0x80042A90]\t[" + std::to_wstring(state) + L"]",
                  capture.lines[1].text);
    }
}

TEST_F(KeyMembersTest, SetCompromisedWritesA16BitTrueAndKeepsTheState) {
    for (long state : {DEACTIVATED, REVOKED, REKEY_SUSPENDED}) {
        SetI4(WP_SI_KEY_STATE_W, state);
        SetI2(WP_SI_IS_COMPROMISED_W, 0);
        EXPECT_EQ(S_OK, key->SetCompromised());
        ScopedVariant flag;
        ASSERT_EQ(S_OK, Read(WP_SI_IS_COMPROMISED_W, flag));
        EXPECT_EQ(VT_I2, flag.Type());
        EXPECT_EQ(-1, V_I2(&flag.Get()));
        EXPECT_EQ(state, StoredState());
        VARIANT_BOOL compromised = 0;
        EXPECT_EQ(S_OK, key->get_isCompromised(&compromised));
        EXPECT_EQ(VARIANT_TRUE, compromised);
    }
    SetI4(WP_SI_KEY_STATE_W, ACTIVE);
    SetI2(WP_SI_IS_COMPROMISED_W, 0);
    EXPECT_EQ(kStateRefused, key->SetCompromised());
    ScopedVariant flag;
    ASSERT_EQ(S_OK, Read(WP_SI_IS_COMPROMISED_W, flag));
    EXPECT_EQ(0, V_I2(&flag.Get()));
}

TEST_F(KeyMembersTest, SetCompromisedNeverCreatesTheFlagNorGuessesTheState) {
    auto bag = Fetch(host.Get(), &ISInfoObject::get_Properties);
    ScopedVariant name;
    ASSERT_EQ(S_OK, name.SetBstr(WP_SI_IS_COMPROMISED_W));
    ASSERT_EQ(S_OK, bag->Remove(name.Get()));
    EXPECT_EQ(kAbsent, key->SetCompromised());
    VARIANT_BOOL compromised = 5;
    EXPECT_EQ(kAbsent, key->get_isCompromised(&compromised));
    EXPECT_EQ(5, compromised);
    ScopedVariant absent;
    EXPECT_EQ(kAbsent, Read(WP_SI_IS_COMPROMISED_W, absent));

    // Its own read of the state fails: that failure is returned and nothing is written.
    SetI2(WP_SI_IS_COMPROMISED_W, 0);
    ASSERT_EQ(S_OK, name.SetBstr(WP_SI_KEY_STATE_W));
    ASSERT_EQ(S_OK, bag->Remove(name.Get()));
    EXPECT_EQ(kAbsent, key->SetCompromised());
    ScopedVariant flag;
    ASSERT_EQ(S_OK, Read(WP_SI_IS_COMPROMISED_W, flag));
    EXPECT_EQ(0, V_I2(&flag.Get()));
}

TEST_F(KeyMembersTest, HostFailuresAreReturnedUnchanged) {
    constexpr HRESULT kHostDown = static_cast<HRESULT>(0x8004BEEF);
    ASSERT_EQ(S_OK, RefHost::InjectFault(host.Get(), "ISInfoObject::get_Properties", kHostDown));
    KvKeyState state = static_cast<KvKeyState>(0x55);
    EXPECT_EQ(kHostDown, key->get_KeyState(&state));
    EXPECT_EQ(0x55, state);

    auto bag = Fetch(host.Get(), &ISInfoObject::get_Properties);
    ASSERT_EQ(S_OK, RefHost::InjectFault(bag.Get(), "ISProperties::get_Item", kHostDown));
    EXPECT_EQ(kHostDown, key->StartRekey());
    EXPECT_EQ(DEACTIVATED, StoredState());

    ASSERT_EQ(S_OK, RefHost::InjectFault(nullptr, "ISProperty::get_Value", kHostDown));
    ScopedBstr text;
    EXPECT_EQ(kHostDown, key->get_DerivedKey(text.Receive()));
    EXPECT_EQ(nullptr, text.Get());

    ASSERT_EQ(S_OK, RefHost::InjectFault(nullptr, "ISProperty::put_Value", kHostDown));
    EXPECT_EQ(kHostDown, key->StartRekey());
    EXPECT_EQ(DEACTIVATED, StoredState());
}

// The key value is never traced; SetCompromised traces its nested read of the state.
TEST_F(KeyMembersTest, TraceLines) {
    TraceCapture capture;
    capture.TraceAll();
    ScopedBstr value;
    KvKeyState state{};
    ASSERT_EQ(S_OK, key->get_KeyValue(value.Receive()));
    ASSERT_EQ(S_OK, key->get_KeyState(&state));
    ASSERT_EQ(S_OK, key->SetCompromised());
    const std::wstring addr = L"]\t[" + Hex(key.Get()) + L"]\t[";
    const std::wstring expected[] = {
        L"IN:\t[CCryptoGraphicKey::get_KeyValue" + addr + L"-]\t",
        L"OUT:\t[CCryptoGraphicKey::get_KeyValue" + addr + L"0]\t[***]",
        L"IN:\t[CCryptoGraphicKey::get_KeyState" + addr + L"-]\t",
        L"OUT:\t[CCryptoGraphicKey::get_KeyState" + addr + L"0]\t[2]",
        L"IN:\t[CCryptoGraphicKey::SetCompromised" + addr + L"-]\t",
        L"IN:\t[CCryptoGraphicKey::get_KeyState" + addr + L"-]\t",
        L"OUT:\t[CCryptoGraphicKey::get_KeyState" + addr + L"0]\t[2]",
        L"OUT:\t[CCryptoGraphicKey::SetCompromised" + addr + L"0]\t",
    };
    ASSERT_EQ(std::size(expected), capture.lines.size());
    for (size_t i = 0; i < capture.lines.size(); ++i) {
        EXPECT_EQ(expected[i], capture.lines[i].text);
        EXPECT_EQ("CCryptoGraphicKey", capture.lines[i].file);
    }
}

// The active period counts whole dates, not only the time of day, and saturates at the 32-bit
// range; every date from the first to the last a date can name is valid, a value that is no date
// at all is refused and leaves the output alone.
TEST_F(KeyMembersTest, ActivePeriodCountsWholeDatesAndSaturates) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    DATE today = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&now, &today));
    constexpr long kUntouched = 1234;
    const struct {
        DATE created;
        HRESULT status;
        long period;
        double tolerance;
    } cases[] = {
        {today - 1.0 / 24, S_OK, 3600000, 5000.0},
        {today - 2.0, S_OK, 2 * 86400000, 5000.0},
        {today + 1.0, S_OK, 0, 0},              // created in the future
        {today - 365.0, S_OK, 0x7FFFFFFF, 0},   // beyond the 32-bit range
        {-150000.0, S_OK, 0x7FFFFFFF, 0},       // year 1489: saturates like any old date
        {-657434.0, S_OK, 0x7FFFFFFF, 0},       // the first day a date can name
        {2958465.0, S_OK, 0, 0},                // the last one: in the future
        {std::numeric_limits<double>::quiet_NaN(), E_INVALIDARG, kUntouched, 0},
        {-700000.0, E_INVALIDARG, kUntouched, 0},
        {3e6, E_INVALIDARG, kUntouched, 0},
    };
    for (const auto& c : cases) {
        ScopedVariant v;
        V_VT(v.Ptr()) = VT_DATE;
        V_DATE(v.Ptr()) = c.created;
        SetValue(WP_SI_CREATION_TIME_W, v.Get());
        long period = kUntouched;
        EXPECT_EQ(c.status, key->get_ActivePeriodInMilliseconds(&period)) << c.created;
        EXPECT_NEAR(c.period, period, c.tolerance) << c.created;
    }
}

// The check and the write of a rekey command cannot interleave with another command's.
TEST_F(KeyMembersTest, RacingStartRekeyLetsExactlyOneWin) {
    for (int round = 0; round < 20; ++round) {
        SetI4(WP_SI_KEY_STATE_W, DEACTIVATED);
        std::atomic<int> ready{0}, succeeded{0}, refused{0}, other{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                ++ready;
                while (ready.load() < 6) {
                }
                const HRESULT hr = key->StartRekey();
                (hr == S_OK ? succeeded : hr == kStateRefused ? refused : other)++;
                CoUninitialize();
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, succeeded.load());
        EXPECT_EQ(5, refused.load());
        EXPECT_EQ(0, other.load());
        EXPECT_EQ(REKEY_IN_PROGRESS, StoredState());
    }
}

}  // namespace
