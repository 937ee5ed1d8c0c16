// The host InfoObject: members that keep state, its faces, processing info, files, commit and
// load, queries, serialization and dispatch by name.
#include <vector>

#include "refhost/refhost_fixture.h"

namespace {

class InfoObjectTest : public RefHostTest {
  protected:
    void SetUp() override {
        RefHostTest::SetUp();
        object = NewObject(*repository);
    }
    void TearDown() override {
        object.Reset();
        RefHostTest::TearDown();
    }
    static ComPtr<ISInfoObject> NewObject(RefHost::Repository& repository,
                                          const wchar_t* kind = L"CryptoGraphicKey") {
        return RefHostTest::NewObject(repository, kind);
    }
    static std::wstring TitleOf(ISInfoObject* object) {
        return GetText(object, &ISInfoObject::get_Title);
    }
    ComPtr<ISInfoObject> object;  // a key object of the repository, not committed
};

TEST_F(InfoObjectTest, MembersKeepTheirStateInTheObjectAndItsBag) {
    const long id = IdOf(object.Get());
    EXPECT_GT(id, 0);
    EXPECT_NE(id, IdOf(NewObject(*repository).Get()));

    EXPECT_EQ(L"", TitleOf(object.Get()));
    ASSERT_HR(S_OK, object->put_Title(ScopedBstr(L"Master key").Get()));
    ASSERT_HR(S_OK, object->put_Description(ScopedBstr(L"for tests").Get()));
    ASSERT_HR(S_OK, object->put_ParentID(42));
    EXPECT_EQ(L"Master key", TitleOf(object.Get()));
    auto bag = BagOf(object.Get());
    EXPECT_EQ(L"Master key", ValueText(bag.Get(), L"SI_NAME"));
    EXPECT_EQ(L"42", ValueText(bag.Get(), L"SI_PARENTID"));
    EXPECT_EQ(L"CryptoGraphicKey", ValueText(bag.Get(), L"SI_KIND"));
    EXPECT_EQ(L"", ValueText(bag.Get(), L"SI_NEWOBJECT"));
    EXPECT_EQ(42, Get(object.Get(), &ISInfoObject::get_ParentID));
    EXPECT_EQ(L"CryptoGraphicKey", GetText(object.Get(), &ISInfoObject::get_Kind));
    EXPECT_EQ(L"KorvelEnterprise.CryptoGraphicKey",
              GetText(object.Get(), &ISInfoObject::get_ProgID));

    EXPECT_EQ(1033, Get(object.Get(), &ISInfoObject::get_Locale));
    ASSERT_HR(S_OK, RefHost::SetLocale(object.Get(), 1031));
    EXPECT_EQ(1031, Get(object.Get(), &ISInfoObject::get_Locale));

    // Property get/put: absent fails untouched; put replaces the value and keeps the flags.
    ScopedVariant value;
    V_VT(value.Ptr()) = VT_I2;
    EXPECT_HR(kNotFound, object->get_Property(ScopedBstr(L"SI_KEY_STATE").Get(), value.Ptr()));
    EXPECT_EQ(VT_I2, value.Type());
    value.Reset();
    ASSERT_HR(S_OK, object->SetPropertyEx(ScopedBstr(L"SI_KEY_STATE").Get(), I4(1), 0x02000000));
    ASSERT_HR(S_OK, object->put_Property(ScopedBstr(L"si_key_state").Get(), I4(4)));
    ASSERT_HR(S_OK, object->get_Property(ScopedBstr(L"SI_KEY_STATE").Get(), value.Receive()));
    EXPECT_EQ(4, V_I4(&value.Get()));
    EXPECT_EQ(0x02000000, Get(Item(bag.Get(), L"SI_KEY_STATE").Get(), &ISProperty::get_Flags));
    EXPECT_HR(E_INVALIDARG, object->put_Property(nullptr, I4(1)));

    EXPECT_EQ(VARIANT_TRUE, Get(object.Get(), &ISInfoObject::IsNew));
    EXPECT_EQ(VARIANT_TRUE, Get(object.Get(), &ISInfoObject::get_IsDirty));
    ASSERT_HR(S_OK, object->put_MarkedAsRead(VARIANT_TRUE));
    EXPECT_EQ(VARIANT_TRUE, Get(object.Get(), &ISInfoObject::get_MarkedAsRead));
    VARIANT_BOOL equal = VARIANT_FALSE;
    EXPECT_HR(S_OK, object->Equals(object.Get(), &equal));
    EXPECT_EQ(VARIANT_TRUE, equal);
    EXPECT_HR(E_POINTER, object->Equals(nullptr, &equal));
}

TEST_F(InfoObjectTest, QueriesAndPluginInterfacesAreAnsweredByTheHost) {
    auto errorInfo = Face<ISupportErrorInfo>(object.Get());
    EXPECT_HR(S_OK, errorInfo->InterfaceSupportsErrorInfo(IID_ISInfoObject));
    EXPECT_HR(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_ISProperties));
    auto persist = Face<IPersist>(object.Get());
    CLSID clsid = GUID_NULL;
    EXPECT_HR(S_OK, persist->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(RefHost::CLSID_RefHostInfoObject, clsid));
    void* sentinel = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_HR(E_NOINTERFACE, object->QueryInterface(IID_ISProperties, &sentinel));
    EXPECT_EQ(nullptr, sentinel);
    EXPECT_EQ(RefHost::IdentityOf(object.Get()), RefHost::IdentityOf(persist.Get()));

