// KorvelRefHost.dll as a registered in-process server: regsvr32 and the registry read back, the
// four host classes created by class id through the module and called through their interfaces
// and late-bound through the host's type library, and when the module may be unloaded.
// Every test leaves the module unregistered and the test type libraries registered, as the other
// test executables of the build expect them.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KorvelInfoStore.h"
#include "module/module_dll.h"
#include "refhost.h"
#include "scoped.h"
#include "support/typelibs.h"

using ComLib::ScopedBstr;
using ComLib::ScopedVariant;
using Microsoft::WRL::ComPtr;

namespace {

const std::wstring kServerPath = KORVEL_REFHOST_DLL;
const std::wstring kTypeLibKey = L"TypeLib\\{BBA3CFDE-2E4A-4D28-A81D-7E61CA90582F}";
const std::wstring kHostLibId = L"{BBA3CFDE-2E4A-4D28-A81D-7E61CA90582F}";

struct HostClass {
    const CLSID* clsid;
    const wchar_t* clsidText;
    const wchar_t* name;
    const wchar_t* progId;
};

const HostClass kHostClasses[] = {
    {&CLSID_FormatInfos, L"{CB695C2F-0F9B-4D51-93C9-44E37B93AEB7}", L"FormatInfos Class",
     L"KorvelEnterprise.FormatInfos.1"},
    {&CLSID_ScopeBatchScopes, L"{46E19422-6FE5-4F18-8709-5E6E64179375}", L"ScopeBatchScopes Class",
     L"KorvelEnterprise.ScopeBatchScopes.1"},
    {&CLSID_ProfileValueMappings, L"{3824664E-8DD8-4032-BBEF-81461D29D213}",
     L"ProfileValueMappings Class", L"KorvelEnterprise.ProfileValueMappings.1"},
    {&CLSID_DocumentVariableMappings, L"{6B458F2A-8E31-4A4D-B334-FBE83A4CF963}",
     L"DocumentVariableMappings Class", L"KorvelEnterprise.DocumentVariableMappings.1"},
};

std::wstring ClassKey(const HostClass& hostClass) {
    return std::wstring(L"CLSID\\") + hostClass.clsidText;
}

// The module whose code the object's first interface runs (its vtable lies in that module).
HMODULE CodeModuleOf(IUnknown* object) {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        *reinterpret_cast<LPCWSTR*>(object), &module);
    return module;
}

// A member called late-bound, by name, through the object's IDispatch; a failure of the member
// itself is answered with its own status.
HRESULT InvokeByName(IUnknown* object, const wchar_t* member, WORD flags,
                     std::vector<VARIANT> arguments, VARIANT* result) {
    ComPtr<IDispatch> dispatch;
    HRESULT hr =
        object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.GetAddressOf()));
    if (FAILED(hr)) return hr;
    LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
    DISPID id = DISPID_UNKNOWN;
    hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS params = {arguments.data(), nullptr, static_cast<UINT>(arguments.size()), 0};
    EXCEPINFO exception = {};
    hr = dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception,
                          nullptr);
    // A member's failure comes back as an exception carrying its status, as scripts see it.
    if (hr == DISP_E_EXCEPTION) {
        hr = exception.scode;
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    }
    return hr;
}

// Count read late-bound.
LONG DispatchedCount(IUnknown* object) {
    ScopedVariant count;
    EXPECT_HR(S_OK, InvokeByName(object, L"Count", DISPATCH_PROPERTYGET, {}, count.Receive()));
    EXPECT_EQ(VT_I4, count.Type());
    return count.Type() == VT_I4 ? V_I4(&count.Get()) : -1;
}

class RefHostServer : public ::testing::Test {
  protected:
    void SetUp() override {
        Cleanup();
        for (const HostClass& hostClass : kHostClasses)
            ASSERT_FALSE(ClassesKeyExists(ClassKey(hostClass))) << Narrow(hostClass.name);
    }
    void TearDown() override {
        Cleanup();
        for (const HostClass& hostClass : kHostClasses)
            EXPECT_FALSE(ClassesKeyExists(ClassKey(hostClass))) << Narrow(hostClass.name);
    }
    static void Cleanup() {
        // Its status is no matter here: the module may not be registered.
        Regsvr32(kServerPath, true);
        // Unregistering removed the host's type library, which the other tests dispatch through.
        EXPECT_HR(S_OK, RegisterTestTypeLibs());
    }

    template <typename T>
    static ComPtr<T> Create(const CLSID& clsid) {
        ComPtr<T> object;
        EXPECT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(T),
                                         reinterpret_cast<void**>(object.GetAddressOf())));
        return object;
    }
};

}  // namespace

