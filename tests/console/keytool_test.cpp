// keytool.exe driven as a user drives it: sessions with every transition and every refusal, the
// key material, categories, the command line, the repository file across runs, malformed files,
// crashes and kills during a write, the repository lock, registration and tracing.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "keytool_runner.h"

using namespace KeyToolTest;
using Json = nlohmann::ordered_json;

namespace {

constexpr DWORD kOk = 0, kRefused = 1, kUsage = 2, kRepository = 3, kModule = 4;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

#define EXPECT_RUN(result, code)                                                            \
    EXPECT_EQ(static_cast<DWORD>(code), (result).exitCode) << "stdout:\n"                   \
                                                           << (result).out << "\nstderr:\n" \
                                                           << (result).err

Json ReadJson(const std::wstring& path) {
    return Json::parse(ReadFileBytes(path));
}

const Json* FindObject(const Json& root, long id) {
    for (const Json& object : root["objects"])
        if (object["id"] == id) return &object;
    return nullptr;
}

const Json* FindProperty(const Json& properties, const std::string& name) {
    for (const Json& property : properties)
        if (property["name"] == name) return &property;
    return nullptr;
}

// Hex (decoded here: Wine's CryptStringToBinaryW does not read CRYPT_STRING_HEXRAW) or Base64.
std::vector<BYTE> Decode(const std::string& text, DWORD flags) {
    if (flags == CRYPT_STRING_HEXRAW) {
        std::vector<BYTE> bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
        return bytes;
    }
    const std::wstring wide(text.begin(), text.end());
    DWORD size = 0;
    if (!CryptStringToBinaryW(wide.c_str(), 0, flags, nullptr, &size, nullptr, nullptr)) return {};
    std::vector<BYTE> bytes(size);
    if (!CryptStringToBinaryW(wide.c_str(), 0, flags, bytes.data(), &size, nullptr, nullptr))
        return {};
    bytes.resize(size);
    return bytes;
}

// The "show" text without its active-period line, which moves with the clock.
std::string WithoutPeriod(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (!Contains(line, "active period")) out += line + "\n";
        start = end + 1;
    }
    return out;
}

}  // namespace

