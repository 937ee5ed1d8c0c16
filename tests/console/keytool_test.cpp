// keytool.exe driven as a user drives it: sessions with every transition and every refusal, the
// key material, categories, the command line, the database across runs, import and export,
// malformed and foreign files, crashes and kills during a change, concurrent runs, every key in
// list, escaping, verify, JSON output, registration and tracing.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "keytool_support.h"

using namespace KeyToolTest;

namespace {

// Hex (decoded here: Wine's CryptStringToBinaryW does not read CRYPT_STRING_HEXRAW) or Base64.
std::vector<BYTE> Decode(const std::string& text, DWORD flags) {
    if (flags == CRYPT_STRING_HEXRAW) {
        std::vector<BYTE> bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
        return bytes;
    }
    const std::wstring wide(text.begin(), text.end());
    std::vector<BYTE> bytes(text.size());
    DWORD size = static_cast<DWORD>(bytes.size());
    if (!CryptStringToBinaryW(wide.c_str(), 0, flags, bytes.data(), &size, nullptr, nullptr))
        return {};
    bytes.resize(size);
    return bytes;
}

// The "show" text without its active-period line, which moves with the clock.
std::string WithoutPeriod(const std::string& text) {
    return std::regex_replace(text, std::regex("[^\n]*active period[^\n]*\n"), "");
}

}  // namespace

// Two keys through every command; each refusal names the operation and the status, exits 1 and
// leaves the repository file as it was.
TEST(KeyToolSession, TransitionsAndRefusals) {
    Folder folder;
    Expect(folder, L"create \"Payroll key\"", kOk,
           {"Created key 1001 \"Payroll key\": ACTIVE since "}, {"created a new repository"});
    RunSteps(folder, "session");

    // The host's writes and the plug-in's writes, as the repository keeps them.
    const Json root = Export(folder);
    const Json& archive = (*FindObject(root, 1002))["properties"];
    EXPECT_EQ(Json({{"name", "SI_KEY_STATE"}, {"type", "VT_I4"}, {"value", 5}}),
              *FindProperty(archive, "SI_KEY_STATE"));
    EXPECT_EQ(Json({{"name", "SI_IS_COMPROMISED"}, {"type", "VT_I2"}, {"value", -1}}),
              *FindProperty(archive, "SI_IS_COMPROMISED"));
    EXPECT_EQ(nullptr, FindProperty(archive, "SI_NEWOBJECT"));
}

