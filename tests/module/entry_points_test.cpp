// The module's entry points and class objects, driven through the exports of the built DLL.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CryptoGraphicKeyPlugin.h"
#include "module/module_dll.h"

using Microsoft::WRL::ComPtr;

namespace {

void* const kSentinel = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
constexpr CLSID kCLSID_InProcFreeMarshaler = {
    0x0000033A, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class ModuleEntryPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module.Loaded())
            << "cannot load " << std::string(BuiltModulePath().begin(), BuiltModulePath().end());
        ASSERT_HR(S_OK, module.CanUnloadNow()) << "an earlier test left the module locked";
    }
    void TearDown() override {
        EXPECT_HR(S_OK, module.CanUnloadNow()) << "the test left the module locked";
    }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_HR(S_OK, module.GetClassObject(CLSID_CryptoGraphicKey, IID_IClassFactory,
                                              reinterpret_cast<void**>(factory.GetAddressOf())));
        return factory;
    }
    template <typename I>
    ComPtr<I> NewKey(REFIID iid) {
        ComPtr<I> key;
        EXPECT_HR(S_OK, Factory()->CreateInstance(nullptr, iid,
                                                  reinterpret_cast<void**>(key.GetAddressOf())));
        return key;
    }

    ModuleDll& module = BuiltModule();
};

ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

}  // namespace

TEST_F(ModuleEntryPoints, ExportsAreTheFourEntryPointsByOrdinal) {
    const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                           "DllUnregisterServer"};
    for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
        SCOPED_TRACE(names[ordinal - 1]);
        FARPROC byOrdinal = GetProcAddress(module.Handle(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(nullptr, byOrdinal);
        EXPECT_EQ(byOrdinal, GetProcAddress(module.Handle(), names[ordinal - 1]));
    }
    EXPECT_EQ(nullptr, GetProcAddress(module.Handle(), MAKEINTRESOURCEA(5)));
    EXPECT_EQ(nullptr, GetProcAddress(module.Handle(), "DllMain"));
}