// Two keys through every command; each refusal names the operation and the status, exits 1 and
// leaves the repository file as it was.
TEST(KeyToolSession, TransitionsAndRefusals) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    Result r = RunKeytool(folder, L"create \"Payroll key\"");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Created key 1001 \"Payroll key\": ACTIVE since ")) << r.out;
    EXPECT_TRUE(Contains(r.err, "created a new repository file")) << r.err;
    r = RunKeytool(folder, L"create Archive");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Created key 1002 \"Archive\"")) << r.out;

    struct Step {
        const wchar_t* command;
        DWORD exitCode;
        const char* expected;  // in stdout on success, in stderr on failure
    };
    const Step steps[] = {
        {L"start-rekey 1001", kRefused,
         "start-rekey refused for key 1001 by the key module (StartRekey): 0x80042A90 "
         "KV_E_INVALIDSTATETRANSITION"},
        {L"suspend-rekey 1001", kRefused, "(SuspendRekey): 0x80042A90"},
        {L"resume-rekey 1001", kRefused, "(ResumeRekey): 0x80042A90"},
        {L"compromise 1001", kRefused, "(SetCompromised): 0x80042A90"},
        {L"deactivate 1001", kOk, "Key 1001: ACTIVE -> DEACTIVATED."},
        {L"deactivate 1001", kRefused,
         "deactivate refused for key 1001: the key is DEACTIVATED; only an ACTIVE key can be "
         "deactivated (0x80042A90"},
        {L"suspend-rekey 1001", kRefused, "The key is DEACTIVATED; only a re-key in progress"},
        {L"resume-rekey 1001", kRefused, "(ResumeRekey): 0x80042A90"},
        {L"start-rekey 1001", kOk, "Key 1001: DEACTIVATED -> REKEY_IN_PROGRESS (StartRekey)."},
        {L"start-rekey 1001", kRefused, "The key is REKEY_IN_PROGRESS; a re-key starts from"},
        {L"resume-rekey 1001", kRefused, "(ResumeRekey): 0x80042A90"},
        {L"revoke 1001", kRefused, "revoke refused for key 1001: the key is REKEY_IN_PROGRESS"},
        {L"deactivate 1001", kRefused, "the key is REKEY_IN_PROGRESS"},
        {L"suspend-rekey 1001", kOk,
         "Key 1001: REKEY_IN_PROGRESS -> REKEY_SUSPENDED (SuspendRekey)."},
        {L"suspend-rekey 1001", kRefused, "(SuspendRekey): 0x80042A90"},
        {L"resume-rekey 1001", kOk,
         "Key 1001: REKEY_SUSPENDED -> REKEY_IN_PROGRESS (ResumeRekey)."},
        {L"deactivate 1002", kOk, "Key 1002: ACTIVE -> DEACTIVATED."},
        {L"compromise 1002", kOk,
         "Key 1002 is marked compromised (SetCompromised); its state stays DEACTIVATED."},
        {L"compromise 1002", kOk, "Key 1002 is marked compromised"},
        {L"revoke 1002", kOk, "Key 1002: DEACTIVATED -> REVOKED."},
        {L"revoke 1002", kRefused, "revoke refused for key 1002: the key is REVOKED"},
        {L"start-rekey 1002", kRefused, "The key is REVOKED"},
        {L"compromise 1002", kOk, "its state stays REVOKED"},
        {L"show 9999", kRefused, "there is no object with ID 9999"},
        {L"deactivate 9999", kRefused, "0x80042A3A KV_E_IDNOTINCOLLECTION"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message()
                     << "keytool "
                     << std::string(step.command, step.command + wcslen(step.command)));
        const std::string before = ReadFileBytes(file);
        r = RunKeytool(folder, step.command);
        EXPECT_RUN(r, step.exitCode);
        EXPECT_TRUE(Contains(step.exitCode == kOk ? r.out : r.err, step.expected))
            << "stdout:\n"
            << r.out << "\nstderr:\n"
            << r.err;
        if (step.exitCode != kOk) {
            EXPECT_EQ(before, ReadFileBytes(file)) << "a refused command changed the file";
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }

    r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "1001    REKEY_IN_PROGRESS  no           ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "1002    REVOKED            yes          ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Payroll key\n")) << r.out;

    // The host's writes and the plug-in's writes, as the repository keeps them.
    const Json root = ReadJson(file);
    const Json& archive = (*FindObject(root, 1002))["properties"];
    EXPECT_EQ(Json({{"name", "SI_KEY_STATE"}, {"type", "VT_I4"}, {"value", 5}}),
              *FindProperty(archive, "SI_KEY_STATE"));
    EXPECT_EQ(Json({{"name", "SI_IS_COMPROMISED"}, {"type", "VT_I2"}, {"value", -1}}),
              *FindProperty(archive, "SI_IS_COMPROMISED"));
    EXPECT_EQ(nullptr, FindProperty(archive, "SI_NEWOBJECT"));
}

// The value comes from the random generator, the derived key is PBKDF2-HMAC-SHA-256 of it, and
// neither is printed unless --reveal asks for it.
TEST(KeyToolSession, KeyMaterialIsDerivedAndStaysHidden) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE before = 0;
    SystemTimeToVariantTime(&now, &before);
    std::string printed;
    for (const wchar_t* command : {L"create Hex", L"create B64 --base64", L"create Hex2"}) {
        const Result r = RunKeytool(folder, command);
        EXPECT_RUN(r, kOk);
        printed += r.out + r.err;
    }
    Result r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kOk);
    printed += r.out;
    for (const wchar_t* command : {L"show 1001", L"show 1002"}) {
        r = RunKeytool(folder, command);
        EXPECT_RUN(r, kOk);
        EXPECT_TRUE(Contains(r.out, "key value:            (hidden; add --reveal to print it)"));
        printed += r.out;
    }

    const Json root = ReadJson(file);
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
        r = RunKeytool(folder, L"show " + std::to_wstring(id) + L" --reveal");
        EXPECT_RUN(r, kOk);
        EXPECT_TRUE(Contains(r.out, "key value:            " + value + "\n")) << r.out;
        EXPECT_TRUE(Contains(r.out, "derived key:          " + derived + "\n")) << r.out;
        values.push_back(value);
    }
    EXPECT_NE(values[0], values[2]);
}