// The value comes from the random generator, the derived key is PBKDF2-HMAC-SHA-256 of it,
// neither is printed unless --reveal asks for it, and verify finds every key whose material does
// not match.
TEST(KeyToolSession, KeyMaterialIsDerivedHiddenAndVerified) {
    Folder folder;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE before = 0;
    SystemTimeToVariantTime(&now, &before);
    std::string printed;
    for (const wchar_t* command :
         {L"create Hex", L"create B64 --base64", L"create Hex2", L"list", L"verify",
          L"verify --json", L"list --json", L"show 1001 --json", L"export"}) {
        const Result r = Expect(folder, command, kOk);
        printed += r.out + r.err;
    }
    for (const wchar_t* command : {L"show 1001", L"show 1002"})
        printed += Expect(folder, command, kOk,
                          {"key value:            (hidden; add --reveal to print it)"})
                       .out;
    EXPECT_TRUE(Contains(printed, "\"key material\": \"left out\"")) << printed;
    EXPECT_TRUE(Contains(printed, "Verified 3 key(s): all match.")) << printed;

    const Json root = Export(folder);
    std::vector<std::string> values;
    for (long id : {1001L, 1002L, 1003L}) {
        SCOPED_TRACE(id);
        const Json& properties = (*FindObject(root, id))["properties"];
        const bool hex = id != 1002;
        const std::string value = (*FindProperty(properties, "SI_VALUE"))["value"];
        const std::string derived = (*FindProperty(properties, "SI_DERIVED_KEY"))["value"];
        const Json& derivation = (*FindProperty(properties, "SI_KEY_DERIVATION"))["properties"];
        const std::string salt = (*FindProperty(derivation, "SI_SALT"))["value"];
        EXPECT_EQ(100000, (*FindProperty(derivation, "SI_ITERATIONS"))["value"]);
        EXPECT_EQ(hex ? "hex" : "base64", (*FindProperty(derivation, "SI_ENCODING"))["value"]);
        EXPECT_EQ(hex ? 64u : 44u, value.size()) << value;
        const DWORD flags = hex ? CRYPT_STRING_HEXRAW : CRYPT_STRING_BASE64;
        std::vector<BYTE> valueBytes = Decode(value, flags);
        std::vector<BYTE> saltBytes = Decode(salt, flags);
        ASSERT_EQ(32u, valueBytes.size());
        ASSERT_EQ(16u, saltBytes.size());

        BCRYPT_ALG_HANDLE hmac = nullptr;
        ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                 BCRYPT_ALG_HANDLE_HMAC_FLAG));
        std::vector<BYTE> expected(32);
        EXPECT_EQ(0, BCryptDeriveKeyPBKDF2(hmac, valueBytes.data(), 32, saltBytes.data(), 16,
                                           100000, expected.data(), 32, 0));
        BCryptCloseAlgorithmProvider(hmac, 0);
        EXPECT_EQ(expected, Decode(derived, flags));

        EXPECT_EQ(Json({{"name", "SI_KEY_STATE"}, {"type", "VT_I4"}, {"value", 1}}),
                  *FindProperty(properties, "SI_KEY_STATE"));
        EXPECT_EQ(Json({{"name", "SI_IS_COMPROMISED"}, {"type", "VT_I2"}, {"value", 0}}),
                  *FindProperty(properties, "SI_IS_COMPROMISED"));
        EXPECT_EQ("application/x-cryptographic-key",
                  (*FindProperty(properties, "SI_MIMETYPE"))["value"]);
        const Json& created = *FindProperty(properties, "SI_CREATION_TIME");
        EXPECT_EQ("VT_DATE", created["type"]);
        const double createdAt = created["value"];
        EXPECT_GE(createdAt, before - 1.0 / 86400);
        EXPECT_LE(createdAt, before + 5.0 / 1440);

        EXPECT_FALSE(Contains(printed, value)) << "the key value was printed";
        EXPECT_FALSE(Contains(printed, derived)) << "the derived key was printed";
        const std::wstring show = L"show " + std::to_wstring(id) + L" --reveal";
        Expect(
            folder, show, kOk,
            {"key value:            " + value + "\n", "derived key:          " + derived + "\n"});
        const Json shown = Json::parse(Expect(folder, show + L" --json", kOk).out)["key"];
        EXPECT_EQ(value, shown["value"]);
        EXPECT_EQ(derived, shown["derivedKey"]);
        values.push_back(value);
    }
    EXPECT_NE(values[0], values[2]);

    // verify makes every derived key again and reports each key whose material does not match,
    // without printing any key material: the same keys, damaged one way each, under new IDs.
    Json objects = Json::array();
    std::vector<std::string> secrets;
    const auto damaged = [&](long id, size_t from, auto&& edit) {
        Json key = root["objects"][from];
        key["id"] = id;
        for (Json& p : key["properties"]) {
            if (p["name"] == "SI_ID") p["value"] = id;
            if (p["name"] == "SI_VALUE" || p["name"] == "SI_DERIVED_KEY")
                secrets.push_back(p["value"]);
        }
        edit(key);
        objects.push_back(key);
    };
    const auto property = [](Json& key, const char* name) -> Json& {
        Json* found = FindNamed(key["properties"], name);
        if (found == nullptr) throw std::runtime_error(name);
        return *found;
    };
    damaged(2001, 0, [&](Json& k) {  // a derived key of another value
        std::string& derived = property(k, "SI_DERIVED_KEY")["value"].get_ref<std::string&>();
        derived[0] = derived[0] == 'a' ? 'b' : 'a';
    });
    damaged(2002, 0, [&](Json& k) { property(k, "SI_ITERATIONS")["value"] = 99999; });
    damaged(2003, 1, [&](Json& k) { property(k, "SI_VALUE")["value"] = "not*base64"; });
    damaged(2004, 0, [&](Json& k) { property(k, "SI_ITERATIONS")["value"] = 0; });
    damaged(2005, 1, [&](Json& k) { property(k, "SI_ENCODING")["value"] = "rot13"; });
    WriteFileBytes(folder.File(L"damaged.json"), RepositoryText(objects));
    ASSERT_EQ(kOk, RunKeytool(folder, L"import damaged.json").exitCode);

    const Result r =
        Expect(folder, L"verify", kRefused,
               {"1001    ok ", "1002    ok ",
                "2001    MISMATCH  Hex\n        - derived key: it does not match",
                "2002    MISMATCH", "value encoding: the key value is not valid Base64",
                "the iteration count '0' is not a whole number",
                "value encoding: unknown encoding 'rot13'", "Verified 8 key(s): 5 with problems."});
    for (const std::string& secret : secrets)
        EXPECT_FALSE(Contains(r.out + r.err, secret)) << "key material was printed";

    const Json result = Json::parse(Expect(folder, L"verify 1002 2002 --json", kRefused).out);
    EXPECT_EQ("keytool verify", result["format"]);
    EXPECT_EQ(2, result["checked"]);
    EXPECT_EQ(1, result["failed"]);
    EXPECT_EQ(true, result["keys"][0]["ok"]);
    EXPECT_EQ(false, result["keys"][1]["ok"]);
    Expect(folder, L"verify 1001 1002", kOk);
    Expect(folder, L"verify 4242", kRefused, {"there is no object with ID 4242"});
}

