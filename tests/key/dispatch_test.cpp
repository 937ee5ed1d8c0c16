// Late-bound calls of the key object through IDispatch::Invoke: the arguments a member cannot take
// are refused before the call reaches the platform's dispatcher, and whatever it can take reaches
// the member.
#include <gtest/gtest.h>

#include "pravhelper500.h"
#include "support/host_fixture.h"

using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;
using namespace Pravhelper500;

namespace {

constexpr DISPID kKeyState = 202;

class DispatchTest : public HostedKeyTest {
protected:
    void SetUp() override {
        HostedKeyTest::SetUp();
        SetI4(WP_SI_KEY_STATE_W, DEACTIVATED);
        ASSERT_EQ(S_OK, Initialize());
        ASSERT_EQ(S_OK, key.As(&dispatch));
    }
    void TearDown() override {
        dispatch.Reset();
        HostedKeyTest::TearDown();
    }
    // Invoke with the arguments in call order (a put names its argument as the value); the result
    // lands in *result.
    HRESULT Call(DISPID id, WORD flags, std::vector<VARIANT> arguments, ScopedVariant* result) {
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
        DISPID named = DISPID_PROPERTYPUT;
        const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
        DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), put ? &named : nullptr,
                          static_cast<UINT>(reversed.size()), put ? 1u : 0u};
        EXCEPINFO exception{};
        UINT bad = 0;
        const HRESULT hr = dispatch->Invoke(id, IID_NULL, 0, flags, &params,
                                            result ? result->Receive() : nullptr, &exception, &bad);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        return hr;
    }
    static VARIANT I4(long value) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = value;
        return v;
    }

    ComPtr<IDispatch> dispatch;
};

TEST_F(DispatchTest, GetterTakesNoArgumentBesidesItsResult) {
    ScopedVariant result;
    ASSERT_EQ(S_OK, Call(kKeyState, DISPATCH_PROPERTYGET, {}, &result));
    EXPECT_EQ(VT_I4, result.Type());
    EXPECT_EQ(DEACTIVATED, V_I4(&result.Get()));

    // One argument in the place of the result, when it is no pointer to the result, is one too
    // many; so are two.
    ScopedVariant unused;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kKeyState, DISPATCH_PROPERTYGET, {I4(1)}, &unused));
    VARIANT nullReference;
    VariantInit(&nullReference);
    V_VT(&nullReference) = VT_I4 | VT_BYREF;
    V_I4REF(&nullReference) = nullptr;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Call(kKeyState, DISPATCH_PROPERTYGET, {nullReference}, &unused));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              Call(kKeyState, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {I4(1), I4(2)}, &unused));
    EXPECT_EQ(VT_EMPTY, unused.Type());
}

// As many arguments as the member has parameters reach the member: a put of the title.
TEST_F(DispatchTest, AsManyArgumentsAsParametersReachTheMember) {
    LPOLESTR name = const_cast<LPOLESTR>(L"Title");
    DISPID title = 0;
    ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &title));
    ScopedVariant text;
    ASSERT_EQ(S_OK, text.SetBstr(L"Renamed"));
    EXPECT_EQ(S_OK, Call(title, DISPATCH_PROPERTYPUT, {text.Get()}, nullptr));
    ComLib::ScopedBstr stored;
    ASSERT_EQ(S_OK, host->get_Title(stored.Receive()));
    EXPECT_STREQ(L"Renamed", stored.Get());
}

TEST_F(DispatchTest, UnknownMembersAndKindsAreNotFound) {
    ScopedVariant result;
    // An id no interface of the chain (the key's, IDispatch, IUnknown) has, with arguments.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(9999, DISPATCH_METHOD, {I4(1)}, &result));
    // The key state cannot be set by reference, nor set at all.
    for (WORD flags : {WORD{DISPATCH_PROPERTYPUTREF}, WORD{DISPATCH_PROPERTYPUT}})
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(kKeyState, flags, {I4(ACTIVE)}, nullptr)) << flags;
    ScopedVariant stored;
    ASSERT_EQ(S_OK, Read(WP_SI_KEY_STATE_W, stored));
    EXPECT_EQ(DEACTIVATED, V_I4(&stored.Get()));
    // One type description, at index 0 only.
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, 0, &info));
}

}  // namespace