    ComPtr<IDispatch> self, named, other;
    ASSERT_HR(S_OK, object->get_PluginInterface(nullptr, &self));
    EXPECT_EQ(RefHost::IdentityOf(object.Get()), RefHost::IdentityOf(self.Get()));
    ASSERT_HR(S_OK, object->get_PluginInterface(ScopedBstr(L"infoobject").Get(), &named));
    EXPECT_EQ(RefHost::IdentityOf(object.Get()), RefHost::IdentityOf(named.Get()));
    EXPECT_HR(E_NOINTERFACE, object->get_PluginInterface(ScopedBstr(L"Report").Get(), &other));

    auto answer = NewBag();  // any dispatch object will do
    ASSERT_HR(S_OK, RefHost::SetPluginInterface(object.Get(), L"Report", answer.Get()));
    ASSERT_HR(S_OK, object->get_PluginInterface(ScopedBstr(L"REPORT").Get(), &other));
    EXPECT_EQ(RefHost::IdentityOf(answer.Get()), RefHost::IdentityOf(other.Get()));
    ASSERT_HR(S_OK, RefHost::SetPluginInterface(object.Get(), L"Report", nullptr));
    other.Reset();
    EXPECT_HR(E_NOINTERFACE, object->get_PluginInterface(ScopedBstr(L"Report").Get(), &other));

    // Settings for objects the host did not make are refused.
    ComPtr<ISInfoObject> foreign;
    EXPECT_HR(E_INVALIDARG, RefHost::SetLocale(foreign.Get(), 1031));
}

TEST_F(InfoObjectTest, ProcessingInfoIsABagNestedInTheObjectsBag) {
    auto processing = Fetch(object.Get(), &ISInfoObject::get_ProcessingInfo);
    ScopedVariant value;
    EXPECT_HR(kNotFound, processing->get_Property(ScopedBstr(L"SI_FORMAT").Get(), value.Receive()));
    ASSERT_HR(S_OK, processing->put_Property(ScopedBstr(L"SI_FORMAT").Get(), Text(L"pdf")));
    ASSERT_HR(S_OK, processing->get_Property(ScopedBstr(L"SI_FORMAT").Get(), value.Receive()));
    EXPECT_EQ(std::wstring(L"pdf"), V_BSTR(&value.Get()));

    auto viaObject = Fetch(Item(BagOf(object.Get()).Get(), L"SI_PROCESSINFO").Get(),
                           &ISProperty::get_Properties);
    EXPECT_EQ(Fetch(processing.Get(), &ISProcessingInfo::get_Properties).Get(), viaObject.Get());
}