TEST(KeyToolSession, Categories) {
    Folder folder;
    RunSteps(folder, "categories");

    // The repository keeps the lists, not the change journals of finished commits (which the
    // two lists share: a stale entry 17 would have refused the personal 17 above) nor the mark
    // of a changed list.
    const Json root = Export(folder);
    const Json& properties = (*FindObject(root, 1001))["properties"];
    for (const Json& property : properties) {
        const std::string name = property["name"];
        const long flags = property.value("flags", 0L);
        EXPECT_EQ(0, flags & 0x02000000) << name;
        if (name.rfind("SI_ADM_", 0) != 0) continue;
        for (const Json& element : property.value("properties", Json::array())) {
            EXPECT_TRUE(element["name"] == "SI_TOTAL" && element["value"] == 0) << property;
        }
    }
    const Json corporate = Json::parse(R"([{"name": "SI_TOTAL", "type": "VT_I4", "value": 1},
                                           {"name": "1", "type": "VT_I4", "value": 42}])");
    EXPECT_EQ(corporate, (*FindProperty(properties, "SI_CORPORATE_CATEGORIES"))["properties"]);
}

// The help names every command and option, each command has its own, and all of it fits 80
// columns; a wrong command line says what is wrong (exit 2) and creates nothing.
TEST(KeyToolSession, CommandLine) {
    Folder folder;
    const std::string help = RunSteps(folder, "help");
    size_t start = 0, widest = 0;
    for (size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
        widest = std::max(widest, end - start);
    EXPECT_LE(widest, 79u) << help;
    // A wrong command line, titles with control characters among it (shown escaped).
    RunSteps(folder, "command line");
    // Nothing was created by a wrong command line or by help.
    EXPECT_FALSE(FileExists(folder.File(L"keys.db")));
    // --repo names another file, --repo=... too; "--" lets a title start with a dash.
    Expect(folder, L"--repo other.db create -- -dash-", kOk);
    Expect(folder, L"list --repo=other.db", kOk, {"-dash-"});
    EXPECT_FALSE(FileExists(folder.File(L"keys.db")));
    // KEYTOOL_REPO names the default repository; --repo still wins.
    SetEnvironmentVariableW(L"KEYTOOL_REPO", L"other.db");
    Expect(folder, L"list", kOk, {"-dash-"});
    SetEnvironmentVariableW(L"KEYTOOL_REPO", nullptr);
    EXPECT_FALSE(FileExists(folder.File(L"keys.db")));
    Expect(folder, L"--version", kOk, {"keytool ", "repository schema 1, SQLite 3."});
}

// Runs a change and names the property rows it changed ("<object> <name>", sorted): every row
// keeps its place, so the rows are compared in order.
std::vector<std::string> ChangedProperties(const Folder& folder, const std::wstring& command) {
    const std::string rows =
        "SELECT object, position, parent, name, type, quote(value), flags "
        "FROM properties ORDER BY object, position";
    const auto before = Sql(folder.File(L"keys.db"), rows);
    Expect(folder, command, kOk);
    const auto after = Sql(folder.File(L"keys.db"), rows);
    EXPECT_EQ(before.size(), after.size());
    std::vector<std::string> changed;
    for (size_t i = 0; i < std::min(before.size(), after.size()); ++i)
        if (before[i] != after[i]) changed.push_back(after[i][0] + " " + after[i][3]);
    std::sort(changed.begin(), changed.end());
    return changed;
}

// A JSON repository of an earlier keytool with every value type, nested bags and flags (two keys
// and a folder, earlier_keytool_repository.json): import
// takes it over exactly (export gives the same objects back); read-only commands leave the
// database as it is; a change writes only the rows that differ (the state and the repository's
// stamp of the commit), keeping every other property, its order and the other objects, and the
// schema version stays 1.
TEST(KeyToolRepository, ImportRoundTripAcrossRuns) {
    Folder folder;
    const std::wstring database = folder.File(L"keys.db");
    const Json root = Json::parse(ReadFileBytes(Fixture(L"earlier_keytool_repository.json")));
    WriteFileBytes(folder.File(L"keys.json"), root.dump(2));
    Expect(folder, L"import keys.json", kOk, {"Imported 3 object(s) (2 key(s))"});
    EXPECT_EQ(root, Export(folder));
    // All or nothing: importing again clashes on every ID and adds nothing.
    Expect(folder, L"import keys.json", kRefused, {},
           {"holds objects with the IDs 1001, 1003, 1005 already"});
    const std::string written = ReadFileBytes(database);
    const std::string firstShow = Expect(folder, L"show 1001", kOk, {"Key 1001 \"Imported\""}).out;
    Expect(folder, L"list", kOk);
    Expect(folder, L"verify 1001", kRefused);  // "00" derives no "11"
    EXPECT_EQ(written, ReadFileBytes(database)) << "a read-only command wrote the database";
    Expect(folder, L"show 1003", kRefused, {}, {"object 1003 is a Folder, not a key"});

    auto objects = Sql(database, "SELECT * FROM objects ORDER BY id");
    ASSERT_EQ(3u, objects.size());
    EXPECT_EQ((std::vector<std::string>{"1001 SI_KEY_STATE", "1001 SI_UPDATE_TS"}),
              ChangedProperties(folder, L"deactivate 1001"));
    objects[0][3] = "2";  // key_state, for list --state
    EXPECT_EQ(objects, Sql(database, "SELECT * FROM objects ORDER BY id"));
    const Json exported = Export(folder);
    const Json& changedKey = (*FindObject(exported, 1001))["properties"];
    EXPECT_EQ(2, (*FindProperty(changedKey, "SI_KEY_STATE"))["value"]);
    EXPECT_GT((*FindProperty(changedKey, "SI_UPDATE_TS"))["value"].get<double>(), 46000.5);
    // Read back once more: the show text is the same apart from the state.
    std::string expected = WithoutPeriod(firstShow);
    expected.replace(expected.find("ACTIVE (1)"), 10, "DEACTIVATED (2)");
    EXPECT_EQ(expected, WithoutPeriod(Expect(folder, L"show 1001", kOk).out));
    // New objects get IDs above every imported one. A change of a key that keytool made writes
    // only its state and commit stamp too, nothing of the properties the host made.
    Expect(folder, L"create Next", kOk, {"Created key 1006 "});
    Sleep(1100);  // the commit stamp counts seconds
    EXPECT_EQ((std::vector<std::string>{"1006 SI_KEY_STATE", "1006 SI_UPDATE_TS"}),
              ChangedProperties(folder, L"deactivate 1006"));
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"1"}}), Sql(database, "PRAGMA user_version"));
}

