// The repository behind the info store: the chain to it, collections (new objects, delete,
// commit, find, copy), the plug-in manager, objects of other repositories, files read from disk,
// deltas, the small member objects, and commits racing with changes.
#include <fstream>
#include <thread>
#include <vector>

#include "import.h"
#include "refhost/refhost_fixture.h"

namespace {

class RepositoryTest : public RefHostTest {
  protected:
    static ComPtr<ISInfoObject> NewObject(RefHost::Repository& repository,
                                          const wchar_t* kind = L"Folder") {
        return RefHostTest::NewObject(repository, kind);
    }
    static ComPtr<ISInfoStore> StoreOf(RefHost::Repository& repository) {
        ComPtr<ISInfoStore> store;
        EXPECT_HR(S_OK, repository.GetInfoStore(&store));
        return store;
    }
};

// The info store, reached from an object, makes objects of a plug-in's kind under new IDs through
// a collection, which commits them (by itself or through the store) and the deletions it recorded.
TEST_F(RepositoryTest, CollectionsCommitTheirObjectsAndTheDeletionsTheyRecorded) {
    auto object = NewObject(*repository, L"CryptoGraphicKey");
    ComPtr<ISInfoObjects> parents, collection;
    ComPtr<ISInfoStore> store;
    ComPtr<ISPluginManager> manager;
    ComPtr<ISPluginInfos> infos;
    ComPtr<ISPluginInfo> keyInfo, folderInfo, unknown;
    ASSERT_HR(S_OK, object->get_ParentInfoObjects(&parents));
    ASSERT_HR(S_OK, parents->get_InfoStore(&store));
    ASSERT_HR(S_OK, store->NewInfoObjectCollection(&collection));
    ASSERT_HR(S_OK, store->get_PluginManager(&manager));
    ASSERT_HR(S_OK, manager->get_PluginInfos(&infos));
    EXPECT_HR(kNotFound, infos->get_Item(Text(L"NoSuchKind"), &unknown));
    ASSERT_HR(S_OK, infos->get_Item(Text(L"CryptoGraphicKey"), &keyInfo));
    ASSERT_HR(S_OK,
              manager->GetPluginInfo(ScopedBstr(L"KorvelEnterprise.Folder").Get(), &folderInfo));

    ComPtr<ISInfoObject> first, second, found;
    ASSERT_HR(S_OK, collection->Add(keyInfo.Get(), &first));
    EXPECT_NE(IdOf(object.Get()), IdOf(first.Get()));
    EXPECT_EQ(L"CryptoGraphicKey", GetText(first.Get(), &ISInfoObject::get_Kind));
    EXPECT_EQ(VARIANT_TRUE, Get(first.Get(), &ISInfoObject::IsNew));
    EXPECT_EQ(VARIANT_FALSE, Exists(BagOf(first.Get()).Get(), L"SI_NEWOBJECT"));
    ASSERT_HR(S_OK, first->put_ParentID(IdOf(object.Get())));
    EXPECT_FALSE(repository->Contains(IdOf(first.Get())));
    ASSERT_HR(S_OK, collection->Commit());
    EXPECT_TRUE(repository->Contains(IdOf(first.Get())));
    ASSERT_HR(S_OK, collection->Add(folderInfo.Get(), &second));
    ASSERT_HR(S_OK, store->Commit(collection.Get()));
    EXPECT_TRUE(repository->Contains(IdOf(second.Get())));

    ASSERT_HR(S_OK, collection->FindByID(IdOf(second.Get()), &found));
    EXPECT_EQ(second.Get(), found.Get());
    found.Reset();
    EXPECT_HR(kNotInCollection, collection->FindByID(-1, &found));

    // Delete takes the object out now and out of the repository at the next commit.
    ASSERT_HR(S_OK, collection->Delete(I4(1)));
    EXPECT_EQ(1, CountOf(collection.Get()));
    EXPECT_TRUE(repository->Contains(IdOf(first.Get())));
    ASSERT_HR(S_OK, collection->Commit());
    EXPECT_FALSE(repository->Contains(IdOf(first.Get())));
    EXPECT_TRUE(repository->Contains(IdOf(second.Get())));
    EXPECT_HR(kNotFound, collection->Delete(I4(2)));

    // Collections and objects the host did not make are refused.
    EXPECT_HR(E_POINTER, store->Commit(nullptr));
    EXPECT_HR(E_INVALIDARG, repository->Store(nullptr));
}

TEST_F(RepositoryTest, CopiesTakeTheSourcesPropertiesUnderANewIdentity) {
    auto source = NewObject(*repository, L"CryptoGraphicKey");
    ASSERT_HR(S_OK, source->put_Title(ScopedBstr(L"original").Get()));
    ASSERT_HR(S_OK, source->put_Property(ScopedBstr(L"SI_KEY_STATE").Get(), I4(2)));
    auto collection = Fetch(StoreOf(*repository).Get(), &ISInfoStore::NewInfoObjectCollection);
    ComPtr<ISInfoObject> copy;
    ASSERT_HR(S_OK, collection->Copy(source.Get(), 0, &copy));
    EXPECT_NE(IdOf(source.Get()), IdOf(copy.Get()));
    EXPECT_EQ(L"original", GetText(copy.Get(), &ISInfoObject::get_Title));
    EXPECT_NE(GetText(source.Get(), &ISInfoObject::get_CUID),
              GetText(copy.Get(), &ISInfoObject::get_CUID));
    EXPECT_EQ(VARIANT_TRUE, Get(copy.Get(), &ISInfoObject::IsNew));

    // Copies are independent of their source.
    ASSERT_HR(S_OK, source->put_Property(ScopedBstr(L"SI_KEY_STATE").Get(), I4(3)));
    ScopedVariant state;
    ASSERT_HR(S_OK, copy->get_Property(ScopedBstr(L"SI_KEY_STATE").Get(), state.Receive()));
    EXPECT_EQ(2, V_I4(&state.Get()));
}

TEST_F(RepositoryTest, ThePluginManagerKnowsTheInstalledKinds) {
    ASSERT_HR(S_OK, repository->InstallKind({L"Report", L"KorvelEnterprise.Report", L"Report"}));
    EXPECT_HR(E_INVALIDARG, repository->InstallKind({L"", L"x", L""}));
    EXPECT_EQ(3u, repository->Kinds().size());

    auto manager = Fetch(StoreOf(*repository).Get(), &ISInfoStore::get_PluginManager);
    const auto installed = [&](const wchar_t* progId) {
        VARIANT_BOOL answer = 0x55;
        EXPECT_HR(S_OK, manager->IsPluginInstalled(ScopedBstr(progId).Get(), &answer));
        return answer;
    };
    EXPECT_EQ(VARIANT_TRUE, installed(L"korvelenterprise.report"));
    EXPECT_EQ(VARIANT_FALSE, installed(L"Nothing"));
    ComPtr<ISPluginInfo> info;
    EXPECT_HR(kNotFound, manager->GetPluginInfo(ScopedBstr(L"Nothing").Get(), &info));

    ComPtr<ISPluginInfos> desktop, admin;
    ASSERT_HR(S_OK, manager->get_DesktopPlugins(&desktop));
    ASSERT_HR(S_OK, manager->get_AdminPlugins(&admin));
    EXPECT_EQ(3, CountOf(desktop.Get()));
    EXPECT_EQ(0, CountOf(admin.Get()));
    ASSERT_HR(S_OK, desktop->get_Item(I4(3), &info));
    EXPECT_EQ(L"Report", GetText(info.Get(), &ISPluginInfo::get_Kind));
    info.Reset();
    EXPECT_HR(kNotFound, desktop->get_Item(I4(4), &info));
    ASSERT_HR(S_OK, desktop->get_Item(Text(L"KorvelEnterprise.CryptoGraphicKey"), &info));
    auto properties = Fetch(info.Get(), &ISPluginInfo::get_Properties);
    EXPECT_EQ(L"CryptoGraphicKey", ValueText(properties.Get(), L"SI_KIND"));

    ComPtr<ISInfoObject> report;
    ASSERT_HR(S_OK, repository->NewObject(L"report", &report));
    EXPECT_HR(kNotFound, repository->NewObject(L"Nothing", &report));
}

TEST_F(RepositoryTest, ObjectsBelongToTheirOwnRepository) {
    auto mine = RefHost::CreateRepository();
    auto theirs = RefHost::CreateRepository();
    auto object = NewObject(*mine);
    EXPECT_HR(E_INVALIDARG, theirs->Store(object.Get()));
    EXPECT_FALSE(theirs->Contains(IdOf(object.Get())));
    ASSERT_HR(S_OK, mine->Store(object.Get()));
    EXPECT_EQ(std::vector<long>{IdOf(object.Get())}, mine->Ids());
    EXPECT_HR(kNotInCollection, theirs->Remove(IdOf(object.Get())));
    ComPtr<ISProperties> committed;
    EXPECT_HR(kNotInCollection, theirs->CommittedProperties(IdOf(object.Get()), &committed));
}

TEST_F(RepositoryTest, ParentsThatAreNotCommittedAreNotFound) {
    auto object = NewObject(*repository);
    ComPtr<ISInfoObject> parent;
    EXPECT_HR(S_FALSE, object->get_Parent(&parent));  // parent 0: none
    EXPECT_EQ(nullptr, parent.Get());
    ASSERT_HR(S_OK, object->put_ParentID(999));
    EXPECT_HR(kNotInCollection, object->get_Parent(&parent));
    auto parents = Fetch(object.Get(), &ISInfoObject::get_ParentInfoObjects);
    EXPECT_EQ(0, CountOf(parents.Get()));
    EXPECT_EQ(L"", GetText(object.Get(), &ISInfoObject::get_ParentCUID));
}

TEST_F(RepositoryTest, FilesAreReadFromDiskAndTravelWithTheCommit) {
    wchar_t directory[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, directory));
    const std::wstring path = std::wstring(directory) + L"refhost_file_test.bin";
    {
        std::ofstream out(path.c_str(), std::ios::binary);  // the MinGW library takes wide paths
        out.write("\x00\x01\x02\xff", 4);
    }
    auto object = NewObject(*repository);
    auto files = Fetch(object.Get(), &ISInfoObject::get_Files);
    ComPtr<ISFile> file;
    ASSERT_HR(S_OK, files->Add(ScopedBstr(path.c_str()).Get(), &file));
    DeleteFileW(path.c_str());
    EXPECT_EQ(L"refhost_file_test.bin", GetText(file.Get(), &ISFile::get_Name));
    EXPECT_EQ(4, Get(file.Get(), &ISFile::get_Size));
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              files->Add(ScopedBstr(path.c_str()).Get(), &file));

    ASSERT_HR(S_OK, object->Save());
    ASSERT_HR(S_OK, files->Delete(I4(1)));  // after the commit: the committed file stays
    ComPtr<ISInfoObject> loaded;
    ASSERT_HR(S_OK, repository->Load(IdOf(object.Get()), &loaded));
    auto loadedFiles = Fetch(loaded.Get(), &ISInfoObject::get_Files);
    EXPECT_EQ(1, CountOf(loadedFiles.Get()));
    EXPECT_EQ(0, CountOf(files.Get()));
}

