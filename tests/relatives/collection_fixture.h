// A relative-ID collection over the corporate-category list of a new reference-host object (the
// key object beside it is not used), and the checks each such test ends with.
#pragma once

#include <gtest/gtest.h>

#include "list_helpers.h"
#include "support/host_fixture.h"

namespace RelTest {

class CollectionTest : public HostedKeyTest {
protected:
    static constexpr const wchar_t* kList = L"SI_CORPORATE_CATEGORIES";
    static constexpr const wchar_t* kAdd = L"SI_ADM_ADD_SI_CORPORATE_CATEGORIES";
    static constexpr const wchar_t* kDel = L"SI_ADM_DEL_SI_CORPORATE_CATEGORIES";

    void SetUp() override {
        HostedKeyTest::SetUp();
        bag = BagOf(host.Get());
    }
    void TearDown() override {
        bag.Reset();
        HostedKeyTest::TearDown();
    }
    ComPtr<ISObjectRelativeIDs> Create() {
        ComPtr<ISObjectRelativeIDs> ids;
        EXPECT_HR(S_OK, CreateRelativeIDs(kList, host.Get(), 1033, L"", L"", &ids));
        return ids;
    }
    std::optional<IdList> Host(const wchar_t* name) { return IdsOf(bag.Get(), name); }
    void Fail(IUnknown* object, const char* method, unsigned nth = 1) {
        ASSERT_EQ(S_OK, RefHost::InjectFault(object, method, E_ACCESSDENIED,
                                             RefHost::FaultMode::NthCall, nth));
    }

    ComPtr<ISProperties> bag;
};

}  // namespace RelTest