// A JSON file that is not a complete, valid repository is refused by import as a whole (exit 3):
// nothing is imported and the file is left as it is.
TEST(KeyToolRepository, MalformedImportIsRefusedAndLeftUntouched) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    const std::wstring database = folder.File(L"keys.db");
    {
        Folder source;
        ASSERT_EQ(kOk, RunKeytool(source, L"create Valid").exitCode);
        ASSERT_EQ(kOk, RunKeytool(source, L"add-category 1001 17").exitCode);
        WriteFileBytes(file, Export(source).dump(2));
    }
    const std::string valid = ReadFileBytes(file);
    Json root = Json::parse(valid);
    // An empty repository, made by importing no objects (reading commands make none).
    WriteFileBytes(file, RepositoryText(Json::array()));
    EXPECT_RUN(RunKeytool(folder, L"import keys.json"), kOk);
    const std::string empty = ReadFileBytes(database);

    std::vector<std::pair<std::string, std::string>> cases;
    for (size_t part = 1; part < 8; ++part)
        cases.emplace_back("truncated at " + std::to_string(part) + "/8",
                           valid.substr(0, valid.size() * part / 8));
    cases.emplace_back("last brace missing", valid.substr(0, valid.rfind('}')));
    cases.emplace_back("empty", "");
    cases.emplace_back("not JSON", "keys: none\n");
    cases.emplace_back("array", "[1, 2]");
    const auto edited = [&](const char* what, auto&& edit) {
        Json copy = root;
        edit(copy);
        cases.emplace_back(what, copy.dump(2));
    };
    const auto at = [&](Json& doc, const char* name) -> Json& {
        for (Json& p : doc["objects"][0]["properties"])
            if (p["name"] == name) return p;
        throw std::runtime_error(name);
    };
    edited("another format", [](Json& d) { d["format"] = "something else"; });
    edited("version 2", [](Json& d) { d["version"] = 2; });
    edited("objects not an array", [](Json& d) { d["objects"] = Json::object(); });
    edited("unknown type", [&](Json& d) { at(d, "SI_KEY_STATE")["type"] = "VT_I9"; });
    edited("value out of range", [&](Json& d) { at(d, "SI_IS_COMPROMISED")["value"] = 40000; });
    edited("text for an integer", [&](Json& d) { at(d, "SI_KEY_STATE")["value"] = "1"; });
    edited("unknown member", [&](Json& d) { at(d, "SI_KEY_STATE")["flag"] = 1; });
    edited("duplicate name", [&](Json& d) {
        Json twin = at(d, "SI_NAME");
        twin["name"] = "si_name";
        d["objects"][0]["properties"].push_back(twin);
    });
    edited("duplicate id", [](Json& d) { d["objects"].push_back(d["objects"][0]); });
    edited("id differs from SI_ID", [](Json& d) { d["objects"][0]["id"] = 1002; });
    edited("title differs from SI_NAME", [](Json& d) { d["objects"][0]["title"] = "Other"; });
    edited("negative id", [](Json& d) { d["objects"][0]["id"] = -4; });
    edited("count that is not a number",
           [&](Json& d) { at(d, "SI_CORPORATE_CATEGORIES")["properties"][0]["value"] = 3.5; });
    edited("a kind the repository does not know", [&](Json& d) {
        d["objects"][0]["kind"] = "Widget";
        at(d, "SI_KIND")["value"] = "Widget";
    });
    std::string badUtf8 = valid;
    badUtf8.replace(badUtf8.find("Valid"), 5, "Va\xFFid");
    cases.emplace_back("invalid UTF-8", badUtf8);
    // A second, valid object before the bad one: all or nothing.
    Json second = root["objects"][0];
    second["id"] = 999;
    for (Json& p : second["properties"])
        if (p["name"] == "SI_ID") p["value"] = 999;
    edited("a valid object, then one the repository refuses", [&](Json& d) {
        d["objects"][0]["kind"] = "Widget";
        at(d, "SI_KIND")["value"] = "Widget";
        d["objects"].insert(d["objects"].begin(), second);
    });

    for (const auto& [name, contents] : cases) {
        SCOPED_TRACE(name);
        WriteFileBytes(file, contents);
        const Result r = RunKeytool(folder, L"import keys.json");
        EXPECT_RUN(r, kRepository);
        EXPECT_TRUE(Contains(r.err, "is not a valid repository") || Contains(r.err, "refused"))
            << r.err;
        EXPECT_TRUE(Contains(r.err, "Nothing was imported")) << r.err;
        EXPECT_EQ(contents, ReadFileBytes(file));
        EXPECT_EQ(empty, ReadFileBytes(database));
    }
    // An export without key material is refused too: its keys would have no values.
    Expect(folder, L"export keys.json", kOk);
    Expect(folder, L"import keys.json", kRepository, {}, {"an export without the key material"});
    WriteFileBytes(file, valid);
    Expect(folder, L"import keys.json", kOk);
    Expect(folder, L"list", kOk, {"Valid"});
}

