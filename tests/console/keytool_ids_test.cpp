// IDs as a real repository hands them out: keys under IDs from 1 to 2,147,483,647 are imported,
// listed, shown, changed and exported like any other, at a cost that does not grow with the ID,
// and new keys go on above the highest; after 2,147,483,647 a new key takes a free ID.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

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

double Seconds(const Folder& folder, const std::wstring& command, Result* result = nullptr) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const Result r = RunKeytool(folder, command);
    QueryPerformanceCounter(&end);
    EXPECT_RUN(r, kOk);
    if (result != nullptr) *result = r;
    return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

}  // namespace

TEST(KeyToolIds, IdsUpToTwoBillionWorkLikeAnyOther) {
    Folder folder;
    WriteFileBytes(folder.File(L"keys.json"), KeysUnder({1, 1000000, 2000000000}));
    Result r = RunKeytool(folder, L"import keys.json");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Imported 3 object(s) (3 key(s))")) << r.out;

    // list: the columns stay aligned for IDs of ten digits.
    r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "ID          STATE")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\n1           ACTIVE ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\n1000000     ACTIVE ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\n2000000000  ACTIVE ")) << r.out;

    // show and a change cost what they cost for a small ID.
    const double small = Seconds(folder, L"show 1");
    const double large = Seconds(folder, L"show 2000000000", &r);
    EXPECT_TRUE(Contains(r.out, "Key 2000000000 \"Key 2000000000\"")) << r.out;
    EXPECT_LT(large, small * 3 + 2) << "show of a high ID is slow";
    Seconds(folder, L"deactivate 1000000", &r);
    EXPECT_TRUE(Contains(r.out, "Key 1000000: ACTIVE -> DEACTIVATED.")) << r.out;
    Seconds(folder, L"add-category 2000000000 1000000", &r);
    Seconds(folder, L"show 2000000000 --json", &r);
    EXPECT_EQ(Json::array({1000000}), Json::parse(r.out)["key"]["categories"]["corporate"]);
    Seconds(folder, L"verify", &r);
    EXPECT_TRUE(Contains(r.out, "Verified 3 key(s): all match.")) << r.out;

    // New keys go on above the highest.
    r = RunKeytool(folder, L"create Next");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Created key 2000000001 ")) << r.out;
    const Json exported = Export(folder);
    ASSERT_EQ(4u, exported["objects"].size());
    EXPECT_EQ(1000000, exported["objects"][1]["id"]);
    EXPECT_EQ(2000000000, exported["objects"][2]["id"]);
    EXPECT_EQ(2000000001, exported["objects"][3]["id"]);
    // The export imports again into a new repository, high IDs and all.
    Folder copy;
    WriteFileBytes(copy.File(L"all.json"), exported.dump(2));
    EXPECT_RUN(RunKeytool(copy, L"import all.json"), kOk);
    EXPECT_EQ(exported["objects"].size(), Export(copy)["objects"].size());
}

TEST(KeyToolIds, AfterTheLastIdANewKeyTakesAFreeOne) {
    Folder folder;
    WriteFileBytes(folder.File(L"keys.json"), KeysUnder({1, 1001, 1002, 2147483647}));
    EXPECT_RUN(RunKeytool(folder, L"import keys.json"), kOk);
    Result r = RunKeytool(folder, L"show 2147483647");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Key 2147483647 ")) << r.out;
    EXPECT_RUN(RunKeytool(folder, L"deactivate 2147483647"), kOk);

    r = RunKeytool(folder, L"create Free");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Created key 1003 \"Free\"")) << r.out;
    EXPECT_TRUE(Contains(r.err, "the new key takes the lowest free ID, 1003")) << r.err;
    r = RunKeytool(folder, L"create Another");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Created key 1004 ")) << r.out;
    r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "\n2147483647  DEACTIVATED ")) << r.out;
    EXPECT_EQ(6u, Export(folder)["objects"].size());
}