TEST_F(RefHostServer, Regsvr32RegistersTheClassesAndTheHostTypeLibrary) {
    ASSERT_EQ(0u, Regsvr32(kServerPath, false).value_or(~0u));
    for (const HostClass& hostClass : kHostClasses) {
        SCOPED_TRACE(Narrow(hostClass.name));
        const std::wstring key = ClassKey(hostClass);
        EXPECT_EQ(hostClass.name, ReadClassesString(key).value_or(L"-"));
        EXPECT_PRED2(SamePath, ReadClassesString(key + L"\\InprocServer32"), kServerPath);
        EXPECT_EQ(L"Both",
                  ReadClassesString(key + L"\\InprocServer32", L"ThreadingModel").value_or(L"-"));
        EXPECT_EQ(hostClass.progId, ReadClassesString(key + L"\\ProgID").value_or(L"-"));
        EXPECT_EQ(kHostLibId, ReadClassesString(key + L"\\TypeLib").value_or(L"-"));
        EXPECT_EQ(hostClass.clsidText,
                  ReadClassesString(std::wstring(hostClass.progId) + L"\\CLSID").value_or(L"-"));
        CLSID clsid = GUID_NULL;
        EXPECT_HR(S_OK, CLSIDFromProgID(hostClass.progId, &clsid));
        EXPECT_TRUE(IsEqualCLSID(*hostClass.clsid, clsid));
    }
    // The host's type library is registered from the module's own TYPELIB resource.
    EXPECT_PRED2(SamePath, ReadClassesString(kTypeLibKey + L"\\1.0\\0\\win64"), kServerPath);
    {
        ComPtr<ITypeLib> library;
        EXPECT_HR(S_OK, LoadRegTypeLib(LIBID_KorvelInfoStoreLib, 1, 0, LOCALE_NEUTRAL, &library));
        ScopedBstr path;
        EXPECT_HR(S_OK, QueryPathOfRegTypeLib(LIBID_KorvelInfoStoreLib, 1, 0, LOCALE_NEUTRAL,
                                              path.Receive()));
        EXPECT_PRED2(SamePath, std::wstring(path.Get() ? path.Get() : L""), kServerPath);
    }

    // Registering again leaves one set of keys: each class key is made anew.
    const std::wstring firstKey = ClassKey(kHostClasses[0]);
    HKEY stale = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_CLASSES_ROOT, (firstKey + L"\\LocalServer32").c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, &stale, nullptr));
    RegCloseKey(stale);
    ASSERT_EQ(0u, Regsvr32(kServerPath, false).value_or(~0u));
    const std::vector<std::wstring> expected = {L"InprocServer32", L"ProgID", L"TypeLib"};
    for (const HostClass& hostClass : kHostClasses)
        EXPECT_EQ(expected, ClassesSubkeys(ClassKey(hostClass))) << Narrow(hostClass.name);

    // Unregistering removes the classes, their ProgIDs and the type library, and keeps
    // HKCR\CLSID.
    ASSERT_EQ(0u, Regsvr32(kServerPath, true).value_or(~0u));
    for (const HostClass& hostClass : kHostClasses) {
        SCOPED_TRACE(Narrow(hostClass.name));
        EXPECT_FALSE(ClassesKeyExists(ClassKey(hostClass)));
        EXPECT_FALSE(ClassesKeyExists(hostClass.progId));
        CLSID clsid = GUID_NULL;
        EXPECT_NE(S_OK, CLSIDFromProgID(hostClass.progId, &clsid));
    }
    EXPECT_TRUE(ClassesKeyExists(L"CLSID"));
    EXPECT_FALSE(ClassesKeyExists(kTypeLibKey + L"\\1.0"));
}

