// Self-registration through the real client (regsvr32) and in process, read back from the
// registry. Every test leaves the class unregistered and the test type libraries registered, as
// the other test executables of the build expect them.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CryptoGraphicKeyPlugin.h"
#include "module/module_dll.h"
#include "support/typelibs.h"

using Microsoft::WRL::ComPtr;

namespace {

const std::wstring kClassKey = L"CLSID\\{B6BC34FF-F074-400a-B5AA-E00F66CAD414}";
const std::wstring kProgIdKey = L"KorvelEnterprise14.CryptoGraphicKey.1";
const std::wstring kIndependentKey = L"KorvelEnterprise.CryptoGraphicKey";
const std::wstring kTypeLibKey = L"TypeLib\\{E78106B0-84AC-4015-BEB9-F85CF4CF7CE9}";
const std::wstring kTypeLibPathKey = kTypeLibKey + L"\\1.0\\0\\win64";

class ModuleRegistration : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(BuiltModule().Loaded());
        Cleanup();
        ASSERT_FALSE(ClassesKeyExists(kClassKey));
    }
    void TearDown() override {
        Cleanup();
        EXPECT_FALSE(ClassesKeyExists(kClassKey));
    }
    static void Cleanup() {
        // Its status is no matter here: the type library may not be registered.
        BuiltModule().UnregisterServer();
        // Unregistering removed the plug-in's type library, which the other tests dispatch through.
        EXPECT_HR(S_OK, RegisterTestTypeLibs());
    }

    // The registry entries of a module registered from `path`.
    void ExpectRegisteredFrom(const std::wstring& path) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_PRED2(SamePath, ReadClassesString(kClassKey + L"\\InprocServer32"), path);
        EXPECT_EQ(
            L"Both",
            ReadClassesString(kClassKey + L"\\InprocServer32", L"ThreadingModel").value_or(L"-"));
        EXPECT_PRED2(SamePath, ReadClassesString(kTypeLibPathKey), path);
    }
};

}  // namespace

TEST_F(ModuleRegistration, Regsvr32RegistersReregistersAndUnregisters) {
    // Registering writes the class, its ProgIDs (the version-independent one names the class and
    // its current version) and the type library.
    ASSERT_EQ(0u, Regsvr32(BuiltModulePath(), false).value_or(~0u));
    ExpectRegisteredFrom(BuiltModulePath());
    const std::wstring classId = L"{B6BC34FF-F074-400a-B5AA-E00F66CAD414}";
    const std::pair<std::wstring, std::wstring> entries[] = {
        {kClassKey, L"CryptoGraphicKey Class"},
        {kClassKey + L"\\ProgID", kProgIdKey},
        {kClassKey + L"\\VersionIndependentProgID", kIndependentKey},
        {kClassKey + L"\\TypeLib", L"{E78106B0-84AC-4015-BEB9-F85CF4CF7CE9}"},
        {kProgIdKey, L"CryptoGraphicKey Class"},
        {kProgIdKey + L"\\CLSID", classId},
        {kIndependentKey + L"\\CLSID", classId},
        {kIndependentKey + L"\\CurVer", kProgIdKey}};
    for (const auto& [key, text] : entries) {
        EXPECT_EQ(text, ReadClassesString(key).value_or(L"-")) << Narrow(key);
    }
    EXPECT_TRUE(ClassesKeyExists(kClassKey + L"\\Programmable"));

    // The platform finds the class through these entries, by either ProgID (the script clients
    // create it by ProgID and call it through the registered type library).
    CLSID clsid = GUID_NULL;
    for (const std::wstring& progId : {kProgIdKey, kIndependentKey}) {
        EXPECT_HR(S_OK, CLSIDFromProgID(progId.c_str(), &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_CryptoGraphicKey, clsid));
    }

    // Registering again leaves one set of keys: the class key is made anew, so that something
    // an older version left below it goes.
    HKEY stale = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, (kClassKey + L"\\LocalServer32").c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, &stale, nullptr));
    RegCloseKey(stale);
    ASSERT_EQ(0u, Regsvr32(BuiltModulePath(), false).value_or(~0u));
    const std::vector<std::wstring> expected = {L"InprocServer32", L"ProgID", L"Programmable",
                                                L"TypeLib", L"VersionIndependentProgID"};
    EXPECT_EQ(expected, ClassesSubkeys(kClassKey));
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, ClassesSubkeys(kProgIdKey));
    ExpectRegisteredFrom(BuiltModulePath());

    // Unregistering removes the class, the ProgID and the type library, and keeps HKCR\CLSID.
    ASSERT_EQ(0u, Regsvr32(BuiltModulePath(), true).value_or(~0u));
    EXPECT_FALSE(ClassesKeyExists(kClassKey));
    EXPECT_FALSE(ClassesKeyExists(kProgIdKey));
    EXPECT_FALSE(ClassesKeyExists(kIndependentKey));
    EXPECT_TRUE(ClassesKeyExists(L"CLSID"));
    EXPECT_FALSE(ClassesKeyExists(kTypeLibKey + L"\\1.0"));
    EXPECT_NE(S_OK, CLSIDFromProgID(L"KorvelEnterprise14.CryptoGraphicKey.1", &clsid));
    EXPECT_NE(S_OK, CLSIDFromProgID(kIndependentKey.c_str(), &clsid));

    // Once more: the registry script finds nothing to remove, but the platform refuses to
    // unregister a type library that is not registered, and that status is reported.
    EXPECT_HR(E_INVALIDARG, BuiltModule().UnregisterServer());
}