TEST_F(RepositoryTest, DeltasMergeIntoTheBag) {
    auto source = NewObject(*repository);
    auto target = NewObject(*repository);
    ASSERT_HR(S_OK, source->put_Title(ScopedBstr(L"from the delta").Get()));
    ASSERT_HR(S_OK, target->put_Keyword(ScopedBstr(L"kept").Get()));
    ScopedBstr delta;
    ASSERT_HR(S_OK, source->get_Delta(delta.Receive()));
    ASSERT_HR(S_OK, target->ApplyDelta(delta.Get()));
    EXPECT_EQ(L"from the delta", GetText(target.Get(), &ISInfoObject::get_Title));
    // A merge keeps what the delta does not name.
    EXPECT_EQ(L"kept", GetText(target.Get(), &ISInfoObject::get_Keyword));
    EXPECT_HR(E_POINTER, target->ApplyDelta(nullptr));
    EXPECT_HR(E_INVALIDARG, target->ApplyDelta(ScopedBstr(L"no fields").Get()));
}

TEST_F(RepositoryTest, SchedulingAndSecurityInfoAnswerPlausibly) {
    auto object = NewObject(*repository);
    auto scheduling = Fetch(object.Get(), &ISInfoObject::get_SchedulingInfo);
    EXPECT_EQ(0, Get(scheduling.Get(), &ISSchedulingInfo::get_Type));
    ASSERT_HR(S_OK, scheduling->put_Type(2));
    ASSERT_HR(S_OK, scheduling->put_BeginDate(45000.5));
    auto again = Fetch(object.Get(), &ISInfoObject::get_SchedulingInfo);
    EXPECT_EQ(2, Get(again.Get(), &ISSchedulingInfo::get_Type));
    EXPECT_EQ(45000.5, Get(again.Get(), &ISSchedulingInfo::get_BeginDate));

    auto security = Fetch(object.Get(), &ISInfoObject::get_SecurityInfo);
    VARIANT_BOOL granted = VARIANT_FALSE;
    EXPECT_HR(S_OK, security->CheckRight(3, VARIANT_FALSE, &granted));
    EXPECT_EQ(VARIANT_TRUE, granted);
    SAFEARRAY* rights = SafeArrayCreateVector(VT_I4, 0, 3);
    ASSERT_NE(nullptr, rights);
    VARIANT request;
    V_VT(&request) = VT_ARRAY | VT_I4;
    V_ARRAY(&request) = rights;
    ScopedVariant answers;
    EXPECT_HR(S_OK, security->CheckRights(request, VARIANT_FALSE, answers.Receive()));
    SafeArrayDestroy(rights);
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, answers.Type());
    EXPECT_EQ(3u, V_ARRAY(&answers.Get())->rgsabound[0].cElements);
}