TEST_F(InfoObjectTest, FilesHoldContentsAndStreamThem) {
    auto files = Fetch(object.Get(), &ISInfoObject::get_Files);
    ComPtr<ISFile> file;
    EXPECT_HR(kNotFound, files->get_Item(I4(1), &file));  // an empty list has no position 1

    const std::vector<BYTE> bytes = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_HR(S_OK, RefHost::AddFile(object.Get(), L"key.bin", bytes));
    ASSERT_HR(S_OK, files->get_Item(I4(1), &file));
    ScopedVariant contents;
    ASSERT_HR(S_OK, file->get_Contents(contents.Receive()));
    ASSERT_EQ(VT_ARRAY | VT_UI1, contents.Type());
    SAFEARRAY* array = V_ARRAY(&contents.Get());
    BYTE* data = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(array, reinterpret_cast<void**>(&data)));
    EXPECT_EQ(bytes, std::vector<BYTE>(data, data + array->rgsabound[0].cElements));
    SafeArrayUnaccessData(array);

    auto stream = Fetch(file.Get(), &ISFile::get_StreamingFile);
    EXPECT_EQ(7, Get(stream.Get(), &ISStreamingFile::get_Size));
    auto readCount = [&](LONG count) {
        ScopedVariant chunk;
        EXPECT_HR(S_OK, stream->Read(count, chunk.Receive()));
        return chunk.Type() == (VT_ARRAY | VT_UI1) ? V_ARRAY(&chunk.Get())->rgsabound[0].cElements
                                                   : 99u;
    };
    EXPECT_EQ(3u, readCount(3));
    EXPECT_EQ(3, Get(stream.Get(), &ISStreamingFile::get_Position));
    EXPECT_EQ(4u, readCount(100));
    EXPECT_EQ(0u, readCount(5));
    EXPECT_HR(E_INVALIDARG, stream->Read(-1, ScopedVariant().Receive()));
    EXPECT_HR(S_OK, stream->Close());
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), stream->Read(1, ScopedVariant().Receive()));

    // Contents can be replaced by a byte array only.
    EXPECT_HR(DISP_E_TYPEMISMATCH, file->put_Contents(Text(L"text")));
    EXPECT_HR(S_OK, file->put_Contents(contents.Get()));
}

