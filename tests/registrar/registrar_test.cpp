// The module's registrar on its own: the script language, what it writes to and removes from the
// registry, and the module's own script. Every case works in a fresh sandbox key that all root
// keys of the scripts are redirected into.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "corpus.h"
#include "registrar.h"
#include "registry_dump.h"
#include "support/hresult_checks.h"

namespace {

constexpr HRESULT kSyntaxError = DISP_E_EXCEPTION;

std::wstring CurrentTestName() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return std::wstring(name.begin(), name.end());
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

    CRegistrar registrar;

  private:
    RegistrySandbox m_sandbox;
};

// How replacements are inserted (quoted and bare, %%, in any case) is compared with the peer's in
// the differential test.
TEST_F(RegistrarTest, ReplacementsAreReplacedByNameAndNotScannedAgain) {
    ASSERT_HR(S_OK, registrar.AddReplacement(L"Module", L"C:\\O''Brien.dll"));
    ASSERT_HR(S_OK, registrar.AddReplacement(L"APPID", L""));
    // A name added again takes the new value; a % in a value is not replaced again.
    ASSERT_HR(S_OK, registrar.AddReplacement(L"MODULE", L"C:\\100%\\%APPID%.dll"));
    ASSERT_HR(S_OK, registrar.StringRegister(LR"(HKCU { K = s '%Module%' })"));
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetValueW(sandbox(), L"K", nullptr, RRF_RT_REG_SZ, nullptr, text, &size));
    EXPECT_STREQ(L"C:\\100%\\%APPID%.dll", text);
    EXPECT_EQ(sizeof(L"C:\\100%\\%APPID%.dll"), size);

    EXPECT_HR(E_POINTER, registrar.AddReplacement(nullptr, L"x"));
    EXPECT_HR(E_POINTER, registrar.AddReplacement(L"x", nullptr));
    EXPECT_HR(E_INVALIDARG, registrar.AddReplacement(L"", L"x"));
    EXPECT_HR(E_INVALIDARG, registrar.AddReplacement(L"a%b", L"x"));
    // Once cleared, no name is known any more.
    registrar.ClearReplacements();
    EXPECT_HR(kSyntaxError, registrar.StringRegister(LR"(HKCU { A = s '%MODULE%' })"));
}

TEST_F(RegistrarTest, SyntaxErrorsWriteNothingAndRemoveNothing) {
    CRegistrar seeder;  // the state the refused scripts must leave alone
    ASSERT_HR(S_OK, seeder.RemapAllRoots(sandbox()));
    ASSERT_HR(S_OK, seeder.StringRegister(LR"(HKCU { A { Keep } K { val v = s 'x' } })"));
    const std::vector<std::wstring> before = Tree();
    ASSERT_FALSE(RegistrarCorpus().refused.empty());
    for (const std::wstring& script : RegistrarCorpus().refused) {
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
              Tree());

    EXPECT_HR(E_INVALIDARG, registrar.RemapRoot(reinterpret_cast<HKEY>(0x1234), sandbox()));
    EXPECT_HR(E_INVALIDARG, registrar.RemapRoot(HKEY_CURRENT_USER, nullptr));
    EXPECT_HR(E_INVALIDARG, registrar.RemapAllRoots(nullptr));
    EXPECT_HR(E_POINTER, registrar.StringRegister(nullptr));
    EXPECT_HR(E_POINTER, registrar.StringUnregister(nullptr));
    EXPECT_HR(E_POINTER, registrar.Parse(nullptr));
    EXPECT_HR(S_OK, registrar.StringRegister(L""));
}

// The corpus's unit cases: what each leaves in its sandbox, read back in full.
TEST(RegistrarUnitCases, LeaveTheSandboxAsListed) {
    ASSERT_FALSE(RegistrarCorpus().units.empty());
    for (const CorpusCase& c : RegistrarCorpus().units) {
        SCOPED_TRACE(c.name);
        std::vector<PhaseOutcome> phases;
        ASSERT_TRUE(RunOurs(c, phases)) << "sandbox or seed failed";
        ASSERT_EQ(c.ours.size(), phases.size());
        for (size_t p = 0; p < phases.size(); ++p) {
            EXPECT_HR(c.ours[p], phases[p].hr) << "phase " << p;
        }
        EXPECT_EQ(c.tree, phases.back().dump) << JoinLines(phases.back().dump).c_str();
    }
}

// The module's own script, linked into this executable as resource 101 like in the module. Its
// values are compared with the peer's in the differential test and read back after regsvr32 in the
// module's tests.
TEST_F(RegistrarTest, ModuleScriptRegistersTheClassAndUnregistersToTheClsidKey) {
    for (const auto& [name, value] : RegistrarCorpus().replacements) {
        ASSERT_HR(S_OK, registrar.AddReplacement(name.c_str(), value.c_str()));
    }
    const HMODULE self = GetModuleHandleW(nullptr);
    const auto& units = RegistrarCorpus().units;
    const auto registered = std::find_if(units.begin(), units.end(), [](const CorpusCase& c) {
        return c.name == "module-script-registered";
    });
    ASSERT_NE(units.end(), registered);

    ASSERT_HR(S_OK, registrar.ResourceRegister(self, 101, true));
    EXPECT_EQ(registered->tree, Tree()) << JoinLines(Tree()).c_str();
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