TEST(KeyToolSession, Categories) {
    Folder folder;
    ASSERT_EQ(kOk, RunKeytool(folder, L"create Cat").exitCode);
    struct Step {
        const wchar_t* command;
        DWORD exitCode;
        const char* expected;
    };
    const Step steps[] = {
        {L"add-category 1001 17", kOk,
         "Key 1001 is now in corporate category 17; corporate "
         "categories: 17."},
        {L"add-category 1001 42", kOk, "corporate categories: 17, 42."},
        {L"add-category 1001 17", kRefused,
         "add-category refused for key 1001: the corporate categories answered Add(17) with "
         "0x80042A5A KV_E_VALUEALREADYINLIST"},
        {L"add-category 1001 17 --personal", kOk, "personal categories: 17."},
        {L"remove-category 1001 99", kRefused, "answered Delete(\"#99\") with 0x80042A37"},
        {L"remove-category 1001 17", kOk,
         "Key 1001 is no longer in corporate category 17; "
         "corporate categories: 42."},
        {L"remove-category 1001 17", kRefused, "0x80042A37"},
        {L"add-category 1001 0", kUsage, "the category ID must be a positive whole number"},
        {L"add-category 1001 7 --corporate", kUsage, "'add-category' has no option --corporate"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message()
                     << std::string(step.command, step.command + wcslen(step.command)));
        const Result r = RunKeytool(folder, step.command);
        EXPECT_RUN(r, step.exitCode);
        EXPECT_TRUE(Contains(step.exitCode == kOk ? r.out : r.err, step.expected))
            << "stdout:\n"
            << r.out << "\nstderr:\n"
            << r.err;
    }
    // The plug-in's own error information reaches the user.
    Result r = RunKeytool(folder, L"remove-category 1001 99");
    EXPECT_TRUE(Contains(r.err, "\n  error information: ")) << r.err;
    r = RunKeytool(folder, L"show 1001");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "corporate categories: 42\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "personal categories:  17\n")) << r.out;

    // The repository keeps the lists, not the change journals of finished commits (which the
    // two lists share: a stale entry 17 would have refused the personal 17 above) nor the mark
    // of a changed list.
    const Json root = ReadJson(folder.File(L"keys.json"));
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

TEST(KeyToolSession, CommandLine) {
    Folder folder;
    Result r = RunKeytool(folder, L"--help");
    EXPECT_RUN(r, kOk);
    for (const char* command : {"create", "list", "show", "deactivate", "revoke", "start-rekey",
                                "suspend-rekey", "resume-rekey", "compromise", "add-category",
                                "remove-category", "register", "--repo", "--trace", "Exit codes"})
        EXPECT_TRUE(Contains(r.out, command)) << command;
    for (const wchar_t* command : {L"create --help", L"help show", L"revoke -h", L"--help list"}) {
        r = RunKeytool(folder, command);
        EXPECT_RUN(r, kOk);
        EXPECT_TRUE(Contains(r.out, "Usage: keytool [--repo <file>] [--trace] ")) << r.out;
    }
    const std::pair<const wchar_t*, const char*> wrong[] = {
        {L"", "no command given"},
        {L"frobnicate", "there is no command 'frobnicate'"},
        {L"show", "usage: keytool show <id> [--reveal]"},
        {L"show 1 2", "usage: keytool show"},
        {L"show x12", "the key ID must be a positive whole number, not 'x12'"},
        {L"show 99999999999", "must be a positive whole number"},
        {L"list --reveal", "'list' has no option --reveal"},
        {L"list --repo", "--repo needs a file name"},
        {L"create \"\"", "the title must not be empty"},
    };
    for (const auto& [command, expected] : wrong) {
        r = RunKeytool(folder, command);
        EXPECT_RUN(r, kUsage);
        EXPECT_TRUE(Contains(r.err, expected)) << r.err;
    }
    // Nothing was created by a wrong command line or by help.
    EXPECT_FALSE(FileExists(folder.File(L"keys.json")));
    // --repo names another file, --repo=... too; "--" lets a title start with a dash.
    EXPECT_EQ(kOk, RunKeytool(folder, L"--repo other.json create -- -dash-").exitCode);
    r = RunKeytool(folder, L"list --repo=other.json");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "-dash-")) << r.out;
    EXPECT_FALSE(FileExists(folder.File(L"keys.json")));
}

