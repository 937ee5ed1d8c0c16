// The module's registrar on its own: the script language, what it writes to and removes from the
// registry, and the module's own script. Every case works in a fresh sandbox key that all root
// keys of the scripts are redirected into.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "corpus.h"
#include "expect_hr.h"
#include "registrar.h"
#include "registry_dump.h"

namespace {

constexpr HRESULT kSyntaxError = DISP_E_EXCEPTION;
const std::wstring kClsid = L"{B6BC34FF-F074-400a-B5AA-E00F66CAD414}";
const std::wstring kClassKey = L"CLSID\\" + kClsid;
const wchar_t kModulePath[] = L"C:\\Program Files\\O'Brien\\CryptoGraphicKey.dll";
const wchar_t kModulePathQuoted[] = L"C:\\Program Files\\O''Brien\\CryptoGraphicKey.dll";

std::wstring CurrentTestName() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return std::wstring(name.begin(), name.end());
}

std::vector<BYTE> StringBytes(std::wstring_view text) {
    std::vector<BYTE> bytes((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(wchar_t));
    return bytes;
}

std::vector<BYTE> DwordBytes(DWORD value) {
    std::vector<BYTE> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

class RegistrarTest : public ::testing::Test {
  protected:
    RegistrarTest() : m_sandbox(L"Unit\\" + CurrentTestName()) {}

    void SetUp() override {
        ASSERT_NE(nullptr, m_sandbox.key());
        ASSERT_HR(S_OK, registrar.RemapAllRoots(m_sandbox.key()));
    }

    HKEY sandbox() const { return m_sandbox.key(); }
    std::vector<std::wstring> Tree() const { return DumpRegistryTree(sandbox()); }

    // The key paths only, sorted.
    std::vector<std::wstring> Keys() const {
        std::vector<std::wstring> keys;
        for (const std::wstring& line : Tree()) {
            if (line.find(L" : ") == std::wstring::npos) keys.push_back(line);
        }
        return keys;
    }

    bool KeyExists(const std::wstring& path) const {
        UniqueHKey key;
        return RegOpenKeyExW(sandbox(), path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }

    // Type and bytes as RegQueryValueEx reports them; REG_NONE and no bytes when missing.
    RegScriptData Value(const std::wstring& path, const std::wstring& name) const {
        RegScriptData data;
        UniqueHKey key;
        DWORD size = 0;
        if (RegOpenKeyExW(sandbox(), path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
            RegQueryValueExW(key.get(), name.c_str(), nullptr, &data.type, nullptr, &size) !=
                ERROR_SUCCESS) {
            return {};
        }
        data.bytes.resize(size);
        if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &data.type, data.bytes.data(),
                             &size) != ERROR_SUCCESS) {
            return {};
        }
        data.bytes.resize(size);
        return data;
    }

    void ExpectValue(const std::wstring& path, const std::wstring& name, DWORD type,
                     const std::vector<BYTE>& bytes) const {
        const RegScriptData data = Value(path, name);
        EXPECT_EQ(type, data.type) << "type of " << std::string(path.begin(), path.end()) << " : "
                                   << std::string(name.begin(), name.end());
        EXPECT_EQ(bytes, data.bytes) << "bytes of " << std::string(path.begin(), path.end())
                                     << " : " << std::string(name.begin(), name.end());
    }
    void ExpectString(const std::wstring& path, const std::wstring& name,
                      std::wstring_view text) const {
        ExpectValue(path, name, REG_SZ, StringBytes(text));
    }

    // Writes a starting state with a registrar of its own.
    void Seed(const wchar_t* script) {
        CRegistrar seeder;
        ASSERT_HR(S_OK, seeder.RemapAllRoots(sandbox()));
        ASSERT_HR(S_OK, seeder.StringRegister(script));
    }

    CRegistrar registrar;

  private:
    RegistrySandbox m_sandbox;
};

// More quoting (spaces, braces, quotes in values) is compared with the peer's in the differential
// test.
TEST_F(RegistrarTest, QuotedWordsAreNamesAndDoubledQuotesAreOneQuote) {
    ASSERT_HR(S_OK, registrar.StringRegister(
                        LR"(HKCU { 'it''s a key' = s 'say ''hi''' { 'val' 'NoRemove' } })"));
    ExpectString(L"it's a key", L"", L"say 'hi'");
    EXPECT_TRUE(KeyExists(L"it's a key\\val"));
    EXPECT_TRUE(KeyExists(L"it's a key\\NoRemove"));

    // 'NoRemove' was a name, not the flag: unregistering removes everything.
    ASSERT_HR(S_OK, registrar.StringUnregister(LR"(HKCU { 'it''s a key' { 'val' 'NoRemove' } })"));
    EXPECT_TRUE(Tree().empty()) << JoinLines(Tree()).c_str();
}

// How replacements are inserted (quoted and bare, %%, in any case) is compared with the peer's in
// the differential test.
TEST_F(RegistrarTest, ReplacementsAreReplacedByNameAndNotScannedAgain) {
    ASSERT_HR(S_OK, registrar.AddReplacement(L"Module", kModulePathQuoted));
    ASSERT_HR(S_OK, registrar.AddReplacement(L"APPID", L""));
    // A name added again takes the new value; a % in a value is not replaced again.
    ASSERT_HR(S_OK, registrar.AddReplacement(L"MODULE", L"C:\\100%\\%APPID%.dll"));
    ASSERT_HR(S_OK, registrar.StringRegister(LR"(HKCU { K = s '%Module%' })"));
    ExpectString(L"K", L"", L"C:\\100%\\%APPID%.dll");

    EXPECT_HR(E_POINTER, registrar.AddReplacement(nullptr, L"x"));
    EXPECT_HR(E_POINTER, registrar.AddReplacement(L"x", nullptr));
    EXPECT_HR(E_INVALIDARG, registrar.AddReplacement(L"", L"x"));
    EXPECT_HR(E_INVALIDARG, registrar.AddReplacement(L"a%b", L"x"));
}

TEST_F(RegistrarTest, BadReplacementsWriteNothing) {
    ASSERT_HR(S_OK, registrar.AddReplacement(L"Module", L"m"));
    for (const wchar_t* script : {LR"(HKCU { A = s '%Nope%' })", LR"(HKCU { A = s '100%' })",
                                  LR"(HKCU { A } %)", LR"(HKCU { A = s '%Mod ule%' })"}) {
        EXPECT_HR(kSyntaxError, registrar.StringRegister(script))
            << std::wstring_view(script).size();
    }
    registrar.ClearReplacements();
    EXPECT_HR(kSyntaxError, registrar.StringRegister(LR"(HKCU { A = s '%MODULE%' })"));
    EXPECT_TRUE(Tree().empty()) << JoinLines(Tree()).c_str();
}

TEST_F(RegistrarTest, DeleteRemovesTheSubtreeWhenRegisteringOnly) {
    Seed(LR"(HKCU { D { E { F } val v = s 'x' } Other })");
    ASSERT_HR(S_OK, registrar.StringRegister(LR"(HKCU { Delete D { New } Other { Sub } })"));
    EXPECT_EQ((std::vector<std::wstring>{L"Other", L"Other\\Sub"}), Keys());

    Seed(LR"(HKCU { D { E } })");
    ASSERT_HR(S_OK, registrar.StringUnregister(LR"(HKCU { Delete D { E } })"));
    EXPECT_TRUE(KeyExists(L"D\\E"));
    // Deleting a key that is not there is no failure.
    EXPECT_HR(S_OK, registrar.StringRegister(LR"(HKCU { Delete Absent })"));
}

TEST_F(RegistrarTest, ValuesAreWrittenWithTheirTypesAndExactBytes) {
    ASSERT_HR(S_OK, registrar.StringRegister(
                        LR"(HKCU { K = d 5 { val S = s 'text' val Empty = s '' val Bare = s word )"
                        LR"(val M = m { 'a' 'b c' } val M0 = m { } )"
                        LR"(val B = b 00FF10ab val B0 = b '' val BQ = b 'CAFE' )"
                        LR"(val D0 = d 0 val D1 = d 123 val D2 = d -1 val D3 = d 2147483647 )"
                        LR"(val D4 = d 2147483649 val D5 = d 4294967295 val D6 = d -2147483648 )"
                        LR"(val D7 = d 0x1F val D8 = d 0XabCD val D9 = d +7 val DQ = d '42' } })"));
    ExpectValue(L"K", L"", REG_DWORD, DwordBytes(5));
    ExpectString(L"K", L"S", L"text");
    ExpectString(L"K", L"Empty", L"");
    ExpectString(L"K", L"Bare", L"word");
    const wchar_t multi[] = L"a\0b c\0";  // plus the implicit null ending the list
    ExpectValue(L"K", L"M", REG_MULTI_SZ,
                std::vector<BYTE>(reinterpret_cast<const BYTE*>(multi),
                                  reinterpret_cast<const BYTE*>(multi) + sizeof(multi)));
    ExpectValue(L"K", L"M0", REG_MULTI_SZ, {0, 0});
    ExpectValue(L"K", L"B", REG_BINARY, {0x00, 0xFF, 0x10, 0xAB});
    ExpectValue(L"K", L"B0", REG_BINARY, {});
    ExpectValue(L"K", L"BQ", REG_BINARY, {0xCA, 0xFE});
    const std::pair<const wchar_t*, DWORD> dwords[] = {
        {L"D0", 0},          {L"D1", 123},        {L"D2", 0xFFFFFFFF}, {L"D3", 0x7FFFFFFF},
        {L"D4", 0x80000001}, {L"D5", 0xFFFFFFFF}, {L"D6", 0x80000000}, {L"D7", 0x1F},
        {L"D8", 0xABCD},     {L"D9", 7},          {L"DQ", 42}};
    for (const auto& [name, value] : dwords) ExpectValue(L"K", name, REG_DWORD, DwordBytes(value));
}

TEST_F(RegistrarTest, SyntaxErrorsWriteNothingAndRemoveNothing) {
    Seed(LR"(HKCU { A { Keep } K { val v = s 'x' } })");
    const std::vector<std::wstring> before = Tree();
    ASSERT_FALSE(RefusedScripts().empty());
    for (const std::wstring& script : RefusedScripts()) {
        const std::string text(script.begin(), script.end());
        EXPECT_HR(kSyntaxError, registrar.StringRegister(script.c_str())) << text;
        EXPECT_HR(kSyntaxError, registrar.StringUnregister(script.c_str())) << text;
        EXPECT_HR(kSyntaxError, registrar.Parse(script.c_str())) << text;
    }
    EXPECT_EQ(before, Tree()) << JoinLines(Tree()).c_str();
}

TEST_F(RegistrarTest, NestingIsBounded) {
    auto nested = [](size_t depth) {
        std::wstring script = L"HKCU { ";
        for (size_t i = 1; i < depth; ++i) script += L"K { ";
        script += L"K ";
        for (size_t i = 1; i < depth; ++i) script += L"} ";
        return script + L"}";
    };
    RegScript tree;
    EXPECT_HR(S_OK, registrar.Parse(nested(CRegistrar::kMaxDepth).c_str(), &tree));
    ASSERT_EQ(1u, tree.roots.size());
    EXPECT_HR(kSyntaxError, registrar.Parse(nested(CRegistrar::kMaxDepth + 1).c_str()));
    // Far deeper than any stack would take in recursion.
    EXPECT_HR(kSyntaxError, registrar.Parse(nested(200000).c_str()));
}

TEST_F(RegistrarTest, UnregisterRemovesTheNamedValuesAndEmptyKeysItNames) {
    Seed(
        LR"(HKCU { Holder { val Named = s 'x' val Other = s 'y' } Shared { Foreign } )"
        LR"(ValuesOnly { val extra = s 'x' } })");
    ASSERT_HR(S_OK, registrar.StringUnregister(
                        LR"(HKCU { NoRemove Holder { val Named = s 'x' val Missing = s 'z' } )"
                        LR"(Shared { Mine } ValuesOnly Absent { Deeper } })"));
    EXPECT_EQ((std::vector<std::wstring>{L"Holder", L"Shared", L"Shared\\Foreign"}), Keys());
    EXPECT_EQ(REG_NONE, Value(L"Holder", L"Named").type);
    ExpectString(L"Holder", L"Other", L"y");
}

TEST_F(RegistrarTest, WellKnownKeysDirectlyBelowARootAreNeverDeleted) {
    const wchar_t script[] =
        LR"(HKCR { AppID { A } clsid { K } 'Component Categories' { C } FileType { F } )"
        LR"(Interface { I } Hardware { H } Mime { M } SAM { S } SECURITY { Se } SYSTEM { Sy } )"
        LR"(SOFTWARE { So } TypeLib { T } Outer { CLSID { X } TypeLib } })";
    ASSERT_HR(S_OK, registrar.StringRegister(script));
    ASSERT_HR(S_OK, registrar.StringUnregister(script));
    EXPECT_EQ((std::vector<std::wstring>{L"AppID", L"Component Categories", L"FileType",
                                         L"Hardware", L"Interface", L"Mime", L"SAM", L"SECURITY",
                                         L"SOFTWARE", L"SYSTEM", L"TypeLib", L"clsid"}),
              Keys());

    // Nor by ForceRemove or Delete.
    Seed(LR"(HKCR { CLSID { Existing } TypeLib { X } })");
    ASSERT_HR(S_OK,
              registrar.StringRegister(LR"(HKCR { ForceRemove CLSID { New } Delete TypeLib })"));
    EXPECT_TRUE(KeyExists(L"CLSID\\Existing"));
    EXPECT_TRUE(KeyExists(L"CLSID\\New"));
    EXPECT_TRUE(KeyExists(L"TypeLib\\X"));
}

TEST_F(RegistrarTest, RegistryFailureEndsTheRunAndKeepsWhatWasWritten) {
    const std::wstring script = L"HKCU { First { Sub } " + std::wstring(300, L'x') + L" Last }";
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER),
              registrar.StringRegister(script.c_str()));
    EXPECT_EQ((std::vector<std::wstring>{L"First", L"First\\Sub"}), Keys());
}