TEST_F(ModuleEntryPoints, ClassObjectRequests) {
    void* out = kSentinel;
    // A class the module does not serve.
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE,
              module.GetClassObject(IID_ISCryptoGraphicKey, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    out = kSentinel;
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, module.GetClassObject(GUID_NULL, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    // The class, asked for an interface a class factory does not have.
    out = kSentinel;
    EXPECT_HR(E_NOINTERFACE, module.GetClassObject(CLSID_CryptoGraphicKey, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_HR(E_POINTER, module.GetClassObject(CLSID_CryptoGraphicKey, IID_IClassFactory, nullptr));
}

TEST_F(ModuleEntryPoints, CachedFactoryLocksTheModuleFromItsSecondReference) {
    ComPtr<IClassFactory> first = Factory();
    ASSERT_TRUE(first);
    // The module's map holds the first reference, the caller the second: the module is locked.
    EXPECT_HR(S_FALSE, module.CanUnloadNow());
    EXPECT_EQ(3u, first->AddRef());
    EXPECT_EQ(2u, first->Release());

    ComPtr<IUnknown> second;
    ASSERT_HR(S_OK, module.GetClassObject(CLSID_CryptoGraphicKey, IID_IUnknown,
                                          reinterpret_cast<void**>(second.GetAddressOf())));
    ComPtr<IUnknown> firstIdentity = Face<IUnknown>(first.Get());
    EXPECT_EQ(firstIdentity.Get(), second.Get()) << "a second request must return the same factory";
    firstIdentity.Reset();
    second.Reset();
    EXPECT_HR(S_FALSE, module.CanUnloadNow());
    first.Reset();  // back to the map's own reference
    EXPECT_HR(S_OK, module.CanUnloadNow());

    // An unbalanced lock keeps the module loaded without any reference.
    first = Factory();
    EXPECT_HR(S_OK, first->LockServer(TRUE));
    EXPECT_HR(S_FALSE, module.CanUnloadNow());  // held twice: the factory and the lock
    first.Reset();
    EXPECT_HR(S_FALSE, module.CanUnloadNow());
    first = Factory();
    EXPECT_HR(S_OK, first->LockServer(FALSE));
    first.Reset();
    EXPECT_HR(S_OK, module.CanUnloadNow());
}

TEST_F(ModuleEntryPoints, CreateInstanceArguments) {
    ComPtr<IClassFactory> factory = Factory();
    EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_ISCryptoGraphicKey, nullptr));

    // An outer object may only ask for the inner's IUnknown.
    ComPtr<IUnknown> outer = Face<IUnknown>(factory.Get());  // any object: it is never called
    void* out = kSentinel;
    EXPECT_HR(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(outer.Get(), IID_ISCryptoGraphicKey, &out));
    EXPECT_EQ(nullptr, out);

    // An interface the object does not have (and no host object to ask): nothing is left alive.
    out = kSentinel;
    EXPECT_HR(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    outer.Reset();
    factory.Reset();
    EXPECT_HR(S_OK, module.CanUnloadNow());
}

TEST_F(ModuleEntryPoints, LiveObjectKeepsTheModuleLocked) {
    ComPtr<ISCryptoGraphicKey> key = NewKey<ISCryptoGraphicKey>(IID_ISCryptoGraphicKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(1u, RefCount(key.Get()));
    EXPECT_HR(S_FALSE, module.CanUnloadNow());  // the factory is released: the object alone locks

    ComPtr<ISDerivedKey> derived = Face<ISDerivedKey>(key.Get());
    EXPECT_EQ(2u, RefCount(key.Get()));
    key.Reset();
    EXPECT_HR(S_FALSE, module.CanUnloadNow());
    derived.Reset();
    EXPECT_HR(S_OK, module.CanUnloadNow());
}

TEST_F(ModuleEntryPoints, FreeThreadedMarshalerAnswersIMarshal) {
    ComPtr<IUnknown> key = NewKey<IUnknown>(IID_IUnknown);
    ComPtr<IMarshal> marshal = Face<IMarshal>(key.Get());
    CLSID unmarshaler = GUID_NULL;
    EXPECT_HR(S_OK, marshal->GetUnmarshalClass(IID_IUnknown, key.Get(), MSHCTX_INPROC, nullptr,
                                               MSHLFLAGS_NORMAL, &unmarshaler));
    EXPECT_TRUE(IsEqualCLSID(kCLSID_InProcFreeMarshaler, unmarshaler));
    // The marshaler is aggregated: its IUnknown is the key object's identity.
    ComPtr<IUnknown> identity = Face<IUnknown>(marshal.Get());
    EXPECT_EQ(key.Get(), identity.Get());
}

namespace {

// A minimal outer object that aggregates a key object and exposes all of the inner's interfaces.
class OuterObject final : public IUnknown {
  public:
    HRESULT Aggregate(IClassFactory* factory) {
        return factory->CreateInstance(this, IID_IUnknown,
                                       reinterpret_cast<void**>(m_inner.GetAddressOf()));
    }
    IUnknown* Inner() const { return m_inner.Get(); }
    LONG Count() const { return m_count; }

    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_inner ? m_inner->QueryInterface(iid, ppv) : E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_count; }
    STDMETHOD_(ULONG, Release)() override {
        const LONG count = --m_count;
        if (count == 0) {
            m_count = 1;  // guard against re-entry while the inner goes away
            m_inner.Reset();
            delete this;
        }
        return count;
    }

  private:
    std::atomic<LONG> m_count{1};
    ComPtr<IUnknown> m_inner;  // the inner's non-delegating IUnknown
};

}  // namespace

TEST_F(ModuleEntryPoints, AggregatedObjectDelegatesToTheOuterObject) {
    auto* outer = new OuterObject;
    {
        ComPtr<IClassFactory> factory = Factory();
        ASSERT_HR(S_OK, outer->Aggregate(factory.Get()));
    }
    ASSERT_NE(nullptr, outer->Inner());
    EXPECT_EQ(1, outer->Count()) << "creating the inner must not keep a reference on the outer";
    EXPECT_HR(S_FALSE, module.CanUnloadNow());

    // A face of the inner: its IUnknown methods are the outer's.
    ComPtr<ISCryptoGraphicKey> key;
    ASSERT_HR(S_OK, outer->QueryInterface(IID_ISCryptoGraphicKey,
                                          reinterpret_cast<void**>(key.GetAddressOf())));
    EXPECT_EQ(2, outer->Count());
    key->AddRef();
    EXPECT_EQ(3, outer->Count());
    key->Release();
    ComPtr<IUnknown> identity = Face<IUnknown>(key.Get());
    EXPECT_EQ(static_cast<IUnknown*>(outer), identity.Get());
    identity.Reset();
    ComPtr<ISDerivedKey> derived = Face<ISDerivedKey>(key.Get());
    EXPECT_EQ(3, outer->Count());
    derived.Reset();

    // The inner's own IUnknown does not delegate.
    ComPtr<IUnknown> innerIdentity;
    ASSERT_HR(S_OK, outer->Inner()->QueryInterface(
                        IID_IUnknown, reinterpret_cast<void**>(innerIdentity.GetAddressOf())));
    EXPECT_EQ(outer->Inner(), innerIdentity.Get());
    innerIdentity.Reset();

    // IMarshal comes from the marshaler aggregated with the outer object.
    ComPtr<IMarshal> marshal;
    ASSERT_HR(S_OK, outer->QueryInterface(IID_IMarshal,
                                          reinterpret_cast<void**>(marshal.GetAddressOf())));
    ASSERT_HR(S_OK, marshal.As(&identity));
    EXPECT_EQ(static_cast<IUnknown*>(outer), identity.Get());
    CLSID unmarshaler = GUID_NULL;
    EXPECT_HR(S_OK, marshal->GetUnmarshalClass(IID_IUnknown, identity.Get(), MSHCTX_INPROC, nullptr,
                                               MSHLFLAGS_NORMAL, &unmarshaler));
    EXPECT_TRUE(IsEqualCLSID(kCLSID_InProcFreeMarshaler, unmarshaler));
    identity.Reset();
    marshal.Reset();

    key.Reset();
    EXPECT_EQ(1, outer->Count());
    EXPECT_HR(S_FALSE, module.CanUnloadNow());
    outer->Release();  // releases the inner: the module is free again (checked in TearDown)
}

TEST_F(ModuleEntryPoints, ObjectsMadeOnManyThreadsAtOnceLeaveTheModuleUnloadable) {
    constexpr int kThreads = 6;
    constexpr int kObjectsPerThread = 150;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kObjectsPerThread; ++i) {
                ComPtr<IClassFactory> factory;  // every round takes and drops a factory reference
                ComPtr<ISCryptoGraphicKey> key;
                ComPtr<IMarshal> marshal;
                if (FAILED(
                        module.GetClassObject(CLSID_CryptoGraphicKey, IID_IClassFactory,
                                              reinterpret_cast<void**>(factory.GetAddressOf()))) ||
                    FAILED(factory->CreateInstance(nullptr, IID_ISCryptoGraphicKey,
                                                   reinterpret_cast<void**>(key.GetAddressOf()))) ||
                    FAILED(key.As(&marshal))) {
                    ++failures;
                }
            }
            CoUninitialize();
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_HR(S_OK, module.CanUnloadNow());
}

// ---------------------------------------------------------------------------------------------
// Dispatch through the module's registered type library

TEST_F(ModuleEntryPoints, DispatchOfTheKeyFace) {
    ComPtr<IDispatch> dispatch = NewKey<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(dispatch);
    UINT count = 0;
    EXPECT_HR(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(kSentinel);
    EXPECT_HR(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, &info));
    EXPECT_EQ(nullptr, info);
    ComPtr<ITypeInfo> typeInfo;
    ASSERT_HR(S_OK, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo));
    TYPEATTR* attr = nullptr;
    ASSERT_HR(S_OK, typeInfo->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(IID_ISCryptoGraphicKey, attr->guid));
    typeInfo->ReleaseTypeAttr(attr);

    wchar_t keyState[] = L"KeyState";
    wchar_t* names[] = {keyState};
    DISPID id = 0;
    ASSERT_HR(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(202, id);

    // The calls themselves, and the statuses they pass on, are checked late-bound by the script
    // client (tests/scripts) on the registered module.
}

// ---------------------------------------------------------------------------------------------
// Pictures: the module's icon and GIF resources

TEST_F(ModuleEntryPoints, PicturesComeFromTheModuleResources) {
    ComPtr<ISCryptoGraphicKey> key = NewKey<ISCryptoGraphicKey>(IID_ISCryptoGraphicKey);
    ASSERT_TRUE(key);

    for (KvPictureKind kind : {KvPictureSmallIcon, KvPictureLargeIcon}) {
        SCOPED_TRACE(static_cast<int>(kind));
        VARIANT picture;
        VariantInit(&picture);
        ASSERT_HR(S_OK, key->get_Picture(kind, &picture));
        ASSERT_EQ(VT_DISPATCH, V_VT(&picture));
        ASSERT_NE(nullptr, V_DISPATCH(&picture));
        ComPtr<IPicture> icon;
        ASSERT_HR(S_OK, V_DISPATCH(&picture)->QueryInterface(
                            IID_IPicture, reinterpret_cast<void**>(icon.GetAddressOf())));
        SHORT type = 0;
        EXPECT_HR(S_OK, icon->get_Type(&type));
        EXPECT_EQ(PICTYPE_ICON, type);
        OLE_HANDLE handle = 0;
        EXPECT_HR(S_OK, icon->get_Handle(&handle));
        ICONINFO iconInfo = {};
        ASSERT_TRUE(
            GetIconInfo(reinterpret_cast<HICON>(static_cast<uintptr_t>(handle)), &iconInfo));
        BITMAP bitmap = {};
        GetObjectW(iconInfo.hbmColor ? iconInfo.hbmColor : iconInfo.hbmMask, sizeof bitmap,
                   &bitmap);
        EXPECT_EQ(16, bitmap.bmWidth);
        if (iconInfo.hbmColor) DeleteObject(iconInfo.hbmColor);
        if (iconInfo.hbmMask) DeleteObject(iconInfo.hbmMask);
        icon.Reset();
        VariantClear(&picture);
    }

    // The GIF resource's bytes, as the module carries them.
    HRSRC resource = FindResourceW(module.Handle(), MAKEINTRESOURCEW(202), L"GIF");
    ASSERT_NE(nullptr, resource);
    const DWORD size = SizeofResource(module.Handle(), resource);
    const BYTE* bytes =
        static_cast<const BYTE*>(LockResource(LoadResource(module.Handle(), resource)));
    ASSERT_NE(nullptr, bytes);
    ASSERT_GT(size, 6u);
    EXPECT_EQ(0, memcmp(bytes, "GIF89a", 6));

    for (KvPictureKind kind : {KvPictureSmallImage, KvPictureLargeImage}) {
        SCOPED_TRACE(static_cast<int>(kind));
        VARIANT picture;
        VariantInit(&picture);
        ASSERT_HR(S_OK, key->get_Picture(kind, &picture));
        ASSERT_EQ(VT_ARRAY | VT_UI1, V_VT(&picture));
        SAFEARRAY* array = V_ARRAY(&picture);
        ASSERT_EQ(1u, SafeArrayGetDim(array));
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        EXPECT_EQ(0, lower);
        EXPECT_EQ(static_cast<LONG>(size) - 1, upper);
        void* data = nullptr;
        ASSERT_HR(S_OK, SafeArrayAccessData(array, &data));
        EXPECT_EQ(0, memcmp(data, bytes, size));
        SafeArrayUnaccessData(array);
        VariantClear(&picture);
    }

    // The GIF is a real 16 by 16 picture.
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    ASSERT_NE(nullptr, copy);
    memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    ComPtr<IStream> stream;
    ASSERT_HR(S_OK, CreateStreamOnHGlobal(copy, TRUE, &stream));
    ComPtr<IPicture> gif;
    ASSERT_HR(S_OK, OleLoadPicture(stream.Get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                                   reinterpret_cast<void**>(gif.GetAddressOf())));
    OLE_XSIZE_HIMETRIC width = 0;
    EXPECT_HR(S_OK, gif->get_Width(&width));
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(MulDiv(16, 2540, dpi), width);
}