// A repository with every value type the file holds, nested bags and flags: read-only commands
// leave the file as it is; a change writes the changed object back from the repository with
// everything else as it was, and keeps the other objects exactly as they were read.
TEST(KeyToolRepository, RoundTripAcrossRuns) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    const Json extra = Json::parse(R"([
        {"name": "X_I1", "type": "VT_I1", "value": -5},
        {"name": "X_UI1", "type": "VT_UI1", "value": 200},
        {"name": "X_I2", "type": "VT_I2", "value": -300},
        {"name": "X_UI2", "type": "VT_UI2", "value": 60000},
        {"name": "X_INT", "type": "VT_INT", "value": -7},
        {"name": "X_UINT", "type": "VT_UINT", "value": 4000000000},
        {"name": "X_UI4", "type": "VT_UI4", "value": 4294967295},
        {"name": "X_I8", "type": "VT_I8", "value": -9007199254740993},
        {"name": "X_UI8", "type": "VT_UI8", "value": 18446744073709551615},
        {"name": "X_R4", "type": "VT_R4", "value": 1.5},
        {"name": "X_R8", "type": "VT_R8", "value": 0.1},
        {"name": "X_TRUE", "type": "VT_BOOL", "value": true},
        {"name": "X_BOOL1", "type": "VT_BOOL", "value": 1},
        {"name": "X_EMPTY", "type": "VT_EMPTY"},
        {"name": "X_NULL", "type": "VT_NULL"},
        {"name": "X_TEXT", "type": "VT_BSTR", "value": "Gr\u00fc\u00dfe \u2603 \ud83d\udd11 a\u0000b"},
        {"name": "X_FLAGS", "type": "VT_BSTR", "value": "", "flags": -2147483648},
        {"name": "X_LIST", "type": "VT_BSTR", "value": "", "flags": 167772160, "properties": [
            {"name": "SI_TOTAL", "type": "VT_I4", "value": 2},
            {"name": "1", "type": "VT_I4", "value": 17},
            {"name": "2", "type": "VT_I4", "value": 42}]},
        {"name": "X_DEEP", "type": "VT_I4", "value": 3, "properties": [
            {"name": "LEVEL2", "type": "VT_BSTR", "value": "two", "properties": [
                {"name": "LEVEL3", "type": "VT_DATE", "value": 46000.25}]}]}
    ])");
    Json key = Json::parse(R"({"id": 1001, "kind": "CryptoGraphicKey", "title": "Imported",
        "properties": [
        {"name": "SI_ID", "type": "VT_I4", "value": 1001},
        {"name": "SI_KIND", "type": "VT_BSTR", "value": "CryptoGraphicKey"},
        {"name": "SI_NAME", "type": "VT_BSTR", "value": "Imported"},
        {"name": "SI_UPDATE_TS", "type": "VT_DATE", "value": 46000.5},
        {"name": "SI_VALUE", "type": "VT_BSTR", "value": "00"},
        {"name": "SI_DERIVED_KEY", "type": "VT_BSTR", "value": "11"},
        {"name": "SI_KEY_STATE", "type": "VT_I4", "value": 1},
        {"name": "SI_CREATION_TIME", "type": "VT_DATE", "value": 46000.125},
        {"name": "SI_IS_COMPROMISED", "type": "VT_I2", "value": 0},
        {"name": "SI_MIMETYPE", "type": "VT_BSTR", "value": "application/x-cryptographic-key"}
        ]})");
    for (const Json& property : extra) key["properties"].push_back(property);
    Json other = key;
    other["id"] = 1005;
    other["title"] = "Other";
    (*std::find_if(other["properties"].begin(), other["properties"].end(),
                   [](const Json& p) { return p["name"] == "SI_ID"; }))["value"] = 1005;
    (*std::find_if(other["properties"].begin(), other["properties"].end(),
                   [](const Json& p) { return p["name"] == "SI_NAME"; }))["value"] = "Other";
    const Json folderObject = Json::parse(R"({"id": 1003, "kind": "Folder", "title": "",
        "properties": [{"name": "SI_ID", "type": "VT_I4", "value": 1003},
                       {"name": "SI_KIND", "type": "VT_BSTR", "value": "Folder"}]})");
    Json root = {{"format", "keytool repository"},
                 {"version", 1},
                 {"objects", Json::array({key, folderObject, other})}};
    WriteFileBytes(file, root.dump(2));
    const std::string written = ReadFileBytes(file);

    const Result firstShow = RunKeytool(folder, L"show 1001");
    EXPECT_RUN(firstShow, kOk);
    EXPECT_TRUE(Contains(firstShow.out, "Key 1001 \"Imported\"")) << firstShow.out;
    EXPECT_RUN(RunKeytool(folder, L"list"), kOk);
    EXPECT_EQ(written, ReadFileBytes(file)) << "a read-only command wrote the file";
    const Result folderShow = RunKeytool(folder, L"show 1003");
    EXPECT_RUN(folderShow, kRefused);
    EXPECT_TRUE(Contains(folderShow.err, "object 1003 is a Folder, not a key")) << folderShow.err;

    EXPECT_RUN(RunKeytool(folder, L"deactivate 1001"), kOk);
    const Json after = ReadJson(file);
    EXPECT_EQ(folderObject, *FindObject(after, 1003));
    EXPECT_EQ(other, *FindObject(after, 1005));
    // The changed object: the same properties in the same order, with the new state and the
    // repository's stamp of the commit.
    const Json& changed = (*FindObject(after, 1001))["properties"];
    ASSERT_EQ(key["properties"].size(), changed.size()) << changed.dump(1);
    for (size_t i = 0; i < changed.size(); ++i) {
        const Json& was = key["properties"][i];
        SCOPED_TRACE(was["name"].get<std::string>());
        if (was["name"] == "SI_KEY_STATE")
            EXPECT_EQ(2, changed[i]["value"]);
        else if (was["name"] == "SI_UPDATE_TS")
            EXPECT_GT(changed[i]["value"].get<double>(), 46000.5);
        else
            EXPECT_EQ(was, changed[i]);
    }
    // Read back once more: the show text is the same apart from the state.
    Result secondShow = RunKeytool(folder, L"show 1001");
    EXPECT_RUN(secondShow, kOk);
    std::string expected = WithoutPeriod(firstShow.out);
    expected.replace(expected.find("ACTIVE (1)"), 10, "DEACTIVATED (2)");
    EXPECT_EQ(expected, WithoutPeriod(secondShow.out));
    // New objects get IDs above every imported one.
    const Result created = RunKeytool(folder, L"create Next");
    EXPECT_RUN(created, kOk);
    EXPECT_TRUE(Contains(created.out, "Created key 1006 ")) << created.out;
}