// The state of key 1001 as list reports it ("ACTIVE", ...), after checking that the repository
// opens and lists cleanly.
std::string StateOf1001(const Folder& folder) {
    const Json keys = Json::parse(Expect(folder, L"list --json", kOk).out)["keys"];
    return keys.empty() ? std::string() : keys[0]["state"].get<std::string>();
}

// A crash or kill at any moment of a change leaves the old or the new state: the database
// always opens, and the change is there whole or not at all.
TEST(KeyToolRepository, CrashDuringChangeLeavesOldOrNew) {
    Folder folder;
    ASSERT_EQ(kOk, RunKeytool(folder, L"create First").exitCode);
    ASSERT_EQ(kOk, RunKeytool(folder, L"create Second").exitCode);

    // Ends at each write to the database or its journal in turn, until a change gets through.
    // After each end the database opens (rolling back what a journal left) with the old state.
    const std::wstring file = folder.File(L"keys.db");
    const std::string state =
        "SELECT value FROM properties WHERE object = 1001 AND name = "
        "'SI_KEY_STATE'";
    int writes = 1;
    for (; writes < 40; ++writes) {
        SCOPED_TRACE(writes);
        const std::wstring hook = L"crash-at-write:" + std::to_wstring(writes);
        const Result r = RunKeytool(folder, L"deactivate 1001", hook.c_str());
        const auto stored = Sql(file, state);
        ASSERT_EQ(1u, stored.size());
        if (r.exitCode == kOk) {
            EXPECT_EQ("2", stored[0][0]);
            break;
        }
        EXPECT_EQ(86u, r.exitCode) << r.err;
        EXPECT_EQ("1", stored[0][0]);
    }
    EXPECT_GT(writes, 2) << "the change was written without a journal";
    EXPECT_LT(writes, 40);
    EXPECT_EQ("DEACTIVATED", StateOf1001(folder));

    EXPECT_EQ(86u, RunKeytool(folder, L"revoke 1001", L"crash-before-commit").exitCode);
    EXPECT_EQ("DEACTIVATED", StateOf1001(folder));
    EXPECT_EQ(86u, RunKeytool(folder, L"revoke 1001", L"crash-after-commit").exitCode);
    EXPECT_EQ("REVOKED", StateOf1001(folder));

    // Kills at random moments of slow changes: every kill leaves a repository that opens, with
    // each change there whole or not at all.
    std::mt19937 random(20261206);
    Json categories = Json::array();
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        {
            Process adding(folder, L"add-category 1002 " + std::to_wstring(round), L"slow-write");
            Sleep(std::uniform_int_distribution<DWORD>(200, 1200)(random));
            adding.Kill();
        }
        const Json now = Json::parse(
            Expect(folder, L"show 1002 --json", kOk).out)["key"]["categories"]["corporate"];
        Json added = categories;
        added.push_back(round);
        EXPECT_TRUE(now == categories || now == added) << now;
        categories = now;
    }
}