TEST_F(InfoObjectTest, CommitKeepsADeepCopyAndLoadGivesANewObjectOverIt) {
    auto folder = NewObject(*repository, L"Folder");
    ASSERT_HR(S_OK, folder->put_Title(ScopedBstr(L"Keys").Get()));
    ASSERT_HR(S_OK, folder->Save());

    const long id = IdOf(object.Get());
    ASSERT_HR(S_OK, object->put_Title(ScopedBstr(L"Master key").Get()));
    ASSERT_HR(S_OK, object->put_ParentID(IdOf(folder.Get())));
    VARIANT isNewMark;
    V_VT(&isNewMark) = VT_BOOL;
    V_BOOL(&isNewMark) = VARIANT_TRUE;
    ASSERT_HR(S_OK,
              object->SetPropertyEx(ScopedBstr(L"SI_NEWOBJECT").Get(), isNewMark, 0x02000000));
    auto bag = BagOf(object.Get());
    auto categories = AddList(bag.Get(), L"SI_CORPORATE_CATEGORIES", 0x0A000000);
    ASSERT_HR(S_OK, categories->Append(I4(501)));
    ASSERT_HR(S_OK, RefHost::AddFile(object.Get(), L"key.bin", {9, 8, 7}));

    ASSERT_HR(S_OK, object->Save());
    EXPECT_EQ(VARIANT_FALSE, Get(object.Get(), &ISInfoObject::IsNew));
    EXPECT_EQ(VARIANT_FALSE, Get(object.Get(), &ISInfoObject::get_IsDirty));
    EXPECT_EQ(VARIANT_FALSE, Exists(bag.Get(), L"SI_NEWOBJECT"));

    // Later changes stay in memory until the next commit.
    ASSERT_HR(S_OK, categories->Append(I4(502)));
    EXPECT_EQ(VARIANT_TRUE, Get(object.Get(), &ISInfoObject::get_IsDirty));
    ComPtr<ISInfoObject> loaded;
    ASSERT_HR(S_OK, repository->Load(id, &loaded));
    EXPECT_NE(RefHost::IdentityOf(object.Get()), RefHost::IdentityOf(loaded.Get()));
    EXPECT_EQ(L"Master key", TitleOf(loaded.Get()));
    EXPECT_EQ(VARIANT_FALSE, Get(loaded.Get(), &ISInfoObject::IsNew));
    auto loadedBag = BagOf(loaded.Get());
    EXPECT_EQ(0x0A000000,
              Get(Item(loadedBag.Get(), L"SI_CORPORATE_CATEGORIES").Get(), &ISProperty::get_Flags));
    auto loadedCategories = ListIn(loadedBag.Get(), L"SI_CORPORATE_CATEGORIES");
    EXPECT_EQ(std::vector<long>{501}, ValuesOf(loadedCategories.Get()));
    auto files = Fetch(loaded.Get(), &ISInfoObject::get_Files);
    EXPECT_EQ(3, Get(files.Get(), &ISFiles::get_TotalSize));

    // Changing the loaded object changes neither the committed state nor the first object.
    ASSERT_HR(S_OK, loadedCategories->Append(I4(777)));
    ComPtr<ISProperties> committed;
    ASSERT_HR(S_OK, repository->CommittedProperties(id, &committed));
    EXPECT_EQ(VARIANT_FALSE, Exists(committed.Get(), L"SI_NEWOBJECT"));
    EXPECT_EQ(1, CountOf(ListIn(committed.Get(), L"SI_CORPORATE_CATEGORIES").Get()));
    EXPECT_EQ(2, CountOf(categories.Get()));

    // The parent collection leads to the committed parent.
    ComPtr<ISInfoObjects> parents;
    ComPtr<ISInfoObject> parent;
    ASSERT_HR(S_OK, loaded->get_ParentInfoObjects(&parents));
    ASSERT_EQ(1, CountOf(parents.Get()));
    ASSERT_HR(S_OK, parents->get_Item(I4(1), &parent));
    EXPECT_EQ(L"Keys", TitleOf(parent.Get()));
    EXPECT_EQ(L"Folder", GetText(loaded.Get(), &ISInfoObject::get_ParentKind));

    // Deleting forgets the committed state.
    ASSERT_HR(S_OK, loaded->DeleteNow());
    EXPECT_FALSE(repository->Contains(id));
    ComPtr<ISInfoObject> again;
    EXPECT_HR(kNotInCollection, repository->Load(id, &again));
}

TEST_F(InfoObjectTest, QueriesSelectCommittedObjectsByProperty) {
    auto folder = NewObject(*repository, L"Folder");
    auto key = NewObject(*repository);
    ASSERT_HR(S_OK, folder->Save());
    ASSERT_HR(S_OK, key->put_ParentID(IdOf(folder.Get())));
    ASSERT_HR(S_OK, key->Save());
    ComPtr<ISInfoStore> store;
    ASSERT_HR(S_OK, repository->GetInfoStore(&store));

    auto count = [&](const wchar_t* query) {
        ComPtr<ISInfoObjects> result;
        LONG n = -1;
        if (FAILED(store->Query(ScopedBstr(query).Get(), &result))) return -1L;
        EXPECT_HR(S_OK, result->get_Count(&n));
        return static_cast<long>(n);
    };
    EXPECT_EQ(2, count(L""));
    EXPECT_EQ(1, count(L"SELECT * FROM CI_INFOOBJECTS WHERE SI_KIND='Folder'"));
    const std::wstring byParent = L"SI_PARENTID=" + std::to_wstring(IdOf(folder.Get())) +
                                  L" AND SI_KIND = 'cryptographickey'";
    EXPECT_EQ(1, count(byParent.c_str()));
    EXPECT_EQ(0, count(L"SI_ID=1"));
    ComPtr<ISInfoObjects> result;
    EXPECT_HR(E_INVALIDARG, store->Query(ScopedBstr(L"SI_KIND").Get(), &result));
}