TEST_F(ModuleRegistration, PathWithASingleQuoteIsWrittenAsItIs) {
    ScratchFolder folder(L"Korvel's keys");
    ASSERT_TRUE(folder.Created());
    const std::wstring copy = folder.CopyModule();
    ASSERT_FALSE(copy.empty());
    ASSERT_EQ(0u, Regsvr32(copy, false).value_or(~0u));
    ExpectRegisteredFrom(copy);
}

TEST_F(ModuleRegistration, ModulePathMustFitInMaxPath) {
    // Folders whose copies have paths of exactly MAX_PATH - 1 and MAX_PATH characters.
    const std::wstring file = L"CryptoGraphicKey.dll";
    wchar_t temp[MAX_PATH + 1];
    const size_t tempLength = GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(tempLength, 0u);
    for (const size_t pathLength : {size_t{MAX_PATH - 1}, size_t{MAX_PATH}}) {
        SCOPED_TRACE(pathLength);
        const size_t folderLength = pathLength - tempLength - 1 - file.size();
        ScratchFolder folder(L"cgk" + std::wstring(folderLength - 3, L'x'));
        ASSERT_TRUE(folder.Created());
        const std::wstring copy = folder.CopyModule(file);
        ASSERT_EQ(pathLength, copy.size());
        {
            ModuleDll loaded(copy);
            ASSERT_TRUE(loaded.Loaded());
            if (pathLength < MAX_PATH) {
                EXPECT_HR(S_OK, loaded.RegisterServer());
                ExpectRegisteredFrom(copy);
                EXPECT_HR(S_OK, loaded.UnregisterServer());
            } else {
                // The path would be cut short: nothing is written.
                EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), loaded.RegisterServer());
                EXPECT_FALSE(ClassesKeyExists(kClassKey));
                EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), loaded.UnregisterServer());
            }
        }
        EXPECT_EQ(nullptr, GetModuleHandleW(copy.c_str())) << "the copy stayed loaded";
    }
}

TEST(ModuleLifetime, FirstClassObjectRequestsRaceForOneFactoryAndTheModuleUnloads) {
    ScratchFolder folder(L"cgk-first-request");
    ASSERT_TRUE(folder.Created());
    const std::wstring copy = folder.CopyModule();
    ASSERT_FALSE(copy.empty());
    ModuleDll fresh(copy);
    ASSERT_TRUE(fresh.Loaded());

    constexpr int kThreads = 8;
    std::vector<IUnknown*> factories(kThreads, nullptr);
    std::vector<HRESULT> results(kThreads, E_UNEXPECTED);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            results[t] = fresh.GetClassObject(CLSID_CryptoGraphicKey, IID_IUnknown,
                                              reinterpret_cast<void**>(&factories[t]));
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_HR(S_OK, results[t]);
        EXPECT_EQ(factories[0], factories[t]) << "thread " << t << " got another factory";
    }
    EXPECT_HR(S_FALSE, fresh.CanUnloadNow());
    for (IUnknown* factory : factories)
        if (factory) factory->Release();
    EXPECT_HR(S_OK, fresh.CanUnloadNow());

    // An object made and gone, then the module is freed: process detach releases the factory.
    {
        ComPtr<IClassFactory> factory;
        ASSERT_HR(S_OK, fresh.GetClassObject(CLSID_CryptoGraphicKey, IID_IClassFactory,
                                             reinterpret_cast<void**>(factory.GetAddressOf())));
        ComPtr<IUnknown> key;
        EXPECT_HR(S_OK, factory->CreateInstance(nullptr, IID_IUnknown,
                                                reinterpret_cast<void**>(key.GetAddressOf())));
    }
    EXPECT_HR(S_OK, fresh.CanUnloadNow());
    fresh.Unload();
    EXPECT_EQ(nullptr, GetModuleHandleW(copy.c_str()));
}