// Files that are not our database, or are of a newer schema, are refused (exit 3) and left as
// they are, whatever the command.
TEST(KeyToolRepository, ForeignFilesAreRefusedAndLeftUntouched) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.db");
    ASSERT_EQ(kOk, RunKeytool(folder, L"--repo ours.db create Ours").exitCode);
    const std::string ours = ReadFileBytes(folder.File(L"ours.db"));

    struct Case {
        std::string name, contents, expected;
    };
    std::vector<Case> cases = {
        {"text", "just some notes\n", "is not a keytool repository"},
        {"a JSON repository of an earlier keytool", RepositoryText(Json::array()),
         "move its keys over with"},
        {"an SQLite header and garbage",
         "SQLite format 3" + std::string(1, '\0') + std::string(200, 'x'),
         "is not a keytool repository"},
        {"our database cut short", ours.substr(0, ours.size() / 2), "damaged"},
    };
    const auto sqliteFile = [&](const char* name, const std::string& sql) {
        DeleteFileW(file.c_str());
        Sql(file, sql);
        cases.push_back({name, ReadFileBytes(file), "another program"});
    };
    sqliteFile("another program's database", "CREATE TABLE notes (text TEXT);");
    sqliteFile("another program's empty database with its own id", "PRAGMA application_id = 7;");
    std::string newer = ours;
    // PRAGMA user_version lives at offset 60 of the header (big-endian).
    newer[63] = 2;
    cases.push_back({"our database with a newer schema", newer,
                     "schema version 2, newer than this keytool knows"});
    for (const auto& [name, contents, expected] : cases) {
        SCOPED_TRACE(name);
        WriteFileBytes(file, contents);
        for (const wchar_t* command : {L"list", L"create Another"}) {
            const Result r = RunKeytool(folder, command);
            if (name == std::string("our database cut short") && r.exitCode == kRefused) {
                // Cut at a page boundary, the tables may still open: the key is then missing.
                EXPECT_TRUE(Contains(r.err, "1001")) << r.err;
                continue;
            }
            EXPECT_RUN(r, kRepository);
            EXPECT_TRUE(Contains(r.err, expected)) << r.err;
            EXPECT_EQ(contents, ReadFileBytes(file));
            EXPECT_FALSE(FileExists(file + L"-journal"));
        }
    }
}

