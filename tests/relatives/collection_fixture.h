// A relative-ID collection over the corporate-category list of a new reference-host object, and
// the checks each such test ends with.
#pragma once

#include <gtest/gtest.h>

#include "list_helpers.h"

namespace RelTest {

class CollectionTest : public ::testing::Test {
protected:
    static constexpr const wchar_t* kList = L"SI_CORPORATE_CATEGORIES";
    static constexpr const wchar_t* kAdd = L"SI_ADM_ADD_SI_CORPORATE_CATEGORIES";
    static constexpr const wchar_t* kDel = L"SI_ADM_DEL_SI_CORPORATE_CATEGORIES";

    void SetUp() override {
        repository = RefHost::CreateRepository();
        ASSERT_EQ(S_OK, repository->NewObject(L"CryptoGraphicKey", &host));
        bag = BagOf(host.Get());
    }
    void TearDown() override {
        bag.Reset();
        host.Reset();
        repository.reset();
        RefHost::ClearFaults();
        EXPECT_EQ(0, RefHost::LiveObjectCount());
        EXPECT_EQ(0, ComLib::_Module.GetLockCount());
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

    std::shared_ptr<RefHost::Repository> repository;
    ComPtr<ISInfoObject> host;
    ComPtr<ISProperties> bag;
};

}  // namespace RelTest