// A file that is not a complete, valid repository is refused as a whole (exit 3) and never
// written over, by reading and by changing commands alike.
TEST(KeyToolRepository, MalformedFileIsRefusedAndLeftUntouched) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    ASSERT_EQ(kOk, RunKeytool(folder, L"create Valid").exitCode);
    ASSERT_EQ(kOk, RunKeytool(folder, L"add-category 1001 17").exitCode);
    const std::string valid = ReadFileBytes(file);
    Json root = Json::parse(valid);

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
    Json& properties = root["objects"][0]["properties"];
    const auto at = [&](Json& doc, const char* name) -> Json& {
        for (Json& p : doc["objects"][0]["properties"])
            if (p["name"] == name) return p;
        throw std::runtime_error(name);
    };
    ASSERT_NE(nullptr, FindProperty(properties, "SI_KEY_STATE"));
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
    std::string badUtf8 = valid;
    badUtf8.replace(badUtf8.find("Valid"), 5, "Va\xFFid");
    cases.emplace_back("invalid UTF-8", badUtf8);

    for (const auto& [name, contents] : cases) {
        SCOPED_TRACE(name);
        WriteFileBytes(file, contents);
        for (const wchar_t* command : {L"list", L"create Another", L"deactivate 1001"}) {
            const Result r = RunKeytool(folder, command);
            EXPECT_RUN(r, kRepository);
            EXPECT_TRUE(Contains(r.err, "is not a valid repository") || Contains(r.err, "refused"))
                << r.err;
            EXPECT_TRUE(Contains(r.err, "left untouched")) << r.err;
            EXPECT_EQ(contents, ReadFileBytes(file));
            EXPECT_FALSE(FileExists(file + L".tmp"));
        }
    }
    WriteFileBytes(file, valid);
    EXPECT_RUN(RunKeytool(folder, L"list"), kOk);
}