// Concurrent runs wait for each other through the database's locking, and each sees the other's
// change: two keys, two IDs.
TEST(KeyToolRepository, ConcurrentRunsWaitForEachOther) {
    Folder folder;
    ASSERT_EQ(kOk, RunKeytool(folder, L"create One").exitCode);
    Process holding(folder, L"create Two", L"hold:2500");
    Sleep(1000);
    const Result waiting = RunKeytool(folder, L"create Three");
    Check(holding.Wait(), kOk, {"Created key 1002"});
    Check(waiting, kOk, {"Created key 1003"}, {"is in use by another program; waiting for it"});

    // A short --lock-timeout gives up: exit 3, nothing changed.
    Process again(folder, L"deactivate 1001", L"hold:3000");
    Sleep(1000);
    Expect(folder, L"--lock-timeout 0.5 revoke 1002", kRepository, {},
           {"still in use by another program"});
    EXPECT_RUN(again.Wait(), kOk);
    Expect(folder, L"list", kOk, {"1001    DEACTIVATED", "1002    ACTIVE"});

    // Several at once: each key gets its own ID.
    {
        std::vector<std::unique_ptr<Process>> running;
        for (int i = 0; i < 4; ++i)
            running.push_back(std::make_unique<Process>(folder, L"create Parallel"));
        for (auto& process : running) EXPECT_RUN(process->Wait(), kOk);
    }
    const Json root = Export(folder);
    ASSERT_EQ(7u, root["objects"].size());
    EXPECT_EQ(1007, root["objects"][6]["id"]);
}

// Every key gets its row in list, also one whose state, creation time or title cannot be read;
// the row says what is wrong, and the run ends with exit 1. Stored text is printed escaped.
TEST(KeyToolList, EveryKeyShownAndTextEscaped) {
    Folder folder;
    const Json common = Json::parse(R"([
        {"name": "SI_KEY_STATE", "type": "VT_I4", "value": 2},
        {"name": "SI_CREATION_TIME", "type": "VT_DATE", "value": 46000.5},
        {"name": "SI_IS_COMPROMISED", "type": "VT_I2", "value": -1}])");
    Json badState = common, badTime = common;
    badState[0] = {{"name", "SI_KEY_STATE"}, {"type", "VT_BSTR"}, {"value", "broken"}};
    badTime[1]["value"] = 1e12;
    const std::string forged = "Evil\n1099    ACTIVE             no           0 s              x";
    const Json objects =
        Json::array({KeyEntry(1001, "Good", common), KeyEntry(1002, "Bad state", badState),
                     KeyEntry(1003, "\x1b[2JClear\x07", badTime), KeyEntry(1004, forged, common),
                     KeyEntry(1005, "abc\u202Edef", common)});
    WriteFileBytes(folder.File(L"keys.json"), RepositoryText(objects));
    ASSERT_EQ(kOk, RunKeytool(folder, L"import keys.json").exitCode);

    Result r = Expect(folder, L"list", kRefused,
                      {"1001    DEACTIVATED        yes", "1002    ?                  yes   ",
                       "Bad state  [cannot read KeyState: 0x80020005 DISP_E_TYPEMISMATCH",
                       "\\x1b[2JClear\\x07  [cannot read ActivePeriodInMilliseconds",
                       "Evil\\n1099    ACTIVE", "abc\\u202edef\n"},
                      {"2 of 5 key(s) could not be read in full"});
    EXPECT_TRUE(Safe(r.out)) << r.out;
    EXPECT_EQ(6, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;  // a head, five rows

    Expect(folder, L"show 1003", kRefused, {"Key 1003 \"\\x1b[2JClear\\x07\"", "cannot read:"});

    // JSON: only ASCII; the text comes back exactly when parsed; problems by member and name.
    r = Expect(folder, L"list --json", kRefused);
    EXPECT_TRUE(std::all_of(r.out.begin(), r.out.end(),
                            [](char c) { return c >= 0 && (c >= 0x20 || c == '\n'); }));
    const Json listed = Json::parse(r.out);
    ASSERT_EQ(5u, listed["keys"].size());
    EXPECT_EQ(forged, listed["keys"][3]["title"]);
    EXPECT_EQ("abc\u202Edef", listed["keys"][4]["title"]);
    const Json& bad = listed["keys"][1];
    EXPECT_EQ(nullptr, bad["state"]);
    EXPECT_EQ("KeyState", bad["problems"][0]["member"]);
    EXPECT_EQ("DISP_E_TYPEMISMATCH", bad["problems"][0]["name"]);
    EXPECT_EQ("0x80020005", bad["problems"][0]["status"]);
}