TEST_F(RegistrarTest, RootNamesAndTheirRemapping) {
    UniqueHKey classes, user;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(sandbox(), L"classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, classes.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(sandbox(), L"user", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, user.put(), nullptr));
    ASSERT_HR(S_OK, registrar.RemapRoot(HKEY_CLASSES_ROOT, classes.get()));
    ASSERT_HR(S_OK, registrar.RemapRoot(HKEY_CURRENT_USER, user.get()));
    ASSERT_HR(S_OK, registrar.StringRegister(
                        L"hkey_classes_root { A } HKCR { B } hkcu { C } HKEY_CURRENT_USER { D } "
                        L"HKLM { E } HKEY_USERS { F } HKCC { G }"));
    EXPECT_EQ((std::vector<std::wstring>{L"E", L"F", L"G", L"classes", L"classes\\A", L"classes\\B",
                                         L"user", L"user\\C", L"user\\D"}),
              Keys());

    EXPECT_HR(E_INVALIDARG, registrar.RemapRoot(reinterpret_cast<HKEY>(0x1234), sandbox()));
    EXPECT_HR(E_INVALIDARG, registrar.RemapRoot(HKEY_CURRENT_USER, nullptr));
    EXPECT_HR(E_INVALIDARG, registrar.RemapAllRoots(nullptr));
    EXPECT_HR(E_POINTER, registrar.StringRegister(nullptr));
    EXPECT_HR(E_POINTER, registrar.StringUnregister(nullptr));
    EXPECT_HR(E_POINTER, registrar.Parse(nullptr));
    EXPECT_HR(S_OK, registrar.StringRegister(L""));
}

// The module's own script, linked into this executable as resource 101 like in the module. Its
// values are compared with the peer's in the differential test and read back after regsvr32 in the
// module's tests.
TEST_F(RegistrarTest, ModuleScriptRegistersTheClassAndUnregistersToTheClsidKey) {
    ASSERT_HR(S_OK, registrar.AddReplacement(L"APPID", L""));
    ASSERT_HR(S_OK, registrar.AddReplacement(L"Module", kModulePathQuoted));
    ASSERT_HR(S_OK, registrar.AddReplacement(L"Module_Raw", kModulePath));
    const HMODULE self = GetModuleHandleW(nullptr);

    ASSERT_HR(S_OK, registrar.ResourceRegister(self, 101, true));
    EXPECT_EQ(
        (std::vector<std::wstring>{
            L"CLSID", kClassKey, kClassKey + L"\\InprocServer32", kClassKey + L"\\ProgID",
            kClassKey + L"\\Programmable", kClassKey + L"\\TypeLib",
            kClassKey + L"\\VersionIndependentProgID", L"KorvelEnterprise.CryptoGraphicKey",
            L"KorvelEnterprise.CryptoGraphicKey\\CLSID",
            L"KorvelEnterprise.CryptoGraphicKey\\CurVer", L"KorvelEnterprise14.CryptoGraphicKey.1",
            L"KorvelEnterprise14.CryptoGraphicKey.1\\CLSID"}),
        Keys());
    ASSERT_HR(S_OK, registrar.ResourceRegister(self, 101, false));
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, Tree()) << JoinLines(Tree()).c_str();

    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND),
              registrar.ResourceRegister(self, 999, true));
    EXPECT_HR(E_INVALIDARG, registrar.ResourceRegister(self, 0x10065, true));
}

TEST(RegistrarModuleScript, IsSingleByteTextWithCrLfLineEnds) {
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(nullptr, resource);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, resource)));
    const std::string text(bytes, SizeofResource(nullptr, resource));
    for (size_t pos = 0; (pos = text.find('\n', pos)) != std::string::npos; ++pos) {
        ASSERT_TRUE(pos > 0 && text[pos - 1] == '\r') << "bare LF at " << pos;
    }
    EXPECT_NE(std::string::npos, text.find("'%MODULE%'"));
}

}  // namespace