TEST_F(InfoObjectTest, SerializedBagsComeBackWhole) {
    auto source = NewObject(*repository);
    auto target = NewObject(*repository);
    ASSERT_HR(S_OK, source->put_Title(ScopedBstr(L"tab\there\nand \\ there").Get()));
    auto list = AddList(BagOf(source.Get()).Get(), L"SI_ARTIFACTS_SCOPEBATCH", 0x0A000000);
    ComPtr<ISProperties> element;
    ASSERT_HR(S_OK, list->Append(I4(7)));
    ASSERT_HR(S_OK, list->AppendBag(&element));
    ComPtr<ISProperty> id;
    ASSERT_HR(S_OK, element->Add(ScopedBstr(L"SI_ID").Get(), I4(8), 0, &id));
    VARIANT stamp;
    V_VT(&stamp) = VT_BOOL;
    V_BOOL(&stamp) = VARIANT_TRUE;
    ASSERT_HR(S_OK, source->put_Property(ScopedBstr(L"SI_IS_COMPROMISED").Get(), stamp));

    ScopedVariant data;
    ASSERT_HR(S_OK, source->Serialize(data.Receive()));
    ASSERT_EQ(VT_BSTR, data.Type());
    ASSERT_HR(S_OK, target->Deserialize(data.Get()));
    EXPECT_EQ(L"tab\there\nand \\ there", TitleOf(target.Get()));
    EXPECT_EQ(IdOf(source.Get()), IdOf(target.Get()));
    ScopedVariant compromised;
    ASSERT_HR(S_OK,
              target->get_Property(ScopedBstr(L"SI_IS_COMPROMISED").Get(), compromised.Receive()));
    EXPECT_EQ(VT_BOOL, compromised.Type());
    auto copiedList = ListIn(BagOf(target.Get()).Get(), L"SI_ARTIFACTS_SCOPEBATCH");
    ASSERT_EQ(2, CountOf(copiedList.Get()));
    EXPECT_EQ(7, ItemI4(copiedList.Get(), 1));
    ComPtr<ISProperties> copiedElementBag = BagAt(copiedList.Get(), 2);
    ASSERT_TRUE(copiedElementBag);
    EXPECT_EQ(L"8", ValueText(copiedElementBag.Get(), L"SI_ID"));

    // A malformed text changes nothing.
    EXPECT_HR(E_INVALIDARG, target->Deserialize(Text(L"SI_NAME\t0\t8\tx\n{\n")));
    EXPECT_EQ(L"tab\there\nand \\ there", TitleOf(target.Get()));
}

TEST_F(InfoObjectTest, TitleIsReachedByNameThroughTheRegisteredTypeLibrary) {
    ASSERT_HR(S_OK, object->put_Title(ScopedBstr(L"by name").Get()));
    const auto dispidOf = [](IDispatch* dispatch, const wchar_t* name) {
        OLECHAR* names[] = {const_cast<OLECHAR*>(name)};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_HR(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        return id;
    };
    auto dispatch = Face<IDispatch>(object.Get());
    const DISPID title = dispidOf(dispatch.Get(), L"Title");
    ASSERT_EQ(4, title);

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ScopedVariant result;
    ASSERT_HR(S_OK, dispatch->Invoke(title, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                     &none, result.Receive(), nullptr, nullptr));
    ASSERT_EQ(VT_BSTR, result.Type());
    EXPECT_EQ(std::wstring(L"by name"), V_BSTR(&result.Get()));

    Text renamed(L"renamed");
    VARIANT argument = renamed;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&argument, &named, 1, 1};
    ASSERT_HR(S_OK, dispatch->Invoke(title, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                     &put, nullptr, nullptr, nullptr));
    EXPECT_EQ(L"renamed", TitleOf(object.Get()));

    // The list face dispatches through its own description.
    auto bag = NewBag();
    auto list = ListOf(bag);
    // IDispatch of the bag is its ISProperties face.
    ComPtr<IDispatch> listDispatch = Face<IDispatch>(list.Get());
    EXPECT_EQ(1, dispidOf(list.Get(), L"Count"));
    EXPECT_EQ(3, dispidOf(list.Get(), L"Setup"));
}

}  // namespace