// The list filters and the JSON schema of list and show.
TEST(KeyToolList, FiltersAndJson) {
    Folder folder;
    for (const wchar_t* command :
         {L"create Alpha", L"create Beta", L"create Gamma", L"deactivate 1002", L"deactivate 1003",
          L"compromise 1003", L"add-category 1003 17", L"add-category 1003 5 --personal"})
        ASSERT_EQ(kOk, RunKeytool(folder, command).exitCode);
    Result r = Expect(folder, L"list --state deactivated", kOk, {"Beta", "Gamma"});
    EXPECT_FALSE(Contains(r.out, "Alpha")) << r.out;
    r = Expect(folder, L"list --compromised --state=DEACTIVATED", kOk, {"Gamma"});
    EXPECT_FALSE(Contains(r.out, "Beta")) << r.out;
    Expect(folder, L"list --state REVOKED", kOk, {"No matching keys"});

    const Json list = Json::parse(Expect(folder, L"list --json --compromised", kOk).out);
    EXPECT_EQ("keytool list", list["format"]);
    EXPECT_EQ(1, list["version"]);
    ASSERT_EQ(1u, list["keys"].size());
    const Json& key = list["keys"][0];
    const Json expected = Json::parse(R"({"id": 1003, "title": "Gamma", "state": "DEACTIVATED",
        "stateNumber": 2, "compromised": true, "categories": {"corporate": [17], "personal": [5]}})");
    for (const auto& [member, value] : expected.items()) EXPECT_EQ(value, key[member]) << member;
    EXPECT_TRUE(key["activePeriodMs"].is_number_integer());
    const std::string created = key["created"];
    EXPECT_TRUE(std::regex_match(created, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << created;
    EXPECT_FALSE(key.contains("value") || key.contains("derivedKey"));

    const Json shown = Json::parse(Expect(folder, L"show 1003 --json", kOk).out)["key"];
    for (const char* member :
         {"id", "title", "state", "stateNumber", "compromised", "created", "categories"})
        EXPECT_EQ(key[member], shown[member]) << member;
    EXPECT_EQ("PBKDF2-HMAC-SHA256", shown["derivation"]["algorithm"]);
    EXPECT_FALSE(shown.contains("value"));
}

// Without registration every repository command stops with exit 4 and says what to do;
// 'register' puts the module back.
TEST(KeyToolModule, RegistrationIsCheckedAndRegisterRestoresIt) {
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    const HMODULE module = LoadLibraryW(CRYPTOGRAPHICKEY_DLL);
    ASSERT_NE(nullptr, module);
    const auto entry = [&](const char* name) {
        return reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    // Whatever happens below, the module is registered again afterwards.
    struct Reregister {
        EntryPoint registerServer;
        HMODULE module;
        ~Reregister() {
            registerServer();
            FreeLibrary(module);
        }
    } reregister{entry("DllRegisterServer"), module};
    ASSERT_EQ(S_OK, entry("DllUnregisterServer")());

    Folder folder;
    Expect(folder, L"create Lost", kModule, {},
           {"the key module is not registered: the ProgID KorvelEnterprise14.CryptoGraphicKey.1 "
            "is unknown",
            "keytool register"});
    EXPECT_FALSE(FileExists(folder.File(L"keys.db")));

    // Registered, but its file is gone: the message says the file was not found.
    ASSERT_EQ(S_OK, reregister.registerServer());
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExW(HKEY_CLASSES_ROOT,
                                L"CLSID\\{B6BC34FF-F074-400A-B5AA-E00F66CAD414}\\InprocServer32", 0,
                                KEY_SET_VALUE, &key));
        const wchar_t missing[] = L"Z:\\no\\such\\CryptoGraphicKey.dll";
        RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(missing),
                       sizeof(missing));
        RegCloseKey(key);
    }
    Expect(folder, L"list", kModule, {},
           {"Z:\\no\\such\\CryptoGraphicKey.dll was not found (0x80070002 ERROR_FILE_NOT_FOUND"});
    Expect(folder, L"register Z:\\no\\such\\CryptoGraphicKey.dll", kModule, {}, {"does not exist"});
    Expect(folder, std::wstring(L"register \"") + CRYPTOGRAPHICKEY_DLL + L"\"", kOk,
           {"Registered the key module ", "{B6BC34FF-F074-400A-B5AA-E00F66CAD414}"});
    Expect(folder, L"create Found", kOk);
    // Without a path, register finds the module beside the program or in the build tree.
    Expect(folder, L"register", kOk);
}

TEST(KeyToolModule, TraceShowsThePluginsLines) {
    Folder folder;
    Expect(folder, L"create Traced --trace", kOk, {},
           {"IN:\t[CCryptoGraphicKey::PrepareForCommit]", "OUT:\t[IPublicationInfo::AfterCommit]",
            "host: PrepareForCommit(true) on key 1001: 0x00000000"});
    Expect(folder, L"--trace start-rekey 1001", kRefused, {},
           {"OUT:\t[CCryptoGraphicKey::StartRekey]"});
    const Result r = Expect(folder, L"show 1001", kOk);
    EXPECT_FALSE(Contains(r.err, "CCryptoGraphicKey")) << r.err;
}
