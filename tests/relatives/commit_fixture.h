// A key object over a host object, with the names of its ID lists and journals and the plug-in
// face and committed bag that commit tests look at.
#pragma once

#include "list_helpers.h"
#include "support/host_fixture.h"

namespace RelTest {

inline constexpr wchar_t kCorporate[] = L"SI_CORPORATE_CATEGORIES";
inline constexpr wchar_t kPersonal[] = L"SI_PERSONAL_CATEGORIES";
inline constexpr wchar_t kAdd[] = L"SI_ADM_ADD_SI_CATEGORIES";
inline constexpr wchar_t kDel[] = L"SI_ADM_DEL_SI_CATEGORIES";
inline constexpr wchar_t kScopeBatch[] = L"SI_ARTIFACTS_SCOPEBATCH";
inline constexpr wchar_t kSourceDoc[] = L"SI_ARTIFACTS_SOURCEDOC";
inline constexpr wchar_t kScopeBatchDoc[] = L"SI_ARTIFACTS_SCOPEBATCHDOC";

class CommitFixture : public HostedKeyTest {
protected:
    ComPtr<ISDesktopPlugin> Plugin() {
        ComPtr<ISDesktopPlugin> plugin;
        EXPECT_EQ(S_OK, key.As(&plugin));
        return plugin;
    }
    // A copy of the bag the repository committed for the host object.
    ComPtr<ISProperties> Committed() {
        long id = 0;
        EXPECT_EQ(S_OK, host->get_ID(&id));
        ComPtr<ISProperties> committed;
        EXPECT_EQ(S_OK, repository->CommittedProperties(id, &committed));
        return committed;
    }
};

}  // namespace RelTest
