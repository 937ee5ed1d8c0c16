// IDs as a real repository hands them out: keys under IDs from 1 to 2,147,483,647 are imported,
// listed, shown, changed and exported like any other, at a cost that does not grow with the ID,
// and new keys go on above the highest; after 2,147,483,647 a new key takes a free ID.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "keytool_support.h"

using namespace KeyToolTest;

namespace {

// A key made by keytool, under each of `ids` (its material and derivation as made).
std::string KeysUnder(std::initializer_list<long> ids) {
    Folder source;
    EXPECT_EQ(kOk, RunKeytool(source, L"create Template").exitCode);
    const Json made = Export(source)["objects"][0];
    Json objects = Json::array();
    for (const long id : ids) {
        Json key = made;
        key["id"] = id;
        key["title"] = "Key " + std::to_string(id);
        for (Json& property : key["properties"]) {
            if (property["name"] == "SI_ID") property["value"] = id;
            if (property["name"] == "SI_NAME") property["value"] = key["title"];
        }
        objects.push_back(key);
    }
    return RepositoryText(objects);
}

// Runs a command that must succeed; its output, and its time in seconds in `seconds`.
Result Timed(const Folder& folder, const std::wstring& command, double& seconds) {
    const ULONGLONG start = GetTickCount64();
    const Result r = Expect(folder, command, kOk);
    seconds = (GetTickCount64() - start) / 1000.0;
    return r;
}

}  // namespace

TEST(KeyToolIds, IdsUpToTheLastWorkLikeAnyOther) {
    Folder folder;
    WriteFileBytes(folder.File(L"keys.json"), KeysUnder({1, 1000000, 2000000000}));
    // Imported, listed (the columns stay aligned for IDs of ten digits), changed and verified;
    // new keys go on above the highest.
    RunSteps(folder, "ids up to 2000000000");
    EXPECT_EQ(
        Json::array({1000000}),
        Json::parse(
            Expect(folder, L"show 2000000000 --json", kOk).out)["key"]["categories"]["corporate"]);
    // show costs what it costs for a small ID.
    double small = 0, large = 0;
    Timed(folder, L"show 1", small);
    EXPECT_TRUE(Contains(Timed(folder, L"show 2000000000", large).out,
                         "Key 2000000000 \"Key 2000000000\""));
    EXPECT_LT(large, small * 3 + 2) << "show of a high ID is slow";

    // With a key under the last ID, a new key takes the lowest free ID from 1001 on.
    WriteFileBytes(folder.File(L"keys.json"), KeysUnder({1001, 1002, 2147483647}));
    Expect(folder, L"import keys.json", kOk);
    Expect(folder, L"show 2147483647", kOk, {"Key 2147483647 "});
    Expect(folder, L"deactivate 2147483647", kOk);
    Expect(folder, L"create Free", kOk, {"Created key 1003 \"Free\""},
           {"the new key takes the lowest free ID, 1003"});
    Expect(folder, L"create Another", kOk, {"Created key 1004 "});
    Expect(folder, L"list", kOk, {"\n2147483647  DEACTIVATED "});

    const Json exported = Export(folder);
    std::vector<long> ids;
    for (const Json& object : exported["objects"]) ids.push_back(object["id"]);
    EXPECT_EQ(
        (std::vector<long>{1, 1001, 1002, 1003, 1004, 1000000, 2000000000, 2000000001, 2147483647}),
        ids);
    // The export imports again into a new repository, high IDs and all.
    Folder copy;
    WriteFileBytes(copy.File(L"all.json"), exported.dump(2));
    Expect(copy, L"import all.json", kOk);
    EXPECT_EQ(exported["objects"].size(), Export(copy)["objects"].size());
}