TEST_F(RepositoryTest, CommitsRacingWithChangesKeepACoherentState) {
    auto object = NewObject(*repository);
    const long id = IdOf(object.Get());
    ComPtr<ISPropertyBagCollection> list = ListOf(BagOf(object.Get()));
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread writer([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (long i = 1; i <= 3000; ++i)
            if (list->Append(I4(i)) != S_OK) ++failures;
        stop = true;
        CoUninitialize();
    });
    std::thread committer([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        while (!stop) {
            if (object->Save() != S_OK) ++failures;
            ComPtr<ISProperties> committed;
            if (repository->CommittedProperties(id, &committed) != S_OK) {
                ++failures;
                continue;
            }
            // Every committed copy is a whole list: its count matches its elements.
            auto copy = ListOf(committed);
            LONG count = 0;
            copy->get_Count(&count);
            if (count > 0 && ItemI4(copy.Get(), count) != count) ++failures;
        }
        CoUninitialize();
    });
    writer.join();
    committer.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_HR(S_OK, object->Save());
    ComPtr<ISInfoObject> loaded;
    ASSERT_HR(S_OK, repository->Load(id, &loaded));
    EXPECT_EQ(3000, CountOf(ListOf(BagOf(loaded.Get())).Get()));
}

// IDs as a real repository hands them out: objects taken back under IDs of any size up to
// 2,147,483,647 are made one each (nothing for the IDs in between), new objects go on above the
// highest, and once that is 2,147,483,647 they get the lowest ID never handed out that no
// committed object holds. No ID is handed out twice.
TEST_F(RepositoryTest, ObjectsTakeBackIdsOfAnySizeAndNewOnesGoOnAboveThem) {
    const auto take = [&](long id) {
        ComPtr<ISInfoObject> object;
        EXPECT_HR(S_OK, RefHost::NewObjectWithId(*repository, L"CryptoGraphicKey", id, &object));
        EXPECT_EQ(id, IdOf(object.Get()));
        EXPECT_HR(S_OK, repository->Store(object.Get()));
    };
    // An object taken back under 2,000,000,000 costs what one under 1 does.
    const auto objectsMadeFor = [&](long id) {
        const long before = RefHost::LiveObjectCount();
        ComPtr<ISInfoObject> object;
        EXPECT_HR(S_OK, RefHost::NewObjectWithId(*repository, L"Folder", id, &object));
        return RefHost::LiveObjectCount() - before;
    };
    EXPECT_EQ(objectsMadeFor(2), objectsMadeFor(2000000000));
    repository = RefHost::CreateRepository();
    for (const long id : {1L, 1000000L, 2000000000L}) take(id);
    EXPECT_EQ((std::vector<long>{1, 1000000, 2000000000}), repository->Ids());
    ComPtr<ISInfoObject> object;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS),
              RefHost::NewObjectWithId(*repository, L"Folder", 1000000, &object));
    EXPECT_HR(E_INVALIDARG, RefHost::NewObjectWithId(*repository, L"Folder", 0, &object));
    EXPECT_HR(E_INVALIDARG, RefHost::NewObjectWithId(*repository, L"Folder", -5, &object));
    EXPECT_EQ(2000000001, IdOf(NewObject(*repository).Get()));

    // The last ID there is: new objects take the lowest free IDs jumped over, skipping one that
    // was taken back (1003) and one that an object was stored under by its SI_ID (1004).
    take(0x7FFFFFFF);
    take(1003);
    {
        ComPtr<ISInfoObject> renamed = NewObject(*repository);
        ASSERT_HR(S_OK, renamed->put_Property(ScopedBstr(L"SI_ID").Get(), I4(1004)));
        ASSERT_HR(S_OK, repository->Store(renamed.Get()));
        EXPECT_TRUE(repository->Contains(1004));
    }
    std::vector<long> given;
    for (int i = 0; i < 4; ++i) given.push_back(IdOf(NewObject(*repository).Get()));
    EXPECT_EQ((std::vector<long>{1002, 1005, 1006, 1007}), given);
    // 1001 went to the object renamed to 1004. An ID taken back is not handed out again.
    take(1008);
    EXPECT_EQ(1009, IdOf(NewObject(*repository).Get()));
}

