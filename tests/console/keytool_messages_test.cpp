// Every message that quotes stored or imported text escapes it (no control character, line break
// or bidirectional control reaches the terminal) and keeps it short (an excerpt, with the length
// of what it cut), whatever path the text takes: import's checks of the file, the repository's
// refusal of an object, damaged stored rows met by show, a change or export, a stored kind,
// verify's checks, the command line.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>

#include "keytool_support.h"

using namespace KeyToolTest;

namespace {

// Drives the terminal (colour, window title, bell, right-to-left override) and is long.
const std::string kHostile = "\x1b[31mRED\x1b]0;owned\x07\xE2\x80\xAE" + std::string(100000, 'A');
const std::string kEscaped = "\\x1b[31mRED\\x1b]0;owned\\x07\\u202e";

Json Property(const std::string& name, const char* type, const Json& value) {
    return {{"name", name}, {"type", type}, {"value", value}};
}

}  // namespace

TEST(KeyToolMessages, HostileTextIsEscapedAndBoundedOnEveryPath) {
    const Json damagedProperty = Json::array({Property(kHostile, "VT_I4", 7)});
    const std::string taken = [] {
        Json keys = Json::array();
        for (long id = 1001; id <= 1040; ++id) keys.push_back(KeyEntry(id, "Taken"));
        return RepositoryText(keys);
    }();
    struct Case {
        const char* name;
        std::string file;                               // keys.json, imported first when no
        bool importFirst;                               // command imports it
        std::function<void(const std::wstring&)> edit;  // then run on keys.db, if any
        std::wstring command;
        DWORD exitCode;
        std::string expected;  // in standard error
    };
    const auto withKey = [&](const Json& extra) {
        return RepositoryText(Json::array({KeyEntry(1001, "Good"), KeyEntry(1002, "Bad", extra)}));
    };
    const auto sql = [](std::string statement) {
        return [statement](const std::wstring& db) { Sql(db, statement); };
    };
    const std::string renamed =
        "UPDATE properties SET type = 8 WHERE object = 1002 AND type = 3 "
        "AND name LIKE '%RED%'";
    Json unknownInObject = KeyEntry(1001, "x");
    unknownInObject[kHostile] = 1;
    Json unknownInProperty = KeyEntry(1001, "x");
    unknownInProperty["properties"][0][kHostile] = 1;
    Json repeated = KeyEntry(
        1001, "x", Json::array({Property(kHostile, "VT_I4", 1), Property(kHostile, "VT_I4", 2)}));
    Json badType = KeyEntry(1001, "x", Json::array({Property(kHostile, "VT_X", 1)}));
    Json kind = KeyEntry(1001, "x");
    kind["kind"] = kHostile;
    kind["properties"][1]["value"] = kHostile;
    Json algorithm =
        KeyEntry(1001, "x", Json::parse(ReadFileBytes(Fixture(L"derived_key_properties.json"))));
    (*FindNamed(algorithm["properties"], "SI_ALGORITHM"))["value"] = kHostile;
    const std::string spaces =
        "{\"format\": \"keytool repository\", \"version\": 1, \"objects\": [" +
        std::string(3 << 20, ' ') + kHostile;
    const Case cases[] = {
        {"import: unknown member of an object", RepositoryText(Json::array({unknownInObject})),
         false, nullptr, L"import keys.json", kRepository, "unknown member \"" + kEscaped},
        {"import: unknown member of a property", RepositoryText(Json::array({unknownInProperty})),
         false, nullptr, L"import keys.json", kRepository, "unknown member \"" + kEscaped},
        {"import: a name twice", RepositoryText(Json::array({repeated})), false, nullptr,
         L"import keys.json", kRepository, "names this property twice"},
        {"import: a property of no known type", RepositoryText(Json::array({badType})), false,
         nullptr, L"import keys.json", kRepository, "(" + kEscaped},
        {"import: not JSON after 3 MB of spaces", spaces, false, nullptr, L"import keys.json",
         kRepository, "it is not complete JSON"},
        {"import: bytes that are not UTF-8", "{\"format\": \"\xff\x1b[2J\"}", false, nullptr,
         L"import keys.json", kRepository, "not a valid repository"},
        {"import: a kind the repository refuses", RepositoryText(Json::array({kind})), false,
         nullptr, L"import keys.json", kRepository, "of kind " + kEscaped},
        {"import: taken IDs", taken, true, nullptr, L"import keys.json", kRefused,
         "holds objects with 40 of the file's IDs already, among them 1001, 1002, 1003, 1004, "
         "1005."},
        {"show: a damaged stored property", withKey(damagedProperty), true, sql(renamed),
         L"show 1002", kRepository, "(" + kEscaped},
        {"deactivate: a damaged stored property", withKey(damagedProperty), true, sql(renamed),
         L"deactivate 1002", kRepository, "(" + kEscaped},
        {"export: a damaged stored property", withKey(damagedProperty), true, sql(renamed),
         L"export --reveal", kRefused, "object 1002 was not exported"},
        {"show: a stored kind", withKey(Json::array()), true,
         sql("UPDATE objects SET kind = '" + kHostile + "' WHERE id = 1002"), L"show 1002",
         kRefused, "object 1002 is a " + kEscaped},
        {"verify: a stored algorithm", RepositoryText(Json::array({algorithm})), true, nullptr,
         L"verify", kRefused, ""},
        {"command line: an unknown command", "", false, nullptr,
         L"\"\x1b[2J\x1b]0;owned\x07" + std::wstring(1000, L'B') + L"\"", kUsage,
         "there is no command '\\x1b[2J\\x1b]0;owned\\x07BBB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Folder folder;
        if (!c.file.empty()) WriteFileBytes(folder.File(L"keys.json"), c.file);
        if (c.importFirst) ASSERT_EQ(kOk, RunKeytool(folder, L"import keys.json").exitCode);
        if (c.edit) c.edit(folder.File(L"keys.db"));
        const Result r = Expect(folder, c.command, c.exitCode, {}, {c.expected});
        EXPECT_TRUE(Safe(r.err)) << r.err;
        EXPECT_TRUE(Safe(r.out)) << r.out.substr(0, 2000);
        EXPECT_LT(r.err.size(), 1500u) << r.err.substr(0, 3000);
        if (c.command == L"verify") {
            EXPECT_TRUE(Contains(r.out, "unknown algorithm '" + kEscaped)) << r.out.substr(0, 2000);
            EXPECT_LT(r.out.size(), 1500u);
        }
        if (c.command == L"export --reveal") {
            // The healthy key is exported all the same.
            const Json exported = Json::parse(r.out);
            ASSERT_EQ(1u, exported["objects"].size());
            EXPECT_EQ(1001, exported["objects"][0]["id"]);
        }
    }
}