TEST_F(RefHostServer, ClassesAreMadeByTheModuleAndDispatchThroughTheHostLibrary) {
    ASSERT_EQ(0u, Regsvr32(kServerPath, false).value_or(~0u));
    // Bags of this process's own host, handed to the module's objects.
    ComPtr<ISProperties> formatBag, scopesBag, profileBag, documentBag;
    for (ISProperties** bag : {formatBag.GetAddressOf(), scopesBag.GetAddressOf(),
                               profileBag.GetAddressOf(), documentBag.GetAddressOf()})
        ASSERT_HR(S_OK, RefHost::CreatePropertyBag(bag));
    {
        ComPtr<ISFormatInfos> formats = Create<ISFormatInfos>(CLSID_FormatInfos);
        ComPtr<ISScopeBatchScopes> scopes = Create<ISScopeBatchScopes>(CLSID_ScopeBatchScopes);
        ComPtr<ISProfileValueMappings> profiles =
            Create<ISProfileValueMappings>(CLSID_ProfileValueMappings);
        ComPtr<ISDocumentVariableMappings> documents =
            Create<ISDocumentVariableMappings>(CLSID_DocumentVariableMappings);
        ASSERT_TRUE(formats && scopes && profiles && documents);
        const std::vector<IUnknown*> all = {formats.Get(), scopes.Get(), profiles.Get(),
                                            documents.Get()};

        // The objects come from the registered module, not from this process's own host.
        const HMODULE server = GetModuleHandleW(kServerPath.c_str());
        ASSERT_NE(nullptr, server);
        for (IUnknown* object : all) EXPECT_EQ(server, CodeModuleOf(object));

        // Before Initialize the lists are unusable, late-bound too.
        ScopedVariant early;
        EXPECT_HR(E_UNEXPECTED,
                  InvokeByName(formats.Get(), L"Count", DISPATCH_PROPERTYGET, {}, early.Receive()));

        EXPECT_HR(S_OK, formats->Initialize(formatBag.Get(), nullptr, 1033));
        EXPECT_HR(S_OK, scopes->Initialize(scopesBag.Get(), 1033));
        EXPECT_HR(S_OK, profiles->Initialize(profileBag.Get(), 1031));
        EXPECT_HR(S_OK, documents->Initialize(documentBag.Get(), 1036));
        for (IUnknown* object : all) EXPECT_EQ(0, DispatchedCount(object));

        // A method with an argument, late-bound: the element lands in this process's bag.
        ScopedVariant progId;
        ASSERT_HR(S_OK, progId.SetBstr(L"KorvelEnterprise.Pdf"));
        ScopedVariant element;
        EXPECT_HR(S_OK, InvokeByName(formats.Get(), L"Add", DISPATCH_METHOD, {progId.Get()},
                                     element.Receive()));
        EXPECT_EQ(VT_DISPATCH, element.Type());
        EXPECT_EQ(1, DispatchedCount(formats.Get()));
        ComPtr<ISPropertyBagCollection> list = Face<ISPropertyBagCollection>(formatBag.Get());
        EXPECT_EQ(1, Get(list.Get(), &ISPropertyBagCollection::get_Count));

        // Only names of the host's library are known.
        ScopedVariant none;
        EXPECT_HR(DISP_E_UNKNOWNNAME, InvokeByName(profiles.Get(), L"NoSuchMember",
                                                   DISPATCH_PROPERTYGET, {}, none.Receive()));
    }

    // Host objects are never aggregated.
    ComPtr<IUnknown> aggregated;
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_FormatInfos, formatBag.Get(), CLSCTX_INPROC_SERVER,
                               IID_IUnknown, reinterpret_cast<void**>(aggregated.GetAddressOf())));
    EXPECT_EQ(nullptr, aggregated.Get());
}

TEST(RefHostServerLifetime, UnloadsOnlyWhenNoObjectFactoryOrLockIsLeft) {
    // A copy of its own, so that no other test's objects count here.
    ScratchFolder folder(L"refhost-server-lifetime");
    ASSERT_TRUE(folder.Created());
    const std::wstring copy = folder.Path() + L"\\KorvelRefHost.dll";
    ASSERT_TRUE(CopyFileW(kServerPath.c_str(), copy.c_str(), FALSE));
    ComPtr<ISProperties> bag;
    ASSERT_HR(S_OK, RefHost::CreatePropertyBag(&bag));
    {
        ModuleDll server(copy);
        ASSERT_TRUE(server.Loaded());
        EXPECT_HR(S_OK, server.CanUnloadNow());

        void* unknown = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
                  server.GetClassObject(CLSID_ObjectRelativeIDs, IID_IClassFactory, &unknown));
        EXPECT_EQ(nullptr, unknown);

        ComPtr<IClassFactory> factory;
        ASSERT_HR(S_OK, server.GetClassObject(CLSID_ProfileValueMappings, IID_IClassFactory,
                                              reinterpret_cast<void**>(factory.GetAddressOf())));
        EXPECT_HR(S_FALSE, server.CanUnloadNow());  // a client holds the factory
        EXPECT_HR(S_OK, factory->LockServer(TRUE));
        ComPtr<ISProfileValueMappings> mappings;
        ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_ISProfileValueMappings,
                                                reinterpret_cast<void**>(mappings.GetAddressOf())));
        factory.Reset();
        EXPECT_HR(S_FALSE, server.CanUnloadNow());  // locked, and an object lives

        ASSERT_HR(S_OK, server.GetClassObject(CLSID_ProfileValueMappings, IID_IClassFactory,
                                              reinterpret_cast<void**>(factory.GetAddressOf())));
        EXPECT_HR(S_OK, factory->LockServer(FALSE));
        factory.Reset();
        // The object has worked on the bag (and released what it took on the way).
        EXPECT_HR(S_OK, mappings->Initialize(bag.Get(), 1033));
        ScopedBstr profile(L"P1"), column(L"Region");
        ComPtr<ISProperties> mapping;
        EXPECT_HR(S_OK, mappings->Add(profile.Get(), column.Get(), &mapping));
        mapping.Reset();
        EXPECT_HR(S_FALSE, server.CanUnloadNow());  // the object lives

        mappings.Reset();
        EXPECT_HR(S_OK, server.CanUnloadNow());
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(copy.c_str())) << "the copy stayed loaded";
    // The element the server added belongs to the bag, which outlived the module.
    ComPtr<ISPropertyBagCollection> list = Face<ISPropertyBagCollection>(bag.Get());
    EXPECT_EQ(1, Get(list.Get(), &ISPropertyBagCollection::get_Count));
}