// A saved object put back only to be read: each value is taken over, a repeated name replaces
// the value, and the object is left as a commit leaves it, without a committed copy.
TEST_F(RepositoryTest, ObjectsPutBackForReadingAreLeftAsACommitLeavesThem) {
    ComPtr<ISInfoObject> object;
    ASSERT_HR(S_OK, RefHost::NewEmptyObjectWithId(*repository, L"Folder", 5000, &object));
    ComPtr<ISProperties> bag, nested;
    ASSERT_HR(S_OK, object->get_Properties(&bag));
    ScopedVariant value;
    ASSERT_HR(S_OK, value.SetBstr(L"first"));
    EXPECT_HR(S_OK, RefHost::AddSavedProperty(bag.Get(), L"SI_NAME", *value.Ptr(), 0));
    EXPECT_EQ(VT_EMPTY, value.Type());
    ASSERT_HR(S_OK, value.SetBstr(L"second"));
    EXPECT_HR(S_OK, RefHost::AddSavedProperty(bag.Get(), L"si_name", *value.Ptr(), 0, &nested));
    EXPECT_TRUE(nested);
    EXPECT_HR(KV_E_PROPERTYNOTFOUND, RefHost::MarkLoaded(*repository, object.Get()));  // no SI_ID
    VARIANT id = I4(5000), marker = I4(1);
    EXPECT_HR(S_OK, RefHost::AddSavedProperty(bag.Get(), L"SI_ID", id, 0));
    EXPECT_HR(S_OK, RefHost::AddSavedProperty(bag.Get(), L"SI_NEWOBJECT", marker, 0));
    EXPECT_HR(E_INVALIDARG, RefHost::AddSavedProperty(bag.Get(), L"", id, 0));
    EXPECT_EQ(L"second", ValueText(bag.Get(), L"SI_NAME"));

    ASSERT_HR(S_OK, RefHost::MarkLoaded(*repository, object.Get()));
    VARIANT_BOOL isNew = VARIANT_TRUE, dirty = VARIANT_TRUE;
    EXPECT_HR(S_OK, object->IsNew(&isNew));
    EXPECT_HR(S_OK, object->get_IsDirty(&dirty));
    EXPECT_EQ(VARIANT_FALSE, isNew);
    EXPECT_EQ(VARIANT_FALSE, dirty);
    EXPECT_EQ(L"", ValueText(bag.Get(), L"SI_NEWOBJECT"));
    EXPECT_NE(L"", ValueText(bag.Get(), L"SI_UPDATE_TS"));
    EXPECT_FALSE(repository->Contains(5000));
    EXPECT_HR(E_INVALIDARG, RefHost::MarkLoaded(*RefHost::CreateRepository(), object.Get()));
}

}  // namespace