// A crash or kill at any moment of a write leaves the old or the new repository, never a mixture.
TEST(KeyToolRepository, CrashDuringWriteLeavesOldOrNew) {
    Folder folder;
    const std::wstring file = folder.File(L"keys.json");
    ASSERT_EQ(kOk, RunKeytool(folder, L"create First").exitCode);
    const std::string old = ReadFileBytes(file);

    for (const wchar_t* hook : {L"crash-mid-write", L"crash-before-replace"}) {
        SCOPED_TRACE(std::string(hook, hook + wcslen(hook)));
        const Result r = RunKeytool(folder, L"deactivate 1001", hook);
        EXPECT_EQ(86u, r.exitCode);
        EXPECT_EQ(old, ReadFileBytes(file));
        const Result list = RunKeytool(folder, L"list");
        EXPECT_RUN(list, kOk);
        EXPECT_TRUE(Contains(list.out, "1001    ACTIVE")) << list.out;
    }
    Result r = RunKeytool(folder, L"deactivate 1001", L"crash-after-replace");
    EXPECT_EQ(86u, r.exitCode);
    r = RunKeytool(folder, L"list");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "1001    DEACTIVATED")) << r.out;

    // Kills at random moments of slow writes (once the new file is being written): every kill
    // leaves a repository that loads, with each key either there whole or not at all.
    std::mt19937 random(20261206);
    size_t keys = 1;
    const std::wstring temporary = file + L".tmp";
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        DeleteFileW(temporary.c_str());
        Process creating(folder, L"create Killed", L"slow-write");
        for (int wait = 0; wait < 10000 && !FileExists(temporary); ++wait) Sleep(1);
        EXPECT_TRUE(FileExists(temporary));
        Sleep(std::uniform_int_distribution<DWORD>(0, 60)(random));
        creating.Kill();
        const Json root = ReadJson(file);  // throws (and fails the test) for a broken file
        ASSERT_TRUE(root["objects"].size() == keys || root["objects"].size() == keys + 1);
        keys = root["objects"].size();
        r = RunKeytool(folder, L"list");
        EXPECT_RUN(r, kOk);
    }
}

// A second keytool waits for the first to release the repository.
TEST(KeyToolRepository, SecondProgramWaitsForTheLock) {
    Folder folder;
    ASSERT_EQ(kOk, RunKeytool(folder, L"create One").exitCode);
    const HANDLE lock = CreateFileW(folder.File(L"keys.json.lock").c_str(),
                                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    Process waiting(folder, L"create Two");
    Sleep(1500);
    EXPECT_EQ(1u, ReadJson(folder.File(L"keys.json"))["objects"].size());
    CloseHandle(lock);
    const Result r = waiting.Wait();
    EXPECT_RUN(r, kOk);
    EXPECT_EQ(2u, ReadJson(folder.File(L"keys.json"))["objects"].size());
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
    Result r = RunKeytool(folder, L"create Lost");
    EXPECT_RUN(r, kModule);
    EXPECT_TRUE(Contains(r.err,
                         "the key module is not registered: the ProgID "
                         "KorvelEnterprise14.CryptoGraphicKey.1 is unknown"))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "keytool register")) << r.err;
    EXPECT_FALSE(FileExists(folder.File(L"keys.json")));

    r = RunKeytool(folder, L"register Z:\\no\\such\\CryptoGraphicKey.dll");
    EXPECT_RUN(r, kModule);
    EXPECT_TRUE(Contains(r.err, "does not exist")) << r.err;
    r = RunKeytool(folder, std::wstring(L"register \"") + CRYPTOGRAPHICKEY_DLL + L"\"");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.out, "Registered the key module ")) << r.out;
    EXPECT_TRUE(Contains(r.out, "{B6BC34FF-F074-400A-B5AA-E00F66CAD414}")) << r.out;
    EXPECT_RUN(RunKeytool(folder, L"create Found"), kOk);
    // Without a path, register finds the module beside the program or in the build tree.
    EXPECT_RUN(RunKeytool(folder, L"register"), kOk);
}

TEST(KeyToolModule, TraceShowsThePluginsLines) {
    Folder folder;
    Result r = RunKeytool(folder, L"create Traced --trace");
    EXPECT_RUN(r, kOk);
    EXPECT_TRUE(Contains(r.err, "IN:\t[CCryptoGraphicKey::PrepareForCommit]")) << r.err;
    EXPECT_TRUE(Contains(r.err, "OUT:\t[IPublicationInfo::AfterCommit]")) << r.err;
    EXPECT_TRUE(Contains(r.err, "host: PrepareForCommit(true) on key 1001: 0x00000000")) << r.err;
    r = RunKeytool(folder, L"--trace start-rekey 1001");
    EXPECT_RUN(r, kRefused);
    EXPECT_TRUE(Contains(r.err, "OUT:\t[CCryptoGraphicKey::StartRekey]")) << r.err;
    r = RunKeytool(folder, L"show 1001");
    EXPECT_RUN(r, kOk);
    EXPECT_FALSE(Contains(r.err, "CCryptoGraphicKey")) << r.err;
}
